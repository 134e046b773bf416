// The group: runs its entries on every selected node and gathers their
// frames into one named frame, or passes them through when it has no name.
#pragma once

#include "CompiledSource.h"
#include "IUsageActivityEntry.h"

namespace UsageStatistics {

class CUsageActivityItemsGroup final : public IUsageActivityEntry {
 public:
  explicit CUsageActivityItemsGroup(const DXNodePtr& configuration);
  void AppendActivityFrames(const DXNodePtr& source, ActivityFrameList& frames) override;

 private:
  CompiledSource m_nameSource;
  CompiledSource m_selectionPath;
  bool m_allowEmpty = false;
  ActivityEntryList m_entries;
};

}  // namespace UsageStatistics
