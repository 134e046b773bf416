#include "UsageActivityItemCounter.h"

#include "SourceEvaluation.h"

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
  int64_t Count() const noexcept { return m_count; }

 private:
  int64_t m_count = 0;
};

}  // namespace

CUsageActivityItemCounter::CUsageActivityItemCounter(const DXNodePtr& configuration)
    : m_nameSource(configuration.GetString(L"NameSource")),
      m_valueSource(configuration.GetString(L"ValueSource", std::wstring())) {}

ActivityFrameList CUsageActivityItemCounter::ResolveActivityEntry(const DXNodePtr& source) {
  KTRACE_SCOPE(LogSeverity::Dbg, LogSeverity::Dbg, L"UsageStatistics::CUsageActivityItemCounter::ResolveActivityEntry");
  KLOG_DBG2(L"Resolving config node " << source);
  DXNodePtr frame = MakeActivityFrame(ResolveFirstValue(source, m_nameSource));
  ValueCounter counter;
  EvaluateSource(source, m_valueSource, counter);
  frame.SetInt64(kFrameValue, counter.Count());
  ActivityFrameList frames;
  frames.push_back(std::move(frame));
  return frames;
}

}  // namespace UsageStatistics
