// The items resolver through Kestrova.dll, created by class id.
#include <Kestrova/ComponentInterfaces.h>

#include "module/CompPtr.h"
#include "node/NodeErrors.h"
#include "resolution/FrameText.h"
#include "support/LoadedModule.h"
#include "support/NodeBuilder.h"

#include <gtest/gtest.h>

#include <oleauto.h>

#include <atomic>
#include <thread>

namespace {

using namespace KestrovaTest;

NodeSpec Item(std::wstring name, std::wstring value, int64_t type = 0) {
  return {
      L"",
      L"UsageActivityItem",
      {Text(L"NameSource", std::move(name)), Text(L"ValueSource", std::move(value)), Int64(L"ActivityItemType", type)}};
}

NodeSpec Rules(std::vector<NodeSpec> entries) { return {L"Rules", L"", {}, std::move(entries)}; }

const NodeSpec kSource{L"Source", L"", {}, {{L"Users", L"", {}, {{L"U1"}, {L"U2"}}}}};

class ResolverComponentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(m_library.Handle(), nullptr);
    auto getModule = m_library.Export<PFN_GetComponentsModuleObject>("GetComponentsModuleObject");
    ASSERT_NE(getModule, nullptr);
    IComponentsModule* module = nullptr;
    ASSERT_EQ(getModule(reinterpret_cast<void**>(&module)), S_OK);
    ASSERT_EQ(
        module->CreateInstance(CLSID_UsageActivityItemsResolver, IID_IUsageActivityItemsResolver, m_resolver.PutVoid()),
        S_OK);
  }

  HRESULT Initialize(const NodeSpec& rules) { return m_resolver->Initialize(Build(rules).Get()); }

  // The container's frames as text; the container itself must be a bare node.
  std::wstring ResolveText(const NodeSpec& source) {
    DXNodePtr container;
    const HRESULT hr = m_resolver->ResolveActivityItems(Build(source).Get(), container.Out());
    if (FAILED(hr)) return L"failed";
    EXPECT_EQ(container.GetName(), L"");
    EXPECT_EQ(container.GetType(), L"");
    EXPECT_FALSE(container.GetParent());
    std::vector<DXNodePtr> frames;
    container.ForEachChild([&](const DXNodePtr& frame) { frames.push_back(frame); });
    return FramesText(frames);
  }

  LoadedLibrary m_library{L"Kestrova.dll"};
  CompPtr<IUsageActivityItemsResolver> m_resolver;
};

TEST_F(ResolverComponentTest, UninitializedOrEmptyConfigurationGivesAnEmptyContainer) {
  EXPECT_EQ(ResolveText(kSource), L"");
  EXPECT_EQ(Initialize(Rules({})), S_OK);
  EXPECT_EQ(ResolveText(kSource), L"");
}

TEST_F(ResolverComponentTest, FramesOfAllEntriesInOrder) {
  ASSERT_EQ(Initialize(Rules({Item(L"User", L"\\Users\\*\\<name>", 2), Item(L"Count", L"7")})), S_OK);
  EXPECT_EQ(ResolveText(kSource), L"User=U1; User=U2; Count=7");
}

TEST_F(ResolverComponentTest, SecondInitializeReplacesTheEntries) {
  ASSERT_EQ(Initialize(Rules({Item(L"A", L"1"), Item(L"B", L"2")})), S_OK);
  ASSERT_EQ(Initialize(Rules({Item(L"C", L"3")})), S_OK);
  EXPECT_EQ(ResolveText(kSource), L"C=3");
}

TEST_F(ResolverComponentTest, FailedInitializeKeepsTheEntriesBeforeTheBadOne) {
  const HRESULT hr = Initialize(Rules({Item(L"A", L"1"), Item(L"B", L"2"), {L"", L"Unknown"}, Item(L"D", L"4")}));
  EXPECT_EQ(hr, E_INVALIDARG);
  IErrorInfo* errorInfo = nullptr;
  ASSERT_EQ(::GetErrorInfo(0, &errorInfo), S_OK) << "the failure is published as the thread's error object";
  BSTR description = nullptr;
  errorInfo->GetDescription(&description);
  EXPECT_NE(std::wstring(description ? description : L"").find(L"Invalid Activity Entry config node."),
            std::wstring::npos)
      << (description ? description : L"");
  ::SysFreeString(description);
  errorInfo->Release();
  EXPECT_EQ(ResolveText(kSource), L"A=1; B=2");
}

TEST_F(ResolverComponentTest, NullArgumentsAreRejected) {
  ASSERT_EQ(Initialize(Rules({Item(L"A", L"1")})), S_OK);
  IDXNode* container = reinterpret_cast<IDXNode*>(0x1234);
  EXPECT_EQ(m_resolver->ResolveActivityItems(nullptr, &container), E_POINTER);
  EXPECT_EQ(container, reinterpret_cast<IDXNode*>(0x1234)) << "not written for null arguments";
  EXPECT_EQ(m_resolver->ResolveActivityItems(Build(kSource).Get(), nullptr), E_POINTER);
  EXPECT_EQ(m_resolver->Initialize(nullptr), E_POINTER);
}

TEST_F(ResolverComponentTest, FailingResolutionLeavesTheOutHandleNull) {
  ASSERT_EQ(Initialize(Rules({Item(L"A", L"1"), Item(L"Bad", L"\\Users\\[@x==1]\\@y")})), S_OK);
  IDXNode* container = reinterpret_cast<IDXNode*>(0x1234);
  EXPECT_EQ(m_resolver->ResolveActivityItems(Build(kSource).Get(), &container), NodeErrors::kInvalidData);
  EXPECT_EQ(container, nullptr);
}

TEST_F(ResolverComponentTest, HandlesStayTheCallers) {
  const DXNodePtr rules = Build(Rules({Item(L"A", L"1")}));
  const DXNodePtr source = Build(kSource);
  ASSERT_EQ(m_resolver->Initialize(rules.Get()), S_OK);
  DXNodePtr container;
  ASSERT_EQ(m_resolver->ResolveActivityItems(source.Get(), container.Out()), S_OK);
  // Both handles are still usable and unchanged.
  EXPECT_EQ(rules.GetChildCount(), 1u);
  EXPECT_EQ(source.GetName(), L"Source");
  EXPECT_EQ(container.GetChildCount(), 1u);
}

TEST_F(ResolverComponentTest, ConcurrentResolutionsAgree) {
  ASSERT_EQ(
      Initialize(Rules(
          {Item(L"User", L"\\Users\\*\\<name>", 2),
           {L"", L"UsageActivityItemCounter", {Text(L"NameSource", L"N"), Text(L"ValueSource", L"\\**\\<name>")}}})),
      S_OK);
  const DXNodePtr source = Build(kSource);
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < 200; ++round) {
        DXNodePtr container;
        if (m_resolver->ResolveActivityItems(source.Get(), container.Out()) != S_OK || container.GetChildCount() != 3)
          ++mismatches;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
