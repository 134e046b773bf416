// A host that ends the way real hosts do, not the way tests shut down: it
// loads Kestrova.dll beside ComponentsLib.dll's reference services and then
//   exit-process        calls ExitProcess while four threads report
//                       modifications at DBG, without Shutdown or release;
//   return-main         returns from main in the same state;
//   dead-logger-holder  terminates a thread while it waits inside the file
//                       logger's lock (the log file is held open without
//                       sharing, so every open retries inside that lock),
//                       then calls ExitProcess.
// A run must end by itself within seconds: the test that starts it kills it
// and fails when it does not.
//   ExitHost MODE LOG_DIRECTORY
#include "stress/StressNodes.h"
#include "support/StoreWrites.h"

#include <Kestrova/ComponentInterfaces.h>
#include <Kestrova/ComponentsLib.h>

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace KestrovaStress;

std::wstring ExecutableDirectory() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::wstring file(path, length);
  return file.substr(0, file.find_last_of(L"\\/") + 1);
}

IComponentsModule* LoadModule() {
  const HMODULE library = ::LoadLibraryW((ExecutableDirectory() + L"Kestrova.dll").c_str());
  if (library == nullptr) return nullptr;
  auto getModule = reinterpret_cast<PFN_GetComponentsModuleObject>(
      reinterpret_cast<void*>(::GetProcAddress(library, "GetComponentsModuleObject")));
  IComponentsModule* module = nullptr;
  if (getModule == nullptr || FAILED(getModule(reinterpret_cast<void**>(&module)))) return nullptr;
  return module;
}

int Fail(const char* what) {
  std::fprintf(stderr, "ExitHost: %s\n", what);
  return 1;
}

// Four threads reporting as fast as they can; never joined.
int ExitDuringTraffic(bool returnFromMain) {
  IDXConfigServer* server = nullptr;
  IDXServiceClient* client = nullptr;
  IDXRequestProcessor* service = nullptr;
  if (FAILED(CLCreateConfigServer(nullptr, 0, &server)) || FAILED(CLCreateServiceClient(&client)) ||
      FAILED(CLCreateUsageStatisticsService(&service)) ||
      FAILED(CLServiceClientRegisterService(client, L"Service.UsageStatistics", service)) ||
      FAILED(CLRegisterNamedInstance(L"ConfigServer.Proxy", server)) ||
      FAILED(CLRegisterNamedInstance(L"Core.ServiceClient", client))) {
    return Fail("cannot register the reference services");
  }
  KestrovaTest::WriteSwitch(server, kProductSwitch, true);
  KestrovaTest::WriteSwitch(server, kAccumulatorSwitch, true);
  for (int thread = 0; thread < 4; ++thread) {
    const DXNodePtr item =
        DXNodePtr::Create((std::wstring(kItemsPath) + L"\\" + ItemName(thread)).c_str(), L"StressItem");
    item.SetString(L"Seq", L"0");
    KestrovaTest::WriteNode(server, item);
  }

  IComponentsModule* module = LoadModule();
  if (module == nullptr) return Fail("cannot load Kestrova.dll");
  IConfigurableComponent* configurable = nullptr;
  IUsageActivityProcessor* processor = nullptr;
  if (FAILED(module->CreateInstance(CLSID_ConfigSnapshotsMaintainer, IID_IConfigurableComponent,
                                    reinterpret_cast<void**>(&configurable))) ||
      FAILED(configurable->QueryInterface(IID_IUsageActivityProcessor, reinterpret_cast<void**>(&processor)))) {
    return Fail("cannot create the maintainer");
  }
  wchar_t storage[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, storage);
  const std::wstring storagePath =
      std::wstring(storage) + L"KestrovaExitHost\\" + std::to_wstring(::GetCurrentProcessId()) + L".pending";
  if (FAILED(configurable->Configure(Settings(storagePath).Get()))) return Fail("Configure failed");

  std::atomic<uint64_t> calls{0};
  for (int thread = 0; thread < 4; ++thread) {
    std::thread([processor, thread, &calls] {
      for (int64_t seq = 1;; ++seq) {
        processor->ProcessUsageActivity(Notification(thread, seq).Get());
        ++calls;
      }
    }).detach();
  }
  while (calls.load() < 40) ::Sleep(5);
  ::Sleep(200);
  std::printf("exiting after %llu calls\n", static_cast<unsigned long long>(calls.load()));
  std::fflush(stdout);
  if (returnFromMain) return 0;
  ::ExitProcess(0);
}

