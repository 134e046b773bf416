// The set: one named frame per selected node, holding the frames of its
// entries for that node.
#pragma once

#include "CompiledSource.h"
#include "IUsageActivityEntry.h"

namespace UsageStatistics {

class CUsageActivityItemsSet final : public IUsageActivityEntry {
 public:
  explicit CUsageActivityItemsSet(const DXNodePtr& configuration);
  void AppendActivityFrames(const DXNodePtr& source, ActivityFrameList& frames) override;

 private:
  CompiledSource m_nameSource;
  CompiledSource m_selectionPath;
  bool m_isMultiValue = false;
  bool m_allowEmpty = false;
  ActivityEntryList m_entries;
};

}  // namespace UsageStatistics
