// The module as a host sees it: Kestrova.dll loaded with LoadLibraryW and
// reached through GetComponentsModuleObject only.
#include <Kestrova/ComponentInterfaces.h>

#include "support/LoadedModule.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using KestrovaTest::LoadedLibrary;

namespace {

constexpr GUID kUnknownId{0x01234567, 0x89AB, 0xCDEF, {1, 2, 3, 4, 5, 6, 7, 8}};

// A C host calls through the table of function pointers; these views check
// the slot order rather than the C++ declarations.
using QueryInterfaceSlot = HRESULT (*)(void* self, const GUID* iid, void** out);
using CountSlot = uint32_t (*)(void* self);
using NoArgumentSlot = HRESULT (*)(void* self);
using IsModuleInUseSlot = HRESULT (*)(void* self, uint32_t* inUse);
using CreateInstanceSlot = HRESULT (*)(void* self, const GUID* clsid, const GUID* iid, void** out);

template <typename Slot>
Slot SlotOf(void* object, int index) {
  void** table = *static_cast<void***>(object);
  return reinterpret_cast<Slot>(table[index]);
}

class ModuleHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(m_library.Handle(), nullptr) << "LoadLibraryW(Kestrova.dll) failed: " << ::GetLastError();
    m_export = m_library.Export<PFN_GetComponentsModuleObject>("GetComponentsModuleObject");
    ASSERT_NE(m_export, nullptr);
    ASSERT_EQ(m_export(reinterpret_cast<void**>(&m_module)), S_OK);
    ASSERT_NE(m_module, nullptr);
  }

  // LockModule and UnlockModule report the count they leave behind.
  uint32_t UserCount() {
    m_module->LockModule();
    return m_module->UnlockModule();
  }

  uint32_t InUse() {
    uint32_t inUse = 0xCCCC;
    EXPECT_EQ(m_module->IsModuleInUse(&inUse), S_OK);
    return inUse;
  }

  LoadedLibrary m_library{L"Kestrova.dll"};
  PFN_GetComponentsModuleObject m_export = nullptr;
  IComponentsModule* m_module = nullptr;
};

TEST_F(ModuleHostTest, ExportRejectsNullAndHandsOutOneModuleObject) {
  EXPECT_EQ(m_export(nullptr), E_INVALIDARG);

  void* again = nullptr;
  ASSERT_EQ(m_export(&again), S_OK);
  EXPECT_EQ(again, m_module);

  void* root = nullptr;
  void* moduleInterface = nullptr;
  ASSERT_EQ(m_module->QueryInterface(IID_IComponentObject, &root), S_OK);
  ASSERT_EQ(m_module->QueryInterface(IID_IComponentsModule, &moduleInterface), S_OK);
  EXPECT_EQ(moduleInterface, m_module);
  void* rootFromRoot = nullptr;
  ASSERT_EQ(static_cast<IComponentObject*>(root)->QueryInterface(IID_IComponentObject, &rootFromRoot), S_OK);
  EXPECT_EQ(rootFromRoot, root) << "both interfaces belong to one object";
  void* moduleFromRoot = nullptr;
  ASSERT_EQ(static_cast<IComponentObject*>(root)->QueryInterface(IID_IComponentsModule, &moduleFromRoot), S_OK);
  EXPECT_EQ(moduleFromRoot, m_module);
}

TEST_F(ModuleHostTest, ModuleQueryInterfaceFailuresLeaveOutUntouched) {
  void* out = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(m_module->QueryInterface(kUnknownId, &out), E_NOINTERFACE);
  EXPECT_EQ(out, reinterpret_cast<void*>(0x1234));
  auto queryInterface = SlotOf<QueryInterfaceSlot>(m_module, 2);
  EXPECT_EQ(queryInterface(m_module, nullptr, &out), E_INVALIDARG);
  EXPECT_EQ(queryInterface(m_module, &IID_IComponentsModule, nullptr), E_INVALIDARG);
  EXPECT_EQ(out, reinterpret_cast<void*>(0x1234));
}

TEST_F(ModuleHostTest, ModuleIsNotReferenceCounted) {
  EXPECT_EQ(m_module->AddRef(), 0xFFFFFFFFu);
  EXPECT_EQ(m_module->Release(), 0xFFFFFFFFu);
  EXPECT_EQ(m_module->Release(), 0xFFFFFFFFu);
  EXPECT_EQ(m_module->ModuleReserved(), S_OK);
  EXPECT_EQ(m_module->DumpAliveObjects(), S_OK);
}

