#include "FaultCell.h"

#include "FrameLedger.h"
#include "ModuleLogFile.h"

#include "Sources/Common/ErrorHandling/HRES.h"
#include "Sources/General/DataEncryption/NodeEncryptorImpl.h"
#include "Sources/Subsystems/UsageStatistics/Common/TransientStorage.h"
#include "module/CompPtr.h"
#include "node/DXNodePtr.h"
#include "support/ProcessThreads.h"
#include "support/StoreWrites.h"

#include <Kestrova/ComponentInterfaces.h>

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <sstream>
#include <thread>

namespace Reliability {

namespace {

constexpr wchar_t kToggleSwitch[] = L"\\Veltrano\\UsageStatisticsSettings";
constexpr wchar_t kAccumulatorSwitch[] = L"\\Veltrano\\Statistics\\Accumulator";
constexpr wchar_t kStatusRoot[] = L"\\Veltrano\\SnapshotStatuses";
constexpr wchar_t kEntryName[] = L"{6B1F3C2A-0D4E-4F5A-9B8C-7D6E5F4A3B2C}";
constexpr int kStoredUsers = 3;        // snapshot frames Snapshot:1..3
constexpr int kNotifications = 4;      // modification frames Modified:101..104 (mask 6)
constexpr int kLateNotifications = 2;  // Modified:105..106, sent right before the stop
constexpr int kFirstNotifiedSequence = 101;

constexpr wchar_t kConfigureFailed[] = L"UsageStatistics::CConfigSnapshotsMaintainer::Configure failed: ";
constexpr wchar_t kProcessFailed[] = L"UsageStatistics::CConfigSnapshotsMaintainer::ProcessUsageActivity failed: ";
constexpr wchar_t kSendFailed[] = L"Failed sending usage activity frame ";
constexpr wchar_t kDropped[] = L"Unsuccessful send attempts count exceeded for activity frame";
constexpr wchar_t kStoreFailed[] = L"Failed storing pending activity frames to file ";
constexpr wchar_t kSwitchedOn[] = L"Usage statistics tracking set to true";
constexpr wchar_t kSnapshotEntered[] = L"Entering: UsageStatistics::CConfigSnapshotEntry::CreateSnapshot";
constexpr wchar_t kSnapshotExited[] = L"Exiting: UsageStatistics::CConfigSnapshotEntry::CreateSnapshot";
constexpr wchar_t kSnapshotRaised[] = L"EXCEPTION at: UsageStatistics::CConfigSnapshotEntry::CreateSnapshot";
constexpr wchar_t kErrorSeverity[] = L"| ERR  |";

std::wstring Hex(HRESULT hr) {
  wchar_t text[16];
  std::swprintf(text, 16, L"0x%08X", static_cast<unsigned>(hr));
  return text;
}

bool WaitFor(const std::function<bool()>& condition, uint32_t timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Runs a thread-pool timer once, so that the pool's own threads exist.
void WarmThreadPool() {
  const HANDLE done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  PTP_TIMER timer = ::CreateThreadpoolTimer(
      [](PTP_CALLBACK_INSTANCE, void* event, PTP_TIMER) { ::SetEvent(static_cast<HANDLE>(event)); }, done, nullptr);
  if (timer != nullptr) {
    FILETIME due{};
    ULARGE_INTEGER relative{};
    relative.QuadPart = static_cast<ULONGLONG>(-10000LL);  // 1 ms from now
    due.dwLowDateTime = relative.LowPart;
    due.dwHighDateTime = relative.HighPart;
    ::SetThreadpoolTimer(timer, &due, 0, 0);
    ::WaitForSingleObject(done, 2000);
    ::SetThreadpoolTimer(timer, nullptr, 0, 0);
    ::WaitForThreadpoolTimerCallbacks(timer, TRUE);
    ::CloseThreadpoolTimer(timer);
  }
  ::CloseHandle(done);
}

DXNodePtr User(const std::wstring& name, int64_t sequence) {
  DXNodePtr user = DXNodePtr::Create(name.c_str(), L"User");
  user.SetInt64(L"Seq", sequence);
  return user;
}

// The reference services as a host registers them, with the store content
// of the scenario; revoked and released by Release().
class MatrixServices {
 public:
  MatrixServices() {
    ThrowIfFailed(CLCreateConfigServer(nullptr, 0, m_server.Put()));
    ThrowIfFailed(CLCreateServiceClient(m_client.Put()));
    ThrowIfFailed(CLCreateUsageStatisticsService(m_service.Put()));
    ThrowIfFailed(CLServiceClientRegisterService(m_client.Get(), L"Service.UsageStatistics", m_service.Get()));
    ThrowIfFailed(CLRegisterNamedInstance(L"ConfigServer.Proxy", m_server.Get()));
    ThrowIfFailed(CLRegisterNamedInstance(L"Core.ServiceClient", m_client.Get()));

    const DXNodePtr users = DXNodePtr::Create(L"\\Settings\\Users", L"UserList");
    for (int index = 1; index <= kStoredUsers; ++index) users.AddChild(User(L"u" + std::to_wstring(index), index));
    Write(users);
    WriteSwitch(kToggleSwitch);
    WriteSwitch(kAccumulatorSwitch);
  }
  ~MatrixServices() { Release(); }
  MatrixServices(const MatrixServices&) = delete;
  MatrixServices& operator=(const MatrixServices&) = delete;

  void Release() {
    if (!m_server) return;
    CLRevokeNamedInstance(L"ConfigServer.Proxy");
    CLRevokeNamedInstance(L"Core.ServiceClient");
    CLServiceClientRevokeService(m_client.Get(), L"Service.UsageStatistics");
    m_service.Reset();
    m_client.Reset();
    m_server.Reset();
  }

  IComponentObject* Target(FaultTarget target) const {
    switch (target) {
      case FaultTarget::ConfigServer:
        return m_server.Get();
      case FaultTarget::ServiceClient:
        return m_client.Get();
      case FaultTarget::UsageStatisticsService:
        return m_service.Get();
    }
    return nullptr;
  }

  uint32_t Subscriptions() const {
    uint32_t count = 0;
    CLConfigServerGetSubscriptionCount(m_server.Get(), &count);
    return count;
  }

  std::vector<DXNodePtr> Frames() const {
    std::vector<DXNodePtr> frames;
    uint32_t count = 0;
    ThrowIfFailed(CLUsageStatisticsGetFrameCount(m_service.Get(), &count));
    for (uint32_t index = 0; index < count; ++index) {
      IDXNode* frame = nullptr;
      ThrowIfFailed(CLUsageStatisticsGetFrame(m_service.Get(), index, &frame));
      frames.emplace_back(frame, DXNodePtr::Handle::Adopt);
    }
    return frames;
  }
  uint32_t FrameCount() const {
    uint32_t count = 0;
    CLUsageStatisticsGetFrameCount(m_service.Get(), &count);
    return count;
  }

 private:
  void Write(const DXNodePtr& node) const { ThrowIfFailed(KestrovaTest::WriteNode(m_server.Get(), node)); }
  void WriteSwitch(const wchar_t* path) const { ThrowIfFailed(KestrovaTest::WriteSwitch(m_server.Get(), path, true)); }

  CompPtr<IDXConfigServer> m_server;
  CompPtr<IDXServiceClient> m_client;
  CompPtr<IDXRequestProcessor> m_service;
};

DXNodePtr MaintainerSettings(const std::wstring& storagePath) {
  const DXNodePtr settings = DXNodePtr::Create(L"Maintainer", nullptr);
  settings.SetString(L"SnapshotStatusesCfgPath", kStatusRoot);
  settings.SetInt64(L"SinkIntervalSec", 1);
  settings.SetInt64(L"SendSnapshotsIntervalHours", 24);

  const DXNodePtr storage = DXNodePtr::Create(L"TransientStorage", nullptr);
  storage.SetInt64(L"SendIntervalSec", 1);
  storage.SetInt64(L"MaxSendFailures", 1);
  storage.SetString(L"UsageStatisticsCfgPath", kAccumulatorSwitch);
  storage.SetString(L"TransientStoragePath", storagePath);
  settings.AddChild(storage);

  const DXNodePtr entry = DXNodePtr::Create(kEntryName, L"ConfigSnapshotEntry");
  entry.SetString(L"ConfigPath", L"\\Settings\\Users\\*");
  entry.SetInt64(L"SendIntervalHours", 24);
  entry.SetString(L"NameSource", L"<name>");
  entry.SetBool(L"IsAllowEmpty", true);
  const DXNodePtr item = DXNodePtr::Create(nullptr, L"UsageActivityItem");
  item.SetString(L"NameSource", L"Seq");
  item.SetString(L"ValueSource", L"@Seq");
  entry.AddChild(item);
  const DXNodePtr snapshots = DXNodePtr::Create(L"ConfigSnapshots", nullptr);
  snapshots.AddChild(entry);
  settings.AddChild(snapshots);
  return settings;
}

DXNodePtr Notification(int64_t sequence) {
  const std::wstring name = L"n" + std::to_wstring(sequence);
  DXNodePtr notification = DXNodePtr::Create(nullptr, L"ConfigModificationNotification");
  notification.SetString(L"ModifiedPath", L"\\Settings\\Users\\" + name);
  notification.SetInt64(L"ModifyMask", 6);
  notification.SetString(L"SubjectDisplayName", L"CORP\\matrix");
  notification.AddChild(User(name, sequence));
  return notification;
}

// Calls of the operation that fired, from the calls made and the mode.
uint32_t FiredCalls(FaultKind kind, uint32_t calls) {
  switch (kind) {
    case FaultKind::Always:
    case FaultKind::Delay:
      return calls;
    case FaultKind::NextCalls:
      return calls < kModeCount ? calls : kModeCount;
    case FaultKind::AfterCalls:
      return calls > kModeCount ? calls - kModeCount : 0;
  }
  return 0;
}

CLFault FaultOf(FaultKind kind) {
  switch (kind) {
    case FaultKind::Always:
      return {CLFault_Always, 0, kInjectedFailure, 0};
    case FaultKind::NextCalls:
      return {CLFault_NextCalls, kModeCount, kInjectedFailure, 0};
    case FaultKind::AfterCalls:
      return {CLFault_AfterCalls, kModeCount, kInjectedFailure, 0};
    case FaultKind::Delay:
      return {CLFault_Always, 0, S_OK, kDelayMs};
  }
  return {};
}

// The maintainer as a host holds it: created by class id from Kestrova.dll.
class HostedMaintainer {
 public:
  explicit HostedMaintainer(IComponentsModule* module) {
    ThrowIfFailed(
        module->CreateInstance(CLSID_ConfigSnapshotsMaintainer, IID_IConfigurableComponent, m_configurable.PutVoid()));
    ThrowIfFailed(m_configurable.As(m_shutdown));
    ThrowIfFailed(m_configurable.As(m_processor));
  }
  HRESULT Configure(const DXNodePtr& settings) { return m_configurable->Configure(settings.Get()); }
  HRESULT Notify(const DXNodePtr& notification) { return m_processor->ProcessUsageActivity(notification.Get()); }
  HRESULT Shutdown() { return m_shutdown->Shutdown(); }
  void Release() {
    m_processor.Reset();
    m_shutdown.Reset();
    m_configurable.Reset();
  }

 private:
  CompPtr<IConfigurableComponent> m_configurable;
  CompPtr<IShutdownableComponent> m_shutdown;
  CompPtr<IUsageActivityProcessor> m_processor;
};

class CheckList {
 public:
  void Expect(bool condition, const std::wstring& failure) {
    if (!condition) m_failures += (m_failures.empty() ? L"" : L"; ") + failure;
  }
  bool Passed() const { return m_failures.empty(); }
  const std::wstring& Failures() const { return m_failures; }

 private:
  std::wstring m_failures;
};

}  // namespace

const std::vector<OperationInfo>& AllOperations() {
  static const std::vector<OperationInfo> operations{
      {CLOp_ConfigRead, L"read", FaultTarget::ConfigServer},
      {CLOp_ConfigWrite, L"write", FaultTarget::ConfigServer},
      {CLOp_ConfigDelete, L"delete", FaultTarget::ConfigServer},
      {CLOp_ConfigFlush, L"flush", FaultTarget::ConfigServer},
      {CLOp_ConfigGetInterface, L"get-interface", FaultTarget::ConfigServer},
      {CLOp_ConfigGetComponent, L"get-component", FaultTarget::ConfigServer},
      {CLOp_ConfigSubscribe, L"subscribe", FaultTarget::ConfigServer},
      {CLOp_ConfigRemoveSubscription, L"remove-subscription", FaultTarget::ConfigServer},
      {CLOp_SubscriptionActivate, L"activate", FaultTarget::ConfigServer},
      {CLOp_SubscriptionGetId, L"get-id", FaultTarget::ConfigServer},
      {CLOp_ServiceGetService, L"get-service", FaultTarget::ServiceClient},
      {CLOp_ServiceProcessRequest, L"process-request", FaultTarget::UsageStatisticsService},
  };
  return operations;
}

const std::vector<ModeInfo>& AllModes() {
  static const std::vector<ModeInfo> modes{
      {FaultKind::Always, L"always"},
      {FaultKind::NextCalls, L"next-1"},
      {FaultKind::AfterCalls, L"after-1"},
      {FaultKind::Delay, L"delay-50ms"},
  };
  return modes;
}

FaultCell::FaultCell(const OperationInfo& operation, const ModeInfo& mode, std::wstring folder)
    : m_operation(operation), m_mode(mode), m_folder(std::move(folder)) {}

CellOutcome FaultCell::Run() noexcept {
  try {
    return RunScenario();
  } catch (const HRX& failure) {
    return {false, L"scenario failed: " + Hex(failure.Code())};
  } catch (...) {
    return {false, L"scenario failed: unexpected exception"};
  }
}

CellOutcome FaultCell::RunScenario() {
  ModuleLogFile::Direct(m_folder);
  ModuleLogFile log(m_folder);
  const std::wstring storagePath = m_folder + L"\\pending\\frames.dat";
  const std::wstring injected = Hex(kInjectedFailure);
  const bool delayOnly = m_mode.kind == FaultKind::Delay;
  CheckList checks;

  const HMODULE library = ::LoadLibraryW(L"Kestrova.dll");
  if (library == nullptr) return {false, L"Kestrova.dll not loaded"};
  const auto getModule = reinterpret_cast<PFN_GetComponentsModuleObject>(
      reinterpret_cast<void*>(::GetProcAddress(library, "GetComponentsModuleObject")));
  IComponentsModule* module = nullptr;
  ThrowIfFailed(getModule(reinterpret_cast<void**>(&module)));

  // The module's logger runs on the platform's thread pool: its threads
  // are there before the count starts.
  WarmThreadPool();
  const uint32_t threadsAtStart = KestrovaTest::ProcessThreadCount();
  const uint32_t liveAtStart = CLGetLiveObjectCount();
  MatrixServices services;
  const uint32_t subscriptionsAtStart = services.Subscriptions();
  IComponentObject* const target = services.Target(m_operation.target);
  const CLFault fault = FaultOf(m_mode.kind);
  ThrowIfFailed(CLSetFault(target, m_operation.operation, &fault));

  HostedMaintainer maintainer(module);
  const HRESULT configured = maintainer.Configure(MaintainerSettings(storagePath));
  const uint32_t threadsRunning = KestrovaTest::ProcessThreadCount();
  const bool accumulatorOnAtStart = ModuleLogFile::Contains(log.Text(), kSwitchedOn);

  FrameLedger ledger;
  int failedNotifications = 0;
  if (SUCCEEDED(configured)) {
    checks.Expect(configured == S_OK, L"Configure gave " + Hex(configured));
    // The first snapshot pass runs at once; the notifications follow it, so
    // that the snapshot holds the stored users only.
    WaitFor(
        [&] {
          const std::wstring text = log.Text();
          return ModuleLogFile::Contains(text, kSnapshotExited) || ModuleLogFile::Contains(text, kSnapshotRaised);
        },
        3000);
    if (ModuleLogFile::Contains(log.Text(), kSnapshotEntered)) {
      for (int index = 1; index <= kStoredUsers; ++index) ledger.Produced(L"Snapshot:" + std::to_wstring(index));
    }
    for (int index = 0; index < kNotifications; ++index) {
      const int sequence = kFirstNotifiedSequence + index;
      const HRESULT notified = maintainer.Notify(Notification(sequence));
      if (notified == S_OK) {
        ledger.Produced(L"Modified:" + std::to_wstring(sequence));
      } else {
        ++failedNotifications;
        checks.Expect(notified == kInjectedFailure, L"ProcessUsageActivity gave " + Hex(notified));
      }
    }
    // Until everything is delivered or dropped after its one attempt.
    WaitFor(
        [&] { return services.FrameCount() + ModuleLogFile::Count(log.Text(), kDropped) >= ledger.ProducedCount(); },
        3000);
    // These are still queued at the stop: they go to the pending file.
    for (int index = 0; index < kLateNotifications; ++index) {
      const int sequence = kFirstNotifiedSequence + kNotifications + index;
      const HRESULT notified = maintainer.Notify(Notification(sequence));
      if (notified == S_OK) {
        ledger.Produced(L"Modified:" + std::to_wstring(sequence));
      } else {
        ++failedNotifications;
        checks.Expect(notified == kInjectedFailure, L"ProcessUsageActivity gave " + Hex(notified));
      }
    }
  } else {
    checks.Expect(configured == kInjectedFailure, L"Configure gave " + Hex(configured));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    checks.Expect(services.FrameCount() == 0, L"frames sent after a failed Configure");
  }
  const HRESULT shutDown = maintainer.Shutdown();
  checks.Expect(shutDown == S_OK, L"Shutdown gave " + Hex(shutDown));
  if (FAILED(configured))
    checks.Expect(services.Subscriptions() <= subscriptionsAtStart + 1, L"subscriptions left running");
  maintainer.Release();

  uint32_t calls = 0;
  CLGetCallCount(target, m_operation.operation, &calls);
  CLClearFaults(target);
  const uint32_t fired = FiredCalls(m_mode.kind, calls);

  // What reached the service, what waits in the file, what the log says was dropped.
  for (const DXNodePtr& frame : services.Frames()) ledger.Delivered(FrameLedger::KeyOf(frame));
  size_t pendingFrames = 0;
  if (::GetFileAttributesW(storagePath.c_str()) != INVALID_FILE_ATTRIBUTES) {
    for (const DXNodePtr& frame : UsageStatistics::Detail::CTransientStorage::ReadFile(
             storagePath, DataEncryption::CNodeEncryptor::EncryptAll())) {
      ledger.Pending(FrameLedger::KeyOf(frame));
      ++pendingFrames;
    }
  }
  const std::wstring text = log.Text();
  ledger.Dropped(ModuleLogFile::Count(text, kDropped));
  if (!accumulatorOnAtStart) ledger.AllowAnyMissing(L"accumulator switch off at start");
  if (ModuleLogFile::Contains(text, kStoreFailed)) ledger.AllowAnyMissing(L"pending file not written");
  const std::wstring accounting = ledger.Check();
  checks.Expect(accounting.empty(), L"accounting: " + accounting);

  // Nothing of the module or the library stays behind.
  services.Release();
  uint32_t inUse = 1;
  WaitFor([&] { return module->IsModuleInUse(&inUse) == S_OK && inUse == 0; }, 3000);
  checks.Expect(inUse == 0, L"module still in use");
  checks.Expect(CLGetLiveObjectCount() == liveAtStart,
                L"ComponentsLib objects leaked: " + std::to_wstring(CLGetLiveObjectCount() - liveAtStart));
  uint32_t threads = 0;
  WaitFor([&] { return (threads = KestrovaTest::ProcessThreadCount()) <= threadsAtStart; }, 3000);
  checks.Expect(threads <= threadsAtStart, L"threads left: " + std::to_wstring(threads - threadsAtStart));

  // The log tells about every failure.
  if (FAILED(configured))
    checks.Expect(ModuleLogFile::Contains(text, kConfigureFailed + injected), L"no Configure failure line");
  checks.Expect(ModuleLogFile::Count(text, kProcessFailed + injected) >= static_cast<size_t>(failedNotifications),
                L"a failed notification not logged");
  if (delayOnly) {
    checks.Expect(!ModuleLogFile::Contains(text, injected), L"a pure delay logged as a failure");
    checks.Expect(configured == S_OK && failedNotifications == 0, L"a pure delay failed a call");
  } else if (fired != 0 && m_operation.operation == CLOp_ServiceProcessRequest) {
    checks.Expect(ModuleLogFile::Contains(text, kSendFailed), L"no send failure line");
  } else if (fired != 0) {
    checks.Expect(ModuleLogFile::Contains(text, injected), L"the injected failure is not in the log");
  }
  // Every error line is about the injected failure, not a consequence gone wrong.
  std::wistringstream lines(text);
  for (std::wstring line; std::getline(lines, line);) {
    if (line.find(kErrorSeverity) != std::wstring::npos && line.find(injected) == std::wstring::npos) {
      checks.Expect(false, L"stray error: " + line.substr(line.find(kErrorSeverity)));
      break;
    }
  }

  std::wostringstream summary;
  const int attempted = SUCCEEDED(configured) ? kNotifications + kLateNotifications : 0;
  summary << L"configure=" << Hex(configured) << L" notified=" << (attempted - failedNotifications) << L"/" << attempted
          << L" calls=" << calls << L" fired=" << fired << L" produced=" << ledger.ProducedCount() << L" delivered="
          << ledger.DeliveredCount() << L" pending=" << pendingFrames << L" dropped=" << ledger.DroppedCount()
          << L" missing=" << ledger.MissingCount() << L" threads=" << threadsAtStart << L"/" << threadsRunning << L"/"
          << threads;
  if (!checks.Passed()) summary << L" | " << checks.Failures();
  return {checks.Passed(), summary.str()};
}

}  // namespace Reliability