// Ends the thread while it waits between two attempts to open the log file,
// inside the logger's lock, and only then: killed anywhere else it could die
// holding the process heap's lock, which would end the process in the heap
// (under Wine) or hang it (under Windows), whatever the module does.
bool TerminateWhileSleeping(HANDLE thread) {
  const auto delay = reinterpret_cast<const uint8_t*>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtDelayExecution")));
  if (delay == nullptr) return false;
  for (int attempt = 0; attempt < 2000; ++attempt) {
    if (::SuspendThread(thread) == static_cast<DWORD>(-1)) return false;
    CONTEXT context{};
    context.ContextFlags = CONTEXT_CONTROL;
    // A thread blocked in the call reports an instruction within its stub.
    const auto at = ::GetThreadContext(thread, &context) ? reinterpret_cast<const uint8_t*>(context.Rip) : nullptr;
    if (at >= delay && at < delay + 32) {
      ::TerminateThread(thread, 0);
      return true;
    }
    ::ResumeThread(thread);
    ::Sleep(1);
  }
  return false;
}

int DeadLoggerHolder(const std::wstring& logDirectory) {
  ::SetEnvironmentVariableW(L"GS_Logger_KeepOpenInterval", L"0");
  // Held without sharing: each line's open fails and is retried inside the
  // file logger's lock.
  const HANDLE blocker = ::CreateFileW((logDirectory + L"\\Kestrova.log").c_str(), GENERIC_WRITE, 0, nullptr,
                                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (blocker == INVALID_HANDLE_VALUE) return Fail("cannot hold the log file");
  IComponentsModule* module = LoadModule();
  if (module == nullptr) return Fail("cannot load Kestrova.dll");
  IUsageActivityItemsResolver* resolver = nullptr;
  if (FAILED(module->CreateInstance(CLSID_UsageActivityItemsResolver, IID_IUsageActivityItemsResolver,
                                    reinterpret_cast<void**>(&resolver)))) {
    return Fail("cannot create the resolver");
  }
  const DXNodePtr rules = DXNodePtr::Create(L"Rules", nullptr);
  std::atomic<uint64_t> lines{0};
  HANDLE logging = ::CreateThread(
      nullptr, 0,
      [](void* parameter) -> DWORD {
        auto* context = static_cast<std::pair<IUsageActivityItemsResolver*, IDXNode*>*>(parameter);
        for (;;) context->first->Initialize(context->second);  // one DBG line each
      },
      new std::pair<IUsageActivityItemsResolver*, IDXNode*>(resolver, rules.Get()), 0, nullptr);
  if (logging == nullptr) return Fail("cannot start the logging thread");
  ::Sleep(300);
  if (!TerminateWhileSleeping(logging)) return Fail("the logging thread was never seen waiting to retry the open");
  std::printf("logging thread terminated\n");
  std::fflush(stdout);
  ::ExitProcess(0);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return Fail("usage: ExitHost exit-process|return-main|dead-logger-holder LOG_DIRECTORY");
  const std::wstring mode = argv[1];
  ::SetEnvironmentVariableW(L"GS_Logger_Path", argv[2]);
  ::SetEnvironmentVariableW(L"GS_Logger_MaxSeverity", L"DBG");
  if (mode == L"exit-process") return ExitDuringTraffic(false);
  if (mode == L"return-main") return ExitDuringTraffic(true);
  if (mode == L"dead-logger-holder") return DeadLoggerHolder(argv[2]);
  return Fail("unknown mode");
}
