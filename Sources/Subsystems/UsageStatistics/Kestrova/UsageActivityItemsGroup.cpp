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
    TextBuffer name;
    groupFrame = MakeActivityFrame(m_nameSource.FirstValue(source, name));
  }
  // The entries' frames go to the end of frames; under a group frame they
  // move into it from there, so that no list is made for them.
  ForEachSelectedNode(source, m_selectionPath, [&](const DXNodePtr& selected) {
    for (const ActivityEntryPtr& entry : m_entries) {
      const size_t before = frames.size();
      entry->AppendActivityFrames(selected, frames);
      if (frames.size() == before && !m_allowEmpty) {
        KLOG_DBG3(kSkippedFrameText << groupFrame);
        return;  // the rest of this node's entries are not resolved
      }
      if (groupFrame) {
        for (size_t index = before; index < frames.size(); ++index) groupFrame.AddChild(frames[index]);
        frames.resize(before);
      }
    }
  });
  if (groupFrame) frames.push_back(std::move(groupFrame));
}

}  // namespace UsageStatistics
