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
  TextBuffer name;
  // Each entry's frames go to the end of frames and move into the set frame
  // from there, so that no list is made for them.
  ForEachSelectedNode(source, m_selectionPath, [&](const DXNodePtr& selected) {
    DXNodePtr setFrame = MakeActivityFrame(m_nameSource.FirstValue(selected, name));
    setFrame.SetBool(kFrameIsMultiValue, m_isMultiValue);
    const size_t before = frames.size();
    for (const ActivityEntryPtr& entry : m_entries) {
      entry->AppendActivityFrames(selected, frames);
      if (frames.size() == before && !m_allowEmpty) {
        KLOG_DBG3(kSkippedFrameText << setFrame);
        return;  // the set frame of this node is dropped
      }
      for (size_t index = before; index < frames.size(); ++index) setFrame.AddChild(frames[index]);
      frames.resize(before);
    }
    frames.push_back(std::move(setFrame));
  });
}

}  // namespace UsageStatistics
