#include "UsageActivityItemIf.h"

#include "CompiledSource.h"
#include "RuleNestingGuard.h"
#include "UsageActivityEntryFactory.h"

#include "node/NodeErrors.h"

#include "Sources/Common/ErrorHandling/HRES.h"
#include "logging/LogStatement.h"
#include "node/NodeDump.h"

#include <iterator>

namespace UsageStatistics {

namespace Detail {

namespace {

// The conditions of an or/and node; a node without children is invalid.
ConditionList MakeChildConditions(const DXNodePtr& configuration, const wchar_t* constructor,
                                  const wchar_t* invalidText) {
  const uint32_t count = configuration.GetChildCount();
  if (count == 0) {
    KLOG_ERR(constructor << L" failed: " << invalidText << configuration);
    ThrowHr(NodeErrors::kInvalidData);
  }
  ConditionList conditions;
  conditions.reserve(count);
  configuration.ForEachChild([&](const DXNodePtr& child) { conditions.push_back(MakeCondition(child)); });
  return conditions;
}

}  // namespace

ConditionPtr MakeCondition(const DXNodePtr& configuration) {
  const CRuleNestingGuard nesting;
  const std::wstring type = configuration.GetType();
  if (type == L"OrCondition") return std::make_shared<OrCondition>(configuration);
  if (type == L"CaseCondition") return std::make_shared<CaseCondition>(configuration);
  if (type == L"AndCondition") return std::make_shared<AndCondition>(configuration);
  KLOG_ERR(L"UsageStatistics::Detail::MakeCondition failed: Invalid condition node: " << configuration);
  ThrowHr(NodeErrors::kInvalidData);
}

OrCondition::OrCondition(const DXNodePtr& configuration)
    : m_conditions(MakeChildConditions(configuration, L"UsageStatistics::Detail::OrCondition::OrCondition",
                                       L"Invalid OR condition: ")) {}

bool OrCondition::Evaluate(const DXNodePtr& source) {
  for (const ConditionPtr& condition : m_conditions) {
    if (condition->Evaluate(source)) return true;
  }
  return false;
}

AndCondition::AndCondition(const DXNodePtr& configuration)
    : m_conditions(MakeChildConditions(configuration, L"UsageStatistics::Detail::AndCondition::AndCondition",
                                       L"Invalid AND condition: ")) {}

bool AndCondition::Evaluate(const DXNodePtr& source) {
  for (const ConditionPtr& condition : m_conditions) {
    if (!condition->Evaluate(source)) return false;
  }
  return true;
}

CaseCondition::CaseCondition(const DXNodePtr& configuration)
    : m_valuePath1(configuration.GetString(L"CaseValuePath1")),
      m_valuePath2(configuration.GetString(L"CaseValuePath2")),
      m_not(configuration.GetBool(L"Not", false)) {}

bool CaseCondition::Evaluate(const DXNodePtr& source) {
  TextBuffer read2;
  TextBuffer read1;
  const std::wstring_view value2 = m_valuePath2.FirstValue(source, read2);
  const std::wstring_view value1 = m_valuePath1.FirstValue(source, read1);
  return (value1 == value2) != m_not;
}

}  // namespace Detail

CUsageActivityItemIf::CUsageActivityItemIf(const DXNodePtr& configuration) {
  const DXNodePtr condition = configuration.GetChild(L"Condition");
  const DXNodePtr thenPart = configuration.GetChild(L"Then");
  const DXNodePtr elsePart = configuration.GetChild(L"Else", false);
  m_condition = Detail::MakeCondition(condition);
  m_thenEntries = MakeActivityEntries(thenPart);
  if (elsePart) m_elseEntries = MakeActivityEntries(elsePart);
}

void CUsageActivityItemIf::AppendActivityFrames(const DXNodePtr& source, ActivityFrameList& frames) {
  for (const ActivityEntryPtr& entry : m_condition->Evaluate(source) ? m_thenEntries : m_elseEntries) {
    entry->AppendActivityFrames(source, frames);
  }
}

}  // namespace UsageStatistics
