// The group: runs its entries on every selected node and gathers their
// frames into one named frame, or passes them through when it has no name.
#pragma once

#include "IUsageActivityEntry.h"

namespace UsageStatistics {

class CUsageActivityItemsGroup final : public IUsageActivityEntry {
 public:
  explicit CUsageActivityItemsGroup(const DXNodePtr& configuration);
  ActivityFrameList ResolveActivityEntry(const DXNodePtr& source) override;

 private:
  std::wstring m_nameSource;
  std::wstring m_selectionPath;
  bool m_allowEmpty = false;
  ActivityEntryList m_entries;
};

}  // namespace UsageStatistics
