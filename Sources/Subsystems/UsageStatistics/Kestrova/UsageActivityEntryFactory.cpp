#include "UsageActivityEntryFactory.h"

#include "RuleNestingGuard.h"
#include "UsageActivityItem.h"
#include "UsageActivityItemCounter.h"
#include "UsageActivityItemIf.h"
#include "UsageActivityItemsGroup.h"
#include "UsageActivityItemsSet.h"

#include "Sources/Common/ErrorHandling/ErrorReporting.h"
#include "Sources/Common/ErrorHandling/HRES.h"
#include "logging/LogStatement.h"
#include "node/NodeDump.h"

namespace UsageStatistics {

ActivityEntryPtr MakeActivityEntry(const DXNodePtr& configuration) {
  const CRuleNestingGuard nesting;
  const std::wstring type = configuration.GetType();
  if (type == L"UsageActivityItemsSet") return std::make_shared<CUsageActivityItemsSet>(configuration);
  if (type == L"UsageActivityItem") return std::make_shared<CUsageActivityItem>(configuration);
  if (type == L"If") return std::make_shared<CUsageActivityItemIf>(configuration);
  if (type == L"UsageActivityItemCounter") return std::make_shared<CUsageActivityItemCounter>(configuration);
  if (type == L"UsageActivityItemsGroup") return std::make_shared<CUsageActivityItemsGroup>(configuration);
  KLOG_ERR(L"Invalid Activity Entry config node. " << configuration);
  ThrowHr(ReportError(E_INVALIDARG, L" Invalid Activity Entry config node."));
}

ActivityEntryList MakeActivityEntries(const DXNodePtr& parent) {
  ActivityEntryList entries;
  parent.ForEachChild([&](const DXNodePtr& child) { entries.push_back(MakeActivityEntry(child)); });
  return entries;
}

}  // namespace UsageStatistics