TEST_F(ModuleHostTest, ModuleSlotsAreInTheirPlaces) {
  void* self = m_module;
  EXPECT_EQ(SlotOf<CountSlot>(self, 0)(self), 0xFFFFFFFFu);
  EXPECT_EQ(SlotOf<CountSlot>(self, 1)(self), 0xFFFFFFFFu);
  EXPECT_EQ(SlotOf<NoArgumentSlot>(self, 3)(self), S_OK);
  EXPECT_EQ(SlotOf<NoArgumentSlot>(self, 4)(self), S_OK);
  const uint32_t before = UserCount();
  EXPECT_EQ(SlotOf<CountSlot>(self, 5)(self), before + 1);
  EXPECT_EQ(SlotOf<CountSlot>(self, 6)(self), before);
  uint32_t inUse = 7;
  EXPECT_EQ(SlotOf<IsModuleInUseSlot>(self, 7)(self, &inUse), S_OK);
  EXPECT_EQ(SlotOf<IsModuleInUseSlot>(self, 7)(self, nullptr), E_POINTER);

  void* object = nullptr;
  auto createInstance = SlotOf<CreateInstanceSlot>(self, 8);
  ASSERT_EQ(createInstance(self, &CLSID_UsageActivityItemsResolver, &IID_IUsageActivityItemsResolver, &object), S_OK);
  EXPECT_EQ(SlotOf<CountSlot>(object, 0)(object), 2u);
  EXPECT_EQ(SlotOf<CountSlot>(object, 1)(object), 1u);
  EXPECT_EQ(SlotOf<CountSlot>(object, 1)(object), 0u);
  EXPECT_EQ(UserCount(), before);
}

TEST_F(ModuleHostTest, IsModuleInUseFollowsLocksAndLiveObjects) {
  EXPECT_EQ(m_module->IsModuleInUse(nullptr), E_POINTER);
  ASSERT_EQ(InUse(), 0u);

  EXPECT_EQ(m_module->LockModule(), 1u);
  EXPECT_EQ(InUse(), 1u);
  EXPECT_EQ(m_module->UnlockModule(), 0u);
  EXPECT_EQ(InUse(), 0u);

  IComponentObject* object = nullptr;
  ASSERT_EQ(m_module->CreateInstance(CLSID_ConfigSnapshotsMaintainer, IID_IComponentObject,
                                     reinterpret_cast<void**>(&object)),
            S_OK);
  EXPECT_EQ(InUse(), 1u);
  EXPECT_EQ(object->Release(), 0u);
  EXPECT_EQ(InUse(), 0u);
}

