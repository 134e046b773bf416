#include "ConfigSnapshotsMaintainer.h"

namespace UsageStatistics {

HRESULT CConfigSnapshotsMaintainer::Configure(IDXNode*) { return E_NOTIMPL; }

HRESULT CConfigSnapshotsMaintainer::Shutdown() { return E_NOTIMPL; }

HRESULT CConfigSnapshotsMaintainer::ProcessUsageActivity(IDXNode*) { return E_NOTIMPL; }

}  // namespace UsageStatistics
