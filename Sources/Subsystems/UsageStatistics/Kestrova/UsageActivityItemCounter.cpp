#include "UsageActivityItemCounter.h"

#include "CompiledSource.h"

#include "logging/FunctionTracer.h"
#include "node/NodeDump.h"

namespace UsageStatistics {

namespace {

// Counts values without keeping them; ignores nodes.
class ValueCounter final : public ISourceVisitor {
 public:
  void OnNode(const DXNodePtr&) override {}
  void OnValue(const std::wstring&) override { ++m_count; }
  void OnValue(std::wstring&&) override { ++m_count; }
  void OnValue(std::wstring_view) override { ++m_count; }
  int64_t Count() const noexcept { return m_count; }

 private:
  int64_t m_count = 0;
};

}  // namespace

CUsageActivityItemCounter::CUsageActivityItemCounter(const DXNodePtr& configuration)
    : m_nameSource(configuration.GetString(L"NameSource")),
      m_valueSource(configuration.GetString(L"ValueSource", std::wstring())) {}

void CUsageActivityItemCounter::AppendActivityFrames(const DXNodePtr& source, ActivityFrameList& frames) {
  KTRACE_SCOPE(LogSeverity::Dbg, LogSeverity::Dbg, L"UsageStatistics::CUsageActivityItemCounter::ResolveActivityEntry");
  KLOG_DBG2(L"Resolving config node " << source);
  TextBuffer name;
  DXNodePtr frame = MakeActivityFrame(m_nameSource.FirstValue(source, name));
  ValueCounter counter;
  m_valueSource.Evaluate(source, counter);
  frame.SetInt64(kFrameValue, counter.Count());
  frames.push_back(std::move(frame));
}

}  // namespace UsageStatistics
