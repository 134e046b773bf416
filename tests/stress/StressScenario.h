// What the load suites of the maintainer share: the reference services
// registered as a host registers them (the service behind
// EveryThirdRequestFails), the nodes of StressNodes.h, and a maintainer of
// Kestrova.dll created by class id.
#pragma once

#include "EveryThirdRequestFails.h"
#include "StressNodes.h"

#include "node/DXNodePtr.h"
#include "runtime/RuntimeTestSupport.h"
#include "support/StoreWrites.h"

#include <Kestrova/ComponentInterfaces.h>
#include <Kestrova/ComponentsLib.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace KestrovaStress {


// The module's log in a folder of this program, at WARN: failures and the
// storage warnings, without the per-notification debug dumps.
class ModuleLog {
 public:
  ModuleLog() {
    ::SetEnvironmentVariableW(L"GS_Logger_Path", m_folder.Path().c_str());
    ::SetEnvironmentVariableW(L"GS_Logger_MaxSeverity", L"WARN");
    ::SetEnvironmentVariableW(L"GS_Logger_KeepOpenInterval", L"0");
  }
  std::wstring Text() const { return RuntimeTest::ReadUtf16File(m_folder / L"Kestrova.log"); }

 private:
  RuntimeTest::TempDirectory m_folder;
};

class Services {
 public:
  Services() {
    EXPECT_EQ(CLCreateConfigServer(nullptr, 0, m_server.Put()), S_OK);
    EXPECT_EQ(CLCreateServiceClient(m_client.Put()), S_OK);
    EXPECT_EQ(CLCreateUsageStatisticsService(m_service.Put()), S_OK);
    m_failing.Attach(new EveryThirdRequestFails(m_service));
    EXPECT_EQ(CLServiceClientRegisterService(m_client.Get(), L"Service.UsageStatistics", m_failing.Get()), S_OK);
    EXPECT_EQ(CLRegisterNamedInstance(L"ConfigServer.Proxy", m_server.Get()), S_OK);
    EXPECT_EQ(CLRegisterNamedInstance(L"Core.ServiceClient", m_client.Get()), S_OK);
  }
  ~Services() {
    CLRevokeNamedInstance(L"ConfigServer.Proxy");
    CLRevokeNamedInstance(L"Core.ServiceClient");
    CLServiceClientRevokeService(m_client.Get(), L"Service.UsageStatistics");
  }
  Services(const Services&) = delete;
  Services& operator=(const Services&) = delete;

  IDXConfigServer* Server() const { return m_server.Get(); }
  IComponentObject* Service() const { return m_service.Get(); }
  EveryThirdRequestFails& Failing() const { return *m_failing.Get(); }
  // Every request refused (true) or none (false), by the service's own fault injection.
  void RefuseAll(bool refuse) const {
    const CLFault fault{refuse ? CLFault_Always : CLFault_Off, 0, E_FAIL, 0};
    EXPECT_EQ(CLSetFault(m_service.Get(), CLOp_ServiceProcessRequest, &fault), S_OK);
  }
  // Every request accepted, each after delayMs (0: at once).
  void DelayEachRequest(uint32_t delayMs) const {
    const CLFault fault{delayMs != 0 ? CLFault_Always : CLFault_Off, 0, S_OK, delayMs};
    EXPECT_EQ(CLSetFault(m_service.Get(), CLOp_ServiceProcessRequest, &fault), S_OK);
  }

  void Write(const DXNodePtr& node) const { ASSERT_EQ(KestrovaTest::WriteNode(m_server.Get(), node), S_OK); }
  uint32_t FrameCount() const {
    uint32_t count = 0;
    CLUsageStatisticsGetFrameCount(m_service.Get(), &count);
    return count;
  }
  DXNodePtr Frame(uint32_t index) const {
    IDXNode* frame = nullptr;
    EXPECT_EQ(CLUsageStatisticsGetFrame(m_service.Get(), index, &frame), S_OK);
    return DXNodePtr(frame, DXNodePtr::Handle::Adopt);
  }

 private:
  CompPtr<IDXConfigServer> m_server;
  CompPtr<IDXServiceClient> m_client;
  CompPtr<IDXRequestProcessor> m_service;
  CompPtr<EveryThirdRequestFails> m_failing;
};

// The item nodes the notifications change, written to the store.
inline void WriteItems(const Services& services, int threads) {
  for (int thread = 0; thread < threads; ++thread) {
    const DXNodePtr node =
        DXNodePtr::Create((std::wstring(kItemsPath) + L"\\" + ItemName(thread)).c_str(), L"StressItem");
    node.SetString(L"Seq", L"0");
    services.Write(node);
  }
}

// One maintainer of Kestrova.dll, created by class id.
struct Maintainer {
  CompPtr<IConfigurableComponent> configurable;
  CompPtr<IShutdownableComponent> shutdown;
  CompPtr<IUsageActivityProcessor> processor;

  explicit Maintainer(IComponentsModule* module) {
    EXPECT_EQ(
        module->CreateInstance(CLSID_ConfigSnapshotsMaintainer, IID_IConfigurableComponent, configurable.PutVoid()),
        S_OK);
    EXPECT_EQ(configurable.As(shutdown), S_OK);
    EXPECT_EQ(configurable.As(processor), S_OK);
  }
};

}  // namespace KestrovaStress
