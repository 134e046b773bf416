// The counter: one frame whose "Value" is the number of values of its source.
#pragma once

#include "CompiledSource.h"
#include "IUsageActivityEntry.h"

namespace UsageStatistics {

class CUsageActivityItemCounter final : public IUsageActivityEntry {
 public:
  explicit CUsageActivityItemCounter(const DXNodePtr& configuration);
  void AppendActivityFrames(const DXNodePtr& source, ActivityFrameList& frames) override;

 private:
  CompiledSource m_nameSource;
  CompiledSource m_valueSource;
};

}  // namespace UsageStatistics
