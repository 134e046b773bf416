// DumpAliveObjects of Kestrova.dll, loaded the way a host loads it. Built
// twice: with "Debug"/"EnableAliveObjectsTracking" set before the module
// loads (KESTROVA_TRACKING_ENABLED 1) and without it (0).
#include <Kestrova/ComponentInterfaces.h>

#include "runtime/RuntimeTestSupport.h"
#include "support/LoadedModule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#ifndef KESTROVA_TRACKING_ENABLED
#error "KESTROVA_TRACKING_ENABLED selects the settings state of this program"
#endif

namespace {

using RuntimeTest::ScopedEnvironmentVariable;
using RuntimeTest::TempDirectory;

constexpr wchar_t kResolverTag[] =
    L"ObjTag='CComponentObject<class UsageStatistics::CUsageActivityItemsResolver>::CComponentObject' Ptr=";

// The module's settings come from the environment when it loads: its log in
// a temporary folder, WARN lines written, tracking on or off.
class AliveObjectsDumpTest : public ::testing::Test {
 protected:
  AliveObjectsDumpTest()
      : m_logPath(L"GS_Logger_Path", m_temp.Path().c_str()),
        m_severity(L"GS_Logger_MaxSeverity", L"WARN"),
        m_keepOpen(L"GS_Logger_KeepOpenInterval", L"0"),
        m_tracking(L"GS_Debug_EnableAliveObjectsTracking", KESTROVA_TRACKING_ENABLED ? L"1" : nullptr),
        m_skip(L"GS_Debug_AliveObjectsTrackingFramesToSkip", nullptr) {}

  void SetUp() override {
    m_library = std::make_unique<KestrovaTest::LoadedLibrary>(L"Kestrova.dll");
    ASSERT_NE(m_library->Handle(), nullptr) << ::GetLastError();
    const auto exported = m_library->Export<PFN_GetComponentsModuleObject>("GetComponentsModuleObject");
    ASSERT_NE(exported, nullptr);
    ASSERT_EQ(exported(reinterpret_cast<void**>(&m_module)), S_OK);
  }

  void TearDown() override {
    for (IComponentObject* object : m_objects) object->Release();
    m_library.reset();
  }

  IComponentObject* Create() {
    IComponentObject* object = nullptr;
    EXPECT_EQ(m_module->CreateInstance(CLSID_UsageActivityItemsResolver, IID_IComponentObject,
                                       reinterpret_cast<void**>(&object)),
              S_OK);
    if (object != nullptr) m_objects.push_back(object);
    return object;
  }

  // The dump's lines: from the count line on, the text after it.
  std::vector<std::wstring> DumpLines() {
    EXPECT_EQ(m_module->DumpAliveObjects(), S_OK);
    const std::wstring log = RuntimeTest::ReadUtf16File(m_temp / L"Kestrova.log");
    std::vector<std::wstring> lines;
    for (const std::wstring& line : RuntimeTest::SplitLines(log.substr(m_consumed))) {
      for (const wchar_t* marker : {L"Alive component objects: ", L"ObjTag='"}) {
        const size_t at = line.find(marker);
        if (at != std::wstring::npos) lines.push_back(line.substr(at));
      }
    }
    m_consumed = log.size();
    return lines;
  }

  TempDirectory m_temp;
  ScopedEnvironmentVariable m_logPath;
  ScopedEnvironmentVariable m_severity;
  ScopedEnvironmentVariable m_keepOpen;
  ScopedEnvironmentVariable m_tracking;
  ScopedEnvironmentVariable m_skip;
  std::unique_ptr<KestrovaTest::LoadedLibrary> m_library;
  IComponentsModule* m_module = nullptr;
  std::vector<IComponentObject*> m_objects;
  size_t m_consumed = 0;
};

#if KESTROVA_TRACKING_ENABLED

uintptr_t ParsePointer(const std::wstring& text) {
  return static_cast<uintptr_t>(std::wcstoull(text.c_str(), nullptr, 16));
}

TEST_F(AliveObjectsDumpTest, LiveComponentsAreDumpedInAddressOrder) {
  EXPECT_TRUE(DumpLines().empty()) << "no component yet";
  Create();
  Create();
  ASSERT_EQ(m_objects.size(), 2u);

  const std::vector<std::wstring> lines = DumpLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], L"Alive component objects: 2");
  std::vector<uintptr_t> addresses;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::wstring& line = lines[i];
    ASSERT_EQ(line.rfind(kResolverTag, 0), 0u) << line;
    const size_t eipsAt = line.find(L" EIPs=");
    ASSERT_NE(eipsAt, std::wstring::npos) << line;
    addresses.push_back(ParsePointer(line.substr(wcslen(kResolverTag), eipsAt - wcslen(kResolverTag))));
    const std::wstring eips = line.substr(eipsAt + 6);
    EXPECT_EQ(std::count(eips.begin(), eips.end(), L';'), 3) << eips;
    EXPECT_NE(eips.back(), L';') << eips;
  }
  EXPECT_LT(addresses[0], addresses[1]);

  // The dumped addresses are the objects the host holds.
  std::vector<uintptr_t> held{reinterpret_cast<uintptr_t>(m_objects[0]), reinterpret_cast<uintptr_t>(m_objects[1])};
  std::sort(held.begin(), held.end());
  EXPECT_EQ(addresses, held);

  // A released object leaves the list; with none left the dump is silent.
  m_objects.back()->Release();
  m_objects.pop_back();
  EXPECT_EQ(DumpLines().size(), 2u);
  m_objects.back()->Release();
  m_objects.pop_back();
  EXPECT_TRUE(DumpLines().empty());
}

#else

TEST_F(AliveObjectsDumpTest, NothingIsDumpedWithoutTheSetting) {
  Create();
  Create();
  EXPECT_TRUE(DumpLines().empty());
  uint32_t inUse = 0;
  EXPECT_EQ(m_module->IsModuleInUse(&inUse), S_OK);
  EXPECT_EQ(inUse, 1u);
}

#endif

}  // namespace