TEST_F(ModuleHostTest, CreateInstanceOfUnknownClassCreatesNothing) {
  const uint32_t before = UserCount();
  void* out = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(m_module->CreateInstance(kUnknownId, IID_IComponentObject, &out), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(static_cast<uint32_t>(REGDB_E_CLASSNOTREG), 0x80040154u);
  EXPECT_EQ(out, reinterpret_cast<void*>(0x1234));
  EXPECT_EQ(UserCount(), before);
}

struct ClassCase {
  const char* name;
  const GUID* clsid;
  std::vector<const GUID*> answered;  // in lookup order, after IID_IComponentObject
  const GUID* lacking;
};

class ComponentClassTest : public ModuleHostTest, public ::testing::WithParamInterface<ClassCase> {};

TEST_P(ComponentClassTest, ReferenceCountingAndModuleUse) {
  const ClassCase& c = GetParam();
  const uint32_t before = UserCount();
  IComponentObject* object = nullptr;
  ASSERT_EQ(m_module->CreateInstance(*c.clsid, IID_IComponentObject, reinterpret_cast<void**>(&object)), S_OK);
  EXPECT_EQ(UserCount(), before + 1);
  EXPECT_EQ(object->AddRef(), 2u);
  EXPECT_EQ(object->Release(), 1u);
  EXPECT_EQ(object->Release(), 0u);
  EXPECT_EQ(UserCount(), before);
}

TEST_P(ComponentClassTest, AnswersItsInterfacesAsOneObject) {
  const ClassCase& c = GetParam();
  IComponentObject* root = nullptr;
  ASSERT_EQ(m_module->CreateInstance(*c.clsid, IID_IComponentObject, reinterpret_cast<void**>(&root)), S_OK);

  uint32_t expectedCount = 1;
  for (const GUID* iid : c.answered) {
    IComponentObject* secondary = nullptr;
    ASSERT_EQ(root->QueryInterface(*iid, reinterpret_cast<void**>(&secondary)), S_OK);
    ++expectedCount;
    // A secondary interface's root slots act on the same object and lead back to the same root.
    IComponentObject* rootAgain = nullptr;
    ASSERT_EQ(secondary->QueryInterface(IID_IComponentObject, reinterpret_cast<void**>(&rootAgain)), S_OK);
    EXPECT_EQ(rootAgain, root);
    EXPECT_EQ(secondary->AddRef(), expectedCount + 2);
    EXPECT_EQ(rootAgain->Release(), expectedCount + 1);
    EXPECT_EQ(secondary->Release(), expectedCount);
  }

  void* out = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(root->QueryInterface(*c.lacking, &out), E_NOINTERFACE);
  EXPECT_EQ(root->QueryInterface(IID_IComponentsModule, &out), E_NOINTERFACE);
  auto queryInterface = SlotOf<QueryInterfaceSlot>(root, 2);
  EXPECT_EQ(queryInterface(root, nullptr, &out), E_INVALIDARG);
  EXPECT_EQ(queryInterface(root, &IID_IComponentObject, nullptr), E_INVALIDARG);
  EXPECT_EQ(out, reinterpret_cast<void*>(0x1234));

  // Every successful QueryInterface added one reference.
  for (uint32_t count = expectedCount; count > 1; --count) EXPECT_EQ(root->Release(), count - 1);
  EXPECT_EQ(root->Release(), 0u);
}

TEST_P(ComponentClassTest, MissingInterfaceOnCreationReleasesTheNewObject) {
  const ClassCase& c = GetParam();
  const uint32_t before = UserCount();
  void* out = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(m_module->CreateInstance(*c.clsid, *c.lacking, &out), E_NOINTERFACE);
  EXPECT_EQ(out, reinterpret_cast<void*>(0x1234));
  EXPECT_EQ(UserCount(), before);

  auto createInstance = SlotOf<CreateInstanceSlot>(m_module, 8);
  EXPECT_EQ(createInstance(m_module, c.clsid, nullptr, &out), E_INVALIDARG);
  EXPECT_EQ(createInstance(m_module, c.clsid, &IID_IComponentObject, nullptr), E_INVALIDARG);
  EXPECT_EQ(UserCount(), before);
}

INSTANTIATE_TEST_SUITE_P(
    CreatableClasses, ComponentClassTest,
    ::testing::Values(
        ClassCase{"Maintainer",
                  &CLSID_ConfigSnapshotsMaintainer,
                  {&IID_IConfigurableComponent, &IID_IShutdownableComponent, &IID_IUsageActivityProcessor},
                  &IID_IUsageActivityItemsResolver},
        ClassCase{"Resolver",
                  &CLSID_UsageActivityItemsResolver,
                  {&IID_IUsageActivityItemsResolver},
                  &IID_IConfigurableComponent}),
    [](const ::testing::TestParamInfo<ClassCase>& info) { return std::string(info.param.name); });

TEST_F(ModuleHostTest, MaintainerProcessorReservedSlotSucceeds) {
  IUsageActivityProcessor* processor = nullptr;
  ASSERT_EQ(m_module->CreateInstance(CLSID_ConfigSnapshotsMaintainer, IID_IUsageActivityProcessor,
                                     reinterpret_cast<void**>(&processor)),
            S_OK);
  EXPECT_EQ(SlotOf<NoArgumentSlot>(processor, 4)(processor), S_OK);
  EXPECT_EQ(processor->Release(), 0u);
}

TEST_F(ModuleHostTest, ConcurrentCreationAndReleaseRestoreTheUserCount) {
  const uint32_t before = UserCount();
  constexpr int kThreads = 8;
  constexpr int kRounds = 2000;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const GUID& clsid = (t % 2 == 0) ? CLSID_ConfigSnapshotsMaintainer : CLSID_UsageActivityItemsResolver;
      for (int round = 0; round < kRounds; ++round) {
        IComponentObject* object = nullptr;
        if (m_module->CreateInstance(clsid, IID_IComponentObject, reinterpret_cast<void**>(&object)) != S_OK) {
          ++failures;
          continue;
        }
        object->AddRef();
        object->Release();
        if (object->Release() != 0) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(UserCount(), before);
  EXPECT_EQ(InUse(), before == 0 ? 0u : 1u);
}

TEST(ModuleVersionInfo, DescribesItselfAsKestrova64) {
  const std::wstring path = KestrovaTest::ExecutableDirectory() + L"Kestrova.dll";
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> block(size);
  ASSERT_TRUE(::GetFileVersionInfoW(path.c_str(), 0, size, block.data()));

  wchar_t* description = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\StringFileInfo\\040904B0\\FileDescription",
                               reinterpret_cast<void**>(&description), &length));
  EXPECT_STREQ(description, L"Kestrova64");

  VS_FIXEDFILEINFO* fixed = nullptr;
  ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_GE(HIWORD(fixed->dwFileVersionMS), 1u);
}

}  // namespace
