// The files the module owns, through Kestrova.dll: the log and the pending
// frames file below paths longer than MAX_PATH, never a file relative to the
// current directory, and the pending file stored by a host thread that
// impersonates, under the process's identity, with the thread's token put
// back afterwards.
#include "runtime/RuntimeTestSupport.h"
#include "stress/StressNodes.h"
#include "support/LoadedModule.h"
#include "support/ReferenceServices.h"

#include <Kestrova/ComponentInterfaces.h>

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

using KestrovaTest::ExecutableDirectory;
using KestrovaTest::LoadedLibrary;
using RuntimeTest::TempDirectory;

// A folder path of at least `length` characters below base.
std::wstring LongFolder(const std::wstring& base, size_t length) {
  std::wstring path = base;
  for (int level = 0; path.size() < length; ++level) path += L"\\level-" + std::to_wstring(level) + L"-abcdefghijklmnopqrstuvwxyz";
  return path;
}

bool ExistsAtAnyLength(const std::wstring& path) {
  return ::GetFileAttributesW((L"\\\\?\\" + path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The process's settings before the module loads: the log below a long
// folder, given relative to the data directory (so that the module must join
// the two beyond MAX_PATH), from a current directory the test watches.
// Windows needs the extended form for such paths; Wine also takes the plain one.
class ModuleFilesEnvironment {
 public:
  ModuleFilesEnvironment() : m_logFolder(LongFolder(m_temp.Path() + L"\\data\\logs", 300)) {
    ::SetEnvironmentVariableW(L"GS_General_DataDirectoryPath", (m_temp / L"data").c_str());
    const std::wstring relative = m_logFolder.substr((m_temp / L"data\\").size());
    ::SetEnvironmentVariableW(L"GS_Logger_Path", relative.c_str());
    ::SetEnvironmentVariableW(L"GS_Logger_MaxSeverity", L"DBG");
    ::SetEnvironmentVariableW(L"GS_Logger_KeepOpenInterval", L"0");
    ::CreateDirectoryW((m_temp / L"current").c_str(), nullptr);
    ::SetCurrentDirectoryW((m_temp / L"current").c_str());
  }
  const std::wstring& LogFolder() const { return m_logFolder; }
  std::wstring CurrentDirectory() const { return m_temp / L"current"; }
  std::wstring Temp() const { return m_temp.Path(); }

 private:
  TempDirectory m_temp;
  std::wstring m_logFolder;
};

ModuleFilesEnvironment& Environment() {
  static ModuleFilesEnvironment environment;
  return environment;
}

class ModuleFilesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { Environment(); }
  void SetUp() override {
    ASSERT_NE(m_library.Handle(), nullptr);
    ASSERT_EQ(m_library.Export<PFN_GetComponentsModuleObject>("GetComponentsModuleObject")(
                  reinterpret_cast<void**>(&m_module)),
              S_OK);
    m_services.WriteSwitch(KestrovaStress::kProductSwitch, true);
    m_services.WriteSwitch(KestrovaStress::kAccumulatorSwitch, true);
    m_services.Write(
        DXNodePtr::Create((std::wstring(KestrovaStress::kItemsPath) + L"\\t0").c_str(), L"StressItem"));
  }

  KestrovaTest::ReferenceServices m_services;
  LoadedLibrary m_library{L"Kestrova.dll"};
  IComponentsModule* m_module = nullptr;
};

TEST_F(ModuleFilesTest, TheLogLiesBelowAFolderLongerThanMaxPathAndNeverInTheCurrentDirectory) {
  ASSERT_GT(Environment().LogFolder().size(), static_cast<size_t>(MAX_PATH));
  IUsageActivityItemsResolver* resolver = nullptr;
  ASSERT_EQ(m_module->CreateInstance(CLSID_UsageActivityItemsResolver, IID_IUsageActivityItemsResolver,
                                     reinterpret_cast<void**>(&resolver)),
            S_OK);
  EXPECT_EQ(resolver->Initialize(DXNodePtr::Create(L"Rules", nullptr).Get()), S_OK);  // a DBG line
  resolver->Release();
  EXPECT_TRUE(ExistsAtAnyLength(Environment().LogFolder() + L"\\Kestrova.log"));
  EXPECT_FALSE(ExistsAtAnyLength(Environment().CurrentDirectory() + L"\\Kestrova.log"));
}

// A host thread carrying an impersonation token (a restricted copy of the
// process's own: Wine has no other accounts) stores the pending file below a
// long folder; the token is the thread's again afterwards, and the next
// maintainer reads the file back.
TEST_F(ModuleFilesTest, AnImpersonatingHostThreadStoresThePendingFileBelowALongFolder) {
  const std::wstring storagePath = LongFolder(Environment().Temp() + L"\\pending", 300) + L"\\frames.pending";
  const CLFault refuse{CLFault_Always, 0, E_FAIL, 0};
  ASSERT_EQ(CLSetFault(m_services.Service(), CLOp_ServiceProcessRequest, &refuse), S_OK);

  IConfigurableComponent* configurable = nullptr;
  ASSERT_EQ(m_module->CreateInstance(CLSID_ConfigSnapshotsMaintainer, IID_IConfigurableComponent,
                                     reinterpret_cast<void**>(&configurable)),
            S_OK);
  IUsageActivityProcessor* processor = nullptr;
  IShutdownableComponent* shutdown = nullptr;
  ASSERT_EQ(configurable->QueryInterface(IID_IUsageActivityProcessor, reinterpret_cast<void**>(&processor)), S_OK);
  ASSERT_EQ(configurable->QueryInterface(IID_IShutdownableComponent, reinterpret_cast<void**>(&shutdown)), S_OK);

  bool impersonated = false, tokenBack = false;
  HRESULT configured = E_FAIL, reported = E_FAIL, shutDown = E_FAIL;
  std::thread host([&] {
    HANDLE process = nullptr, restricted = nullptr;
    if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process) &&
        ::CreateRestrictedToken(process, DISABLE_MAX_PRIVILEGE, 0, nullptr, 0, nullptr, 0, nullptr, &restricted)) {
      HANDLE impersonation = nullptr;
      if (::DuplicateToken(restricted, SecurityImpersonation, &impersonation)) {
        impersonated = ::SetThreadToken(nullptr, impersonation) != FALSE;
        ::CloseHandle(impersonation);
      }
    }
    if (!impersonated) impersonated = ::ImpersonateSelf(SecurityImpersonation) != FALSE;
    configured = configurable->Configure(KestrovaStress::Settings(storagePath).Get());
    reported = processor->ProcessUsageActivity(KestrovaStress::Notification(0, 1).Get());
    shutDown = shutdown->Shutdown();
    HANDLE token = nullptr;
    tokenBack = ::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token) != FALSE;
    if (token != nullptr) ::CloseHandle(token);
    ::RevertToSelf();
    if (process != nullptr) ::CloseHandle(process);
    if (restricted != nullptr) ::CloseHandle(restricted);
  });
  host.join();
  processor->Release();
  shutdown->Release();
  configurable->Release();
  if (!impersonated) GTEST_SKIP() << "no impersonation token on this platform";
  EXPECT_EQ(configured, S_OK);
  EXPECT_EQ(reported, S_OK);
  EXPECT_EQ(shutDown, S_OK);
  EXPECT_TRUE(tokenBack) << "the thread's token was not put back";
  ASSERT_TRUE(ExistsAtAnyLength(storagePath));

  // The next maintainer restores and delivers the frame.
  CLClearFaults(m_services.Service());
  ASSERT_EQ(m_module->CreateInstance(CLSID_ConfigSnapshotsMaintainer, IID_IConfigurableComponent,
                                     reinterpret_cast<void**>(&configurable)),
            S_OK);
  ASSERT_EQ(configurable->Configure(KestrovaStress::Settings(storagePath).Get()), S_OK);
  EXPECT_FALSE(ExistsAtAnyLength(storagePath)) << "read and deleted";
  EXPECT_TRUE(m_services.WaitForFrames(1));
  ASSERT_EQ(configurable->QueryInterface(IID_IShutdownableComponent, reinterpret_cast<void**>(&shutdown)), S_OK);
  EXPECT_EQ(shutdown->Shutdown(), S_OK);
  shutdown->Release();
  configurable->Release();
}

}  // namespace
