#pragma once

#include "IUsageActivityEntry.h"

namespace UsageStatistics {

// Builds the entry kind named by the node's type, with its whole entry tree.
// An unrecognised type raises E_INVALIDARG.
ActivityEntryPtr MakeActivityEntry(const DXNodePtr& configuration);

// MakeActivityEntry for every child of the node, in index order.
ActivityEntryList MakeActivityEntries(const DXNodePtr& parent);

}  // namespace UsageStatistics
