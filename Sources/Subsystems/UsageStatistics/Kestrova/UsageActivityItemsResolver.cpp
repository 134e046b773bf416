#include "UsageActivityItemsResolver.h"

#include "UsageActivityEntryFactory.h"

#include "Sources/Common/ErrorHandling/ErrorReporting.h"
#include "Sources/Common/ErrorHandling/HRES.h"
#include "logging/CatchSite.h"
#include "logging/FunctionTracer.h"
#include "node/NodeDump.h"

namespace UsageStatistics {

HRESULT CUsageActivityItemsResolver::Initialize(IDXNode* configuration) {
  try {
    KTRACE_SCOPE(LogSeverity::Dbg, LogSeverity::Dbg, L"UsageStatistics::CUsageActivityItemsResolver::Initialize");
    const DXNodePtr node(configuration, DXNodePtr::Handle::Duplicate);
    m_entries.clear();
    KLOG_DBG(L"Activity entries config: " << node);
    // Not rolled back on failure: the entries of the children before a
    // failing one stay in use.
    node.ForEachChild([&](const DXNodePtr& child) { m_entries.push_back(MakeActivityEntry(child)); });
    return S_OK;
  }
  KCATCH_RETURN(L"UsageStatistics::CUsageActivityItemsResolver::Initialize")
}

HRESULT CUsageActivityItemsResolver::ResolveActivityItems(IDXNode* source, IDXNode** container) {
  try {
    if (source == nullptr || container == nullptr) ThrowHr(E_POINTER);
    *container = nullptr;
    const DXNodePtr sourceNode(source, DXNodePtr::Handle::Duplicate);
    DXNodePtr result = DXNodePtr::Create(nullptr, nullptr);
    ActivityFrameList frames;
    for (const ActivityEntryPtr& entry : m_entries) {
      entry->AppendActivityFrames(sourceNode, frames);
      for (const DXNodePtr& frame : frames) result.AddChild(frame);
      frames.clear();
    }
    *container = result.Detach();
    return S_OK;
  }
  KCATCH_RETURN(L"UsageStatistics::CUsageActivityItemsResolver::ResolveActivityItems")
}

}  // namespace UsageStatistics
