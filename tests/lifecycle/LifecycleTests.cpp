// Load, unload and process exit as real hosts do them: a process that exits
// while its threads are inside the module, one that exits after a thread died
// inside the module's log lock, and a host that unloads the module the moment
// IsModuleInUse reads 0 while another thread releases the last component.
#include "reliability/CellProcess.h"
#include "runtime/RuntimeTestSupport.h"
#include "stress/StressNodes.h"
#include "support/LoadedModule.h"
#include "support/ReferenceServices.h"

#include <Kestrova/ComponentInterfaces.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace {

using KestrovaTest::ExecutableDirectory;
using Reliability::CellProcess;
using Reliability::CellVerdict;
using RuntimeTest::TempDirectory;

constexpr uint32_t kExitTimeoutMs = 15000;

CellVerdict RunExitHost(const std::wstring& mode, const std::wstring& logDirectory, std::wstring& output) {
  CellProcess host(L"\"" + ExecutableDirectory() + L"ExitHost.exe\" " + mode + L" \"" + logDirectory + L"\"");
  return host.Finish(kExitTimeoutMs, output);
}

// Without Shutdown or release, with four threads in ProcessUsageActivity at
// DBG: the C runtime's detach must not wait for a lock a killed thread held.
TEST(ProcessExit, EndsWithinSecondsWhileHostThreadsAreInsideTheModule) {
  const TempDirectory logs;
  int hung = 0, crashed = 0;
  for (int run = 0; run < 50; ++run) {
    const std::wstring mode = run % 2 == 0 ? L"exit-process" : L"return-main";
    std::wstring output;
    const CellVerdict verdict = RunExitHost(mode, logs.Path(), output);
    hung += verdict == CellVerdict::Hung;
    crashed += verdict == CellVerdict::Crashed;
    EXPECT_EQ(verdict, CellVerdict::Passed) << "run " << run << " (" << mode << "): " << output;
  }
  EXPECT_EQ(hung, 0);
  EXPECT_EQ(crashed, 0);
}

TEST(ProcessExit, EndsWhenAThreadDiedHoldingTheLogLock) {
  for (int run = 0; run < 3; ++run) {
    const TempDirectory logs;
    std::wstring output;
    EXPECT_EQ(RunExitHost(L"dead-logger-holder", logs.Path(), output), CellVerdict::Passed)
        << "run " << run << ": " << output;
  }
}

// IsModuleInUse = 0 must mean that no module code runs: neither a component's
// destructor nor a module thread. The poller unloads the moment it reads 0.
TEST(Unload, TheMomentTheCountReadsZeroWhileTheLastComponentIsReleased) {
  const TempDirectory temp;
  const KestrovaTest::ReferenceServices services;
  services.WriteSwitch(KestrovaStress::kProductSwitch, true);
  services.WriteSwitch(KestrovaStress::kAccumulatorSwitch, true);
  const DXNodePtr item = DXNodePtr::Create((std::wstring(KestrovaStress::kItemsPath) + L"\\t0").c_str(), L"StressItem");
  services.Write(item);
  const std::wstring library = ExecutableDirectory() + L"Kestrova.dll";
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE(round);
    const HMODULE module = ::LoadLibraryW(library.c_str());
    ASSERT_NE(module, nullptr);
    auto getModule = reinterpret_cast<PFN_GetComponentsModuleObject>(
        reinterpret_cast<void*>(::GetProcAddress(module, "GetComponentsModuleObject")));
    IComponentsModule* components = nullptr;
    ASSERT_EQ(getModule(reinterpret_cast<void**>(&components)), S_OK);
    IConfigurableComponent* maintainer = nullptr;
    ASSERT_EQ(components->CreateInstance(CLSID_ConfigSnapshotsMaintainer, IID_IConfigurableComponent,
                                         reinterpret_cast<void**>(&maintainer)),
              S_OK);
    // A file of its own per round: the frames a round leaves pending are not
    // restored and stored again by every later round.
    const std::wstring pending = temp / (L"unload" + std::to_wstring(round) + L".pending");
    ASSERT_EQ(maintainer->Configure(KestrovaStress::Settings(pending).Get()), S_OK);

    std::atomic<bool> polling{false};
    std::atomic<bool> stayedInUse{false};
    std::thread poller([&] {
      // Spins without pausing, to unload the very moment the count reads 0;
      // bounded, so that a count that never drops fails instead of hanging.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      uint32_t inUse = 1;
      polling = true;
      while (components->IsModuleInUse(&inUse) == S_OK && inUse != 0) {
        if (std::chrono::steady_clock::now() > deadline) {
          stayedInUse = true;
          return;
        }
      }
      ::FreeLibrary(module);
    });
    while (!polling.load()) std::this_thread::yield();
    std::thread releaser([&] { maintainer->Release(); });
    releaser.join();
    poller.join();
    ASSERT_FALSE(stayedInUse) << "the module stayed in use after its last component was released";
  }
}

}  // namespace
