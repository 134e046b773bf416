#include "UsageActivityItemsResolver.h"

namespace UsageStatistics {

HRESULT CUsageActivityItemsResolver::Initialize(IDXNode*) { return E_NOTIMPL; }

HRESULT CUsageActivityItemsResolver::ResolveActivityItems(IDXNode*, IDXNode**) { return E_NOTIMPL; }

}  // namespace UsageStatistics
