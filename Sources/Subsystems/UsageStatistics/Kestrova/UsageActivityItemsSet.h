// The set: one named frame per selected node, holding the frames of its
// entries for that node.
#pragma once

#include "IUsageActivityEntry.h"

namespace UsageStatistics {

class CUsageActivityItemsSet final : public IUsageActivityEntry {
 public:
  explicit CUsageActivityItemsSet(const DXNodePtr& configuration);
  ActivityFrameList ResolveActivityEntry(const DXNodePtr& source) override;

 private:
  std::wstring m_nameSource;
  std::wstring m_selectionPath;
  bool m_isMultiValue = false;
  bool m_allowEmpty = false;
  ActivityEntryList m_entries;
};

}  // namespace UsageStatistics
