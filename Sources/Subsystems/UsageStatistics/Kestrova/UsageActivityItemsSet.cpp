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

void CUsageActivityItemsSet::AppendActivityFrames(const DXNodePtr& source, ActivityFrameList& frames) {
  KTRACE_SCOPE(LogSeverity::Dbg, LogSeverity::Dbg, L"UsageStatistics::CUsageActivityItemsSet::ResolveActivityEntry");
  KLOG_DBG2(L"Resolving config node " << source);
  std::wstring name;
  ActivityFrameList entryFrames;  // one list for every entry and node
  ForEachSelectedNode(source, m_selectionPath, [&](const DXNodePtr& selected) {
    DXNodePtr setFrame = MakeActivityFrame(m_nameSource.FirstValue(selected, name));
    setFrame.SetBool(kFrameIsMultiValue, m_isMultiValue);
    for (const ActivityEntryPtr& entry : m_entries) {
      entryFrames.clear();
      entry->AppendActivityFrames(selected, entryFrames);
      if (entryFrames.empty() && !m_allowEmpty) {
        KLOG_DBG3(kSkippedFrameText << setFrame);
        return;  // the set frame of this node is dropped
      }
      for (const DXNodePtr& frame : entryFrames) setFrame.AddChild(frame);
    }
    frames.push_back(std::move(setFrame));
  });
}

}  // namespace UsageStatistics
