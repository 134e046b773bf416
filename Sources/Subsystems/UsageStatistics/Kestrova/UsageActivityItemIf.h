// The conditional entry "If" and the conditions it evaluates.
#pragma once

#include "CompiledSource.h"
#include "IUsageActivityEntry.h"

#include <memory>
#include <vector>

namespace UsageStatistics {

namespace Detail {

class ICondition {
 public:
  virtual bool Evaluate(const DXNodePtr& source) = 0;
  virtual ~ICondition() = default;
};

using ConditionPtr = std::shared_ptr<ICondition>;
using ConditionList = std::vector<ConditionPtr>;

// Builds the condition kind named by the node's type; an unrecognised type
// raises 0x8007000D.
ConditionPtr MakeCondition(const DXNodePtr& configuration);

// True at the first true child; the rest are not evaluated.
class OrCondition final : public ICondition {
 public:
  explicit OrCondition(const DXNodePtr& configuration);
  bool Evaluate(const DXNodePtr& source) override;

 private:
  ConditionList m_conditions;
};

// False at the first false child; the rest are not evaluated.
class AndCondition final : public ICondition {
 public:
  explicit AndCondition(const DXNodePtr& configuration);
  bool Evaluate(const DXNodePtr& source) override;

 private:
  ConditionList m_conditions;
};

// Compares the first values of two sources, case-sensitively; "Not" inverts.
class CaseCondition final : public ICondition {
 public:
  explicit CaseCondition(const DXNodePtr& configuration);
  bool Evaluate(const DXNodePtr& source) override;

 private:
  CompiledSource m_valuePath1;
  CompiledSource m_valuePath2;
  bool m_not = false;
};

}  // namespace Detail

class CUsageActivityItemIf final : public IUsageActivityEntry {
 public:
  explicit CUsageActivityItemIf(const DXNodePtr& configuration);
  void AppendActivityFrames(const DXNodePtr& source, ActivityFrameList& frames) override;

 private:
  Detail::ConditionPtr m_condition;
  ActivityEntryList m_thenEntries;
  ActivityEntryList m_elseEntries;
};

}  // namespace UsageStatistics
