#include "UsageActivityItemsGroup.h"

#include "NodeSelection.h"
#include "UsageActivityEntryFactory.h"

#include "logging/FunctionTracer.h"
#include "node/NodeDump.h"

namespace UsageStatistics {

CUsageActivityItemsGroup::CUsageActivityItemsGroup(const DXNodePtr& configuration)
    : m_nameSource(configuration.GetString(L"NameSource", std::wstring())),
      m_selectionPath(configuration.GetString(L"ConfigPath", std::wstring())),
      m_allowEmpty(configuration.GetBool(L"IsAllowEmpty", false)),
      m_entries(MakeActivityEntries(configuration)) {}

ActivityFrameList CUsageActivityItemsGroup::ResolveActivityEntry(const DXNodePtr& source) {
  KTRACE_SCOPE(LogSeverity::Dbg, LogSeverity::Dbg, L"UsageStatistics::CUsageActivityItemsGroup::ResolveActivityEntry");
  KLOG_DBG2(L"Resolving config node " << source);
  ActivityFrameList result;
  DXNodePtr groupFrame;
  if (!m_nameSource.empty()) {
    groupFrame = MakeActivityFrame(ResolveFirstValue(source, m_nameSource));
    result.push_back(groupFrame);
  }
  ForEachSelectedNode(source, m_selectionPath, [&](const DXNodePtr& selected) {
    for (const ActivityEntryPtr& entry : m_entries) {
      ActivityFrameList frames = entry->ResolveActivityEntry(selected);
      if (frames.empty() && !m_allowEmpty) {
        KLOG_DBG3(kSkippedFrameText << groupFrame);
        return;  // the rest of this node's entries are not resolved
      }
      for (DXNodePtr& frame : frames) {
        if (groupFrame) {
          groupFrame.AddChild(frame);
        } else {
          result.push_back(std::move(frame));
        }
      }
    }
  });
  return result;
}

}  // namespace UsageStatistics
