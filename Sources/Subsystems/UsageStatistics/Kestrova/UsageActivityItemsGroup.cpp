#include "UsageActivityItemsGroup.h"

#include "NodeSelection.h"
#include "UsageActivityEntryFactory.h"

#include "logging/FunctionTracer.h"
#include "node/NodeDump.h"

#include <iterator>

namespace UsageStatistics {

CUsageActivityItemsGroup::CUsageActivityItemsGroup(const DXNodePtr& configuration)
    : m_nameSource(configuration.GetString(L"NameSource", std::wstring())),
      m_selectionPath(configuration.GetString(L"ConfigPath", std::wstring())),
      m_allowEmpty(configuration.GetBool(L"IsAllowEmpty", false)),
      m_entries(MakeActivityEntries(configuration)) {}

void CUsageActivityItemsGroup::AppendActivityFrames(const DXNodePtr& source, ActivityFrameList& frames) {
  KTRACE_SCOPE(LogSeverity::Dbg, LogSeverity::Dbg, L"UsageStatistics::CUsageActivityItemsGroup::ResolveActivityEntry");
  KLOG_DBG2(L"Resolving config node " << source);
  // The group frame stands alone in the result; without one, the frames of
  // the entries are the result.
  DXNodePtr groupFrame;
  if (!m_nameSource.Text().empty()) {
    std::wstring name;
    groupFrame = MakeActivityFrame(m_nameSource.FirstValue(source, name));
  }
  ActivityFrameList entryFrames;
  ActivityFrameList& target = groupFrame ? entryFrames : frames;
  ForEachSelectedNode(source, m_selectionPath, [&](const DXNodePtr& selected) {
    for (const ActivityEntryPtr& entry : m_entries) {
      const size_t before = target.size();
      entry->AppendActivityFrames(selected, target);
      if (target.size() == before && !m_allowEmpty) {
        KLOG_DBG3(kSkippedFrameText << groupFrame);
        return;  // the rest of this node's entries are not resolved
      }
      if (groupFrame) {
        for (const DXNodePtr& frame : entryFrames) groupFrame.AddChild(frame);
        entryFrames.clear();
      }
    }
  });
  if (groupFrame) frames.push_back(std::move(groupFrame));
}

}  // namespace UsageStatistics
