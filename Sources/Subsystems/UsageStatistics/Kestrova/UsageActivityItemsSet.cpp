#include "UsageActivityItemsSet.h"

#include "NodeSelection.h"
#include "UsageActivityEntryFactory.h"

#include "logging/FunctionTracer.h"
#include "node/NodeDump.h"

namespace UsageStatistics {

CUsageActivityItemsSet::CUsageActivityItemsSet(const DXNodePtr& configuration)
    : m_nameSource(configuration.GetString(L"NameSource")),
      m_selectionPath(configuration.GetString(L"ConfigPath", std::wstring())),
      m_isMultiValue(configuration.GetBool(L"IsMultiValue", false)),
      m_allowEmpty(configuration.GetBool(L"IsAllowEmpty", false)),
      m_entries(MakeActivityEntries(configuration)) {}

ActivityFrameList CUsageActivityItemsSet::ResolveActivityEntry(const DXNodePtr& source) {
  KTRACE_SCOPE(LogSeverity::Dbg, LogSeverity::Dbg, L"UsageStatistics::CUsageActivityItemsSet::ResolveActivityEntry");
  KLOG_DBG2(L"Resolving config node " << source);
  ActivityFrameList result;
  ForEachSelectedNode(source, m_selectionPath, [&](const DXNodePtr& selected) {
    DXNodePtr setFrame = MakeActivityFrame(ResolveFirstValue(selected, m_nameSource));
    setFrame.SetBool(kFrameIsMultiValue, m_isMultiValue);
    for (const ActivityEntryPtr& entry : m_entries) {
      ActivityFrameList frames = entry->ResolveActivityEntry(selected);
      if (frames.empty() && !m_allowEmpty) {
        KLOG_DBG3(kSkippedFrameText << setFrame);
        return;  // the set frame of this node is dropped
      }
      for (const DXNodePtr& frame : frames) setFrame.AddChild(frame);
    }
    result.push_back(std::move(setFrame));
  });
  return result;
}

}  // namespace UsageStatistics
