#include "ConfigSnapshotsMaintainer.h"

#include "Sources/Common/ErrorHandling/ErrorReporting.h"
#include "Sources/Common/ErrorHandling/HRES.h"
#include "Sources/Common/Lifetime/ModuleUsage.h"
#include "Sources/Common/SubsystemHelpers/ConfigSubscriptionHelpers/CfgSubscriptionsHelpers.h"
#include "logging/CatchSite.h"
#include "logging/LogStatement.h"
#include "module/HostInstance.h"
#include "node/NodePaths.h"
#include "node/NodeTreeWalk.h"
#include "node/ValueFormats.h"
#include "settings/GlobalSettings.h"

#include <algorithm>
#include <chrono>
#include <cwchar>

namespace UsageStatistics {

namespace {
constexpr wchar_t kEntryType[] = L"ConfigSnapshotEntry";

// Refuses a modification deeper than the store could hold, before any entry
// copies it: later walks, dumps and snapshots of it would go as deep.
void EnsureModificationDepth(const DXNodePtr& notification, const std::wstring& modifiedPath) {
  constexpr uint32_t kLimit = CConfigSnapshotsMaintainer::kMaxModificationDepth;
  const auto pathDepth =
      static_cast<size_t>(std::count(modifiedPath.begin(), modifiedPath.end(), NodePaths::kSeparator));
  bool tooDeep = pathDepth > kLimit;
  const DXNodePtr content = tooDeep ? DXNodePtr() : notification.GetChild(0u, false);
  if (content) {
    NodeUtils::WalkNodeTree(
        content, kLimit,
        [&](const DXNodePtr&, const NodeUtils::NodePosition& position) {
          tooDeep = pathDepth + position.size() > kLimit;
          return !tooDeep;
        },
        [](const DXNodePtr&, const NodeUtils::NodePosition&) { return true; });
  }
  if (tooDeep) ThrowHr(ReportError(E_INVALIDARG, L" Modification deeper than 256 path elements."));
}

// The period of the snapshot pass. Test runs may give it in seconds through
// the global setting [UsageStatistics] TestSnapshotsIntervalSec (1 to 86400;
// environment GS_UsageStatistics_TestSnapshotsIntervalSec), so that passes
// meet load within a test's time; products leave it unset.
std::chrono::nanoseconds SnapshotPeriod(int64_t intervalHours) {
  std::wstring text;
  if (GlobalSettings::Instance().TryReadSetting(L"UsageStatistics", L"TestSnapshotsIntervalSec", text)) {
    wchar_t* end = nullptr;
    const long long seconds = std::wcstoll(text.c_str(), &end, 10);
    if (end != text.c_str() && *end == L'\0' && seconds >= 1 && seconds <= 86400) {
      KLOG_WARN(L"Snapshot pass every " << seconds << L" s, set by the test setting TestSnapshotsIntervalSec");
      return std::chrono::seconds(seconds);
    }
    KLOG_WARN(L"Ignoring the test setting TestSnapshotsIntervalSec: " << text);
  }
  return CConfigSnapshotsMaintainer::PassPeriod(intervalHours);
}
}  // namespace

std::chrono::nanoseconds CConfigSnapshotsMaintainer::PassPeriod(int64_t intervalHours) noexcept {
  const auto hours = static_cast<int32_t>(intervalHours);
  if (hours <= 0) return std::chrono::nanoseconds::zero();
  const std::chrono::nanoseconds period = std::chrono::hours(hours);
  const std::chrono::nanoseconds margin = std::chrono::seconds(1) + period / 1000;
  // Saturated: the worker waits without limit past its clock's range.
  if (period > std::chrono::nanoseconds::max() - margin) return std::chrono::nanoseconds::max();
  return period + margin;
}

HRESULT CConfigSnapshotsMaintainer::Configure(IDXNode* settings) {
  // Called from a host's own detach at process exit: nothing runs, since any
  // lock may belong to a killed thread (frames are lost as at any kill).
  if (ModuleUsage::ProcessExiting()) return S_OK;
  std::unique_lock lifecycle(m_lifecycleLock, std::defer_lock);
  try {
    lifecycle.lock();
    if (settings == nullptr) ThrowHr(E_POINTER);
    ConfigureSteps(DXNodePtr(settings, DXNodePtr::Handle::Duplicate));
    return S_OK;
  } catch (...) {
    const HRES failure = CurrentFailure();
    // Whatever the steps before the failure started is stopped first.
    Shutdown();
    KLOG_ERR(L"UsageStatistics::CConfigSnapshotsMaintainer::Configure failed: " << failure);
    return PublishErrorInfo(failure);
  }
}

void CConfigSnapshotsMaintainer::ConfigureSteps(const DXNodePtr& settings) {
  const std::wstring statusRootPath = settings.GetString(L"SnapshotStatusesCfgPath");
  settings.GetInt64(L"SinkIntervalSec");

  const auto serviceClient = GetNamedInstance<IDXServiceClient>(Kestrova::HostNames::ServiceClient);
  CompPtr<IDXRequestProcessor> requestProcessor;
  HRX hr = serviceClient->GetService(Kestrova::HostNames::UsageStatisticsService, 0, IID_IDXRequestProcessor,
                                     requestProcessor.PutVoid());

  const DXNodePtr storageSettings = settings.GetChild(L"TransientStorage");
  ReplaceAccumulator(std::make_unique<CTransientUsageStatsAccumulator>(requestProcessor, storageSettings));

  const std::shared_ptr<Detail::CUsageStatisticsToggler> previousToggle =
      m_toggle.exchange(Detail::CUsageStatisticsToggler::Create());
  if (previousToggle) previousToggle->Stop();

  const auto proxy = GetNamedInstance<IComponentObject>(Kestrova::HostNames::ConfigServerProxy, IID_IDXConfigServer);
  const CompPtr<IDXConfigServerComponent> server = CfgSubscriptionsHelpers::GetConfigServerComponent(proxy.Get());
  {
    std::lock_guard lock(m_lock);
    m_statusRootPath = statusRootPath;
  }
  AddEntries(settings.GetChild(L"ConfigSnapshots"), statusRootPath, server);

  const int64_t intervalHours = settings.GetInt64(L"SendSnapshotsIntervalHours");
  // Negative periods would run passes back to back; larger ones overflow
  // the worker's nanosecond period.
  if (intervalHours < 0 || intervalHours > kMaxSnapshotIntervalHours) ThrowHr(E_INVALIDARG);
  m_snapshotAction.reset();
  m_snapshotAction = std::make_unique<SnapshotAction>(SnapshotPeriod(intervalHours), std::chrono::seconds(0),
                                                      [this] { SnapshotPass(); });
}

void CConfigSnapshotsMaintainer::ReplaceAccumulator(std::unique_ptr<CTransientUsageStatsAccumulator> accumulator) {
  // The new one is fully built (it has read the file) before the old one is
  // touched: a failure to build it leaves the old one running with all its
  // frames. Producers use the new one from the swap on.
  CTransientUsageStatsAccumulator* const successor = accumulator.get();
  {
    std::lock_guard lock(m_lock);
    m_accumulator.swap(accumulator);
  }
  if (!accumulator) return;
  // Outside the lock: ending the predecessor's worker waits for a request in
  // flight, which must not hold up the host's notifications. Its frames go
  // over in memory, with their clear values and counters, at no data
  // protection cost whatever the backlog; a predecessor whose Stop completed
  // wrote them to the file, which the successor has just read.
  try {
    successor->Adopt(accumulator->TakeUndelivered());
  } catch (...) {
    const HRES failure = CurrentFailure();
    KLOG_ERR(
        L"UsageStatistics::CConfigSnapshotsMaintainer::Configure failed to hand the undelivered frames to the "
        L"new accumulator: "
        << failure);
  }
  // It removes its subscription and, having handed everything over, writes nothing.
  accumulator.reset();
}

void CConfigSnapshotsMaintainer::AddEntries(const DXNodePtr& snapshots, const std::wstring& statusRootPath,
                                            const CompPtr<IDXConfigServerComponent>& server) {
  snapshots.ForEachChild([&](const DXNodePtr& child) {
    if (child.GetType() != kEntryType) return;
    auto entry = std::make_unique<CConfigSnapshotEntry>(child, statusRootPath, server);
    // A second Configure may meet the running snapshot pass of the first.
    std::lock_guard lock(m_lock);
    const std::wstring basePath = entry->BasePath();
    m_entries.try_emplace(basePath, std::move(entry));  // the first entry of a base path stays
  });
}

bool CConfigSnapshotsMaintainer::StatisticsEnabled() const noexcept {
  const std::shared_ptr<Detail::CUsageStatisticsToggler> toggle = m_toggle.load();
  return toggle && toggle->IsEnabled();
}

void CConfigSnapshotsMaintainer::StoreFrames(const ActivityFrameList& frames) {
  if (!m_accumulator) return;
  for (const DXNodePtr& frame : frames) m_accumulator->StoreFrame(frame);
}

HRESULT CConfigSnapshotsMaintainer::ProcessUsageActivity(IDXNode* notification) {
  if (ModuleUsage::ProcessExiting()) return S_OK;
  try {
    if (notification == nullptr) ThrowHr(E_POINTER);
    if (!StatisticsEnabled()) return S_OK;

    std::lock_guard lock(m_lock);
    const DXNodePtr node(notification, DXNodePtr::Handle::Duplicate);
    const std::wstring modifiedPath = node.GetString(L"ModifiedPath");
    EnsureModificationDepth(node, modifiedPath);
    bool matched = false;
    for (const auto& [basePath, entry] : m_entries) {
      if (!NodePaths::IsPathUnder(modifiedPath, basePath)) continue;
      matched = true;
      StoreFrames(entry->ProcessModification(node));
    }
    if (!matched) ThrowHr(HrFromWin32(ERROR_INVALID_DATA));
    return S_OK;
  }
  KCATCH_RETURN(L"UsageStatistics::CConfigSnapshotsMaintainer::ProcessUsageActivity")
}

void CConfigSnapshotsMaintainer::SnapshotPass() noexcept {
  try {
    if (!StatisticsEnabled()) return;
    std::lock_guard lock(m_lock);
    SnapshotEntries(std::chrono::system_clock::now());
  } catch (...) {
    const HRES failure = CurrentFailure();
    KLOG_ERR(L"UsageStatistics::CConfigSnapshotsMaintainer::SnapshotPass failed: " << failure);
  }
}

void CConfigSnapshotsMaintainer::SnapshotEntries(std::chrono::system_clock::time_point now) {
  for (const auto& [basePath, entry] : m_entries) {
    try {
      ActivityFrameList frames;
      try {
        if (entry->IsSnapshotDue(now)) entry->CreateSnapshot(now, frames);
      } catch (...) {
        // Frames resolved before a failed status write are still reported,
        // below; the failure is the entry's.
        const HRES failure = CurrentFailure();
        KLOG_ERR(L"Snapshot creation for entry "
                 << ValueFormats::GuidToString(entry->Id(), ValueFormats::GuidForm::Braced) << L" failed due to "
                 << failure);
      }
      // Each frame once: a hand-over that fails part-way is not repeated.
      StoreFrames(frames);
    } catch (...) {
      const HRES failure = CurrentFailure();
      KLOG_ERR(L"Snapshot creation for entry "
               << ValueFormats::GuidToString(entry->Id(), ValueFormats::GuidForm::Braced) << L" failed due to "
               << failure);
    }
  }
}

HRESULT CConfigSnapshotsMaintainer::Shutdown() {
  if (ModuleUsage::ProcessExiting()) return S_OK;
  try {
    std::lock_guard lifecycle(m_lifecycleLock);
    if (const std::shared_ptr<Detail::CUsageStatisticsToggler> toggle = m_toggle.load()) toggle->Stop();
    if (m_snapshotAction) m_snapshotAction->Stop();
    // Under the lock, so that a snapshot pass or a notification in progress
    // hands its frames over before the accumulator writes the file.
    std::lock_guard lock(m_lock);
    if (m_accumulator) m_accumulator->Stop();
    m_entries.clear();
    return S_OK;
  }
  KCATCH_RETURN(L"UsageStatistics::CConfigSnapshotsMaintainer::Shutdown")
}

void CConfigSnapshotsMaintainer::FinalRelease() { m_snapshotAction.reset(); }

}  // namespace UsageStatistics
