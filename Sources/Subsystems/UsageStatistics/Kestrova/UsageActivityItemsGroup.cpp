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

ActivityFrameList CUsageActivityItemsGroup::ResolveActivityEntry(const DXNodePtr& source) {
  KTRACE_SCOPE(LogSeverity::Dbg, LogSeverity::Dbg, L"UsageStatistics::CUsageActivityItemsGroup::ResolveActivityEntry");
  KLOG_DBG2(L"Resolving config node " << source);
  ActivityFrameList result;
  // The group frame stands alone in the result, which holds it from the start.
  const DXNodePtr* groupFrame = nullptr;
  if (!m_nameSource.empty()) {
    result.push_back(MakeActivityFrame(ResolveFirstValue(source, m_nameSource)));
    groupFrame = &result.front();
  }
  ForEachSelectedNode(source, m_selectionPath, [&](const DXNodePtr& selected) {
    for (const ActivityEntryPtr& entry : m_entries) {
      ActivityFrameList frames = entry->ResolveActivityEntry(selected);
      if (frames.empty() && !m_allowEmpty) {
        KLOG_DBG3(kSkippedFrameText << (groupFrame != nullptr ? *groupFrame : DXNodePtr()));
        return;  // the rest of this node's entries are not resolved
      }
      if (groupFrame != nullptr) {
        for (const DXNodePtr& frame : frames) groupFrame->AddChild(frame);
      } else if (result.empty()) {
        result = std::move(frames);
      } else {
        result.insert(result.end(), std::make_move_iterator(frames.begin()), std::make_move_iterator(frames.end()));
      }
    }
  });
  return result;
}

}  // namespace UsageStatistics
