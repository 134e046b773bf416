// The counter: one frame whose "Value" is the number of values of its source.
#pragma once

#include "IUsageActivityEntry.h"

namespace UsageStatistics {

class CUsageActivityItemCounter final : public IUsageActivityEntry {
 public:
  explicit CUsageActivityItemCounter(const DXNodePtr& configuration);
  ActivityFrameList ResolveActivityEntry(const DXNodePtr& source) override;

 private:
  std::wstring m_nameSource;
  std::wstring m_valueSource;
};

}  // namespace UsageStatistics
