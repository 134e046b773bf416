// The item: one frame with the first value, one frame with all values as a
// list, or one frame per value, by "ActivityItemType".
#pragma once

#include "CompiledSource.h"
#include "IUsageActivityEntry.h"

namespace UsageStatistics {

class CUsageActivityItem final : public IUsageActivityEntry {
 public:
  enum ItemType : int32_t { kFirstValue = 0, kValueList = 1, kFramePerValue = 2 };

  explicit CUsageActivityItem(const DXNodePtr& configuration);
  void AppendActivityFrames(const DXNodePtr& source, ActivityFrameList& frames) override;

 private:
  CompiledSource m_nameSource;
  CompiledSource m_valueSource;
  int32_t m_itemType = kFirstValue;
};

}  // namespace UsageStatistics
