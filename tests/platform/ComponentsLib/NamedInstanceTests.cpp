// Named instances: registration, lookup by exact name, revocation, and the
// export a module reaches by name.
#include "HostTestSupport.h"

#include "tests/support/LoadedModule.h"

namespace HostTest {
namespace {

class NamedInstanceTest : public LiveObjectsTest {
 protected:
  void TearDown() override {
    CLRevokeAllNamedInstances();
    LiveObjectsTest::TearDown();
  }
};

TEST_F(NamedInstanceTest, RegisteredInstanceIsHandedOutByNameAndInterface) {
  CompPtr<IDXConfigServer> server;
  ASSERT_EQ(CLCreateConfigServer(nullptr, 0, server.Put()), S_OK);
  ASSERT_EQ(CLRegisterNamedInstance(L"ConfigServer.Proxy", server.Get()), S_OK);

  // Both ids the module asks "ConfigServer.Proxy" for.
  CompPtr<IDXConfigServer> asServer;
  EXPECT_EQ(CLGetNamedInstance(L"ConfigServer.Proxy", 0, IID_IDXConfigServer, asServer.PutVoid()), S_OK);
  CompPtr<IDXConfigSubscriptionProxy> asProxy;
  EXPECT_EQ(CLGetNamedInstance(L"ConfigServer.Proxy", 0, IID_IDXConfigSubscriptionProxy, asProxy.PutVoid()), S_OK);
  EXPECT_TRUE(asServer && asProxy);

  void* none = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(CLGetNamedInstance(L"ConfigServer.Proxy", 0, IID_IDXServiceClient, &none), E_NOINTERFACE);
  EXPECT_EQ(none, reinterpret_cast<void*>(0x1));
}

TEST_F(NamedInstanceTest, LookupFailuresAreClear) {
  CompPtr<IDXServiceClient> client;
  ASSERT_EQ(CLCreateServiceClient(client.Put()), S_OK);
  ASSERT_EQ(CLRegisterNamedInstance(L"Core.ServiceClient", client.Get()), S_OK);
  void* out = nullptr;
  struct Case {
    const wchar_t* name;
    uint64_t reserved;
    void** out;
    HRESULT expected;
  } cases[] = {
      {L"core.serviceclient", 0, &out, CL_E_NOT_FOUND},  // names are case-sensitive
      {L"Core.ServiceClient ", 0, &out, CL_E_NOT_FOUND},
      {L"", 0, &out, CL_E_NOT_FOUND},
      {nullptr, 0, &out, E_INVALIDARG},
      {L"Core.ServiceClient", 1, &out, E_INVALIDARG},
      {L"Core.ServiceClient", 0, nullptr, E_INVALIDARG},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CLGetNamedInstance(c.name, c.reserved, IID_IDXServiceClient, c.out), c.expected)
        << (c.name ? c.name : L"(null)");
  }
  EXPECT_EQ(out, nullptr);
}

TEST_F(NamedInstanceTest, RegistrationHoldsOneReferenceUntilRevoked) {
  CompPtr<IDXServiceClient> client;
  ASSERT_EQ(CLCreateServiceClient(client.Put()), S_OK);
  EXPECT_EQ(client->AddRef(), 2u);
  EXPECT_EQ(client->Release(), 1u);

  ASSERT_EQ(CLRegisterNamedInstance(L"Core.ServiceClient", client.Get()), S_OK);
  EXPECT_EQ(client->AddRef(), 3u);
  client->Release();
  EXPECT_EQ(CLRegisterNamedInstance(L"Core.ServiceClient", client.Get()), CL_E_ALREADY_EXISTS);
  EXPECT_EQ(CLRegisterNamedInstance(L"", client.Get()), E_INVALIDARG);
  EXPECT_EQ(CLRegisterNamedInstance(L"X", nullptr), E_INVALIDARG);

  EXPECT_EQ(CLRevokeNamedInstance(L"Core.ServiceClient"), S_OK);
  EXPECT_EQ(client->AddRef(), 2u);
  client->Release();
  EXPECT_EQ(CLRevokeNamedInstance(L"Core.ServiceClient"), CL_E_NOT_FOUND);
  // The name is free again.
  EXPECT_EQ(CLRegisterNamedInstance(L"Core.ServiceClient", client.Get()), S_OK);
}

TEST_F(NamedInstanceTest, ExportIsReachableByNameAsAModuleLoadsIt) {
  KestrovaTest::LoadedLibrary library(L"ComponentsLib.dll");
  ASSERT_NE(library.Handle(), nullptr);
  const auto getNamedInstance = library.Export<PFN_CLGetNamedInstance>("CLGetNamedInstance");
  ASSERT_NE(getNamedInstance, nullptr);

  CompPtr<IDXServiceClient> client;
  ASSERT_EQ(CLCreateServiceClient(client.Put()), S_OK);
  ASSERT_EQ(CLRegisterNamedInstance(L"Core.ServiceClient", client.Get()), S_OK);
  CompPtr<IDXServiceClient> found;
  EXPECT_EQ(getNamedInstance(L"Core.ServiceClient", 0, IID_IDXServiceClient, found.PutVoid()), S_OK);
  EXPECT_EQ(found.Get(), client.Get());
}

TEST_F(NamedInstanceTest, HostObjectsFollowTheRootSlotOrder) {
  CompPtr<IDXConfigServer> server;
  ASSERT_EQ(CLCreateConfigServer(nullptr, 0, server.Put()), S_OK);
  // Slot 0 AddRef, 1 Release, 2 QueryInterface, called by position.
  using AddRefSlot = uint32_t (*)(void*);
  using QuerySlot = HRESULT (*)(void*, const GUID*, void**);
  void** table = *reinterpret_cast<void***>(server.Get());
  EXPECT_EQ(reinterpret_cast<AddRefSlot>(table[0])(server.Get()), 2u);
  EXPECT_EQ(reinterpret_cast<AddRefSlot>(table[1])(server.Get()), 1u);
  void* root = nullptr;
  EXPECT_EQ(reinterpret_cast<QuerySlot>(table[2])(server.Get(), &IID_IComponentObject, &root), S_OK);
  ASSERT_NE(root, nullptr);
  static_cast<IComponentObject*>(root)->Release();
  EXPECT_EQ(server->QueryInterface(IID_IComponentObject, nullptr), E_INVALIDARG);
}

}  // namespace
}  // namespace HostTest
