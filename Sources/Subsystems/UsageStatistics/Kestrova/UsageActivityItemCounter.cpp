#include "UsageActivityItemCounter.h"

#include "SourceEvaluation.h"

#include "logging/FunctionTracer.h"
#include "node/NodeDump.h"

namespace UsageStatistics {

CUsageActivityItemCounter::CUsageActivityItemCounter(const DXNodePtr& configuration)
    : m_nameSource(configuration.GetString(L"NameSource")),
      m_valueSource(configuration.GetString(L"ValueSource", std::wstring())) {}

ActivityFrameList CUsageActivityItemCounter::ResolveActivityEntry(const DXNodePtr& source) {
  KTRACE_SCOPE(LogSeverity::Dbg, LogSeverity::Dbg, L"UsageStatistics::CUsageActivityItemCounter::ResolveActivityEntry");
  KLOG_DBG2(L"Resolving config node " << source);
  DXNodePtr frame = MakeActivityFrame(ResolveFirstValue(source, m_nameSource));
  frame.SetInt64(kFrameValue, static_cast<int64_t>(ResolveAllValues(source, m_valueSource).size()));
  ActivityFrameList frames;
  frames.push_back(std::move(frame));
  return frames;
}

}  // namespace UsageStatistics
