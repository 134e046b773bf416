// The reference host services of ComponentsLib.dll, registered the way a
// host registers them: a configuration server as "ConfigServer.Proxy" and a
// service client as "Core.ServiceClient" carrying a usage-statistics service
// as "Service.UsageStatistics". Revoked and released at the end, after
// which every object of the library must be gone.
#pragma once

#include "module/CompPtr.h"
#include "node/DXNodePtr.h"
#include "support/StoreWrites.h"

#include <Kestrova/ComponentsLib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace KestrovaTest {

class ReferenceServices {
 public:
  ReferenceServices() : m_liveAtStart(CLGetLiveObjectCount()) {
    EXPECT_EQ(CLCreateConfigServer(nullptr, 0, m_server.Put()), S_OK);
    EXPECT_EQ(CLCreateServiceClient(m_client.Put()), S_OK);
    EXPECT_EQ(CLCreateUsageStatisticsService(m_service.Put()), S_OK);
    EXPECT_EQ(CLServiceClientRegisterService(m_client.Get(), L"Service.UsageStatistics", m_service.Get()), S_OK);
    EXPECT_EQ(CLRegisterNamedInstance(L"ConfigServer.Proxy", m_server.Get()), S_OK);
    EXPECT_EQ(CLRegisterNamedInstance(L"Core.ServiceClient", m_client.Get()), S_OK);
  }
  ~ReferenceServices() {
    CLRevokeNamedInstance(L"ConfigServer.Proxy");
    CLRevokeNamedInstance(L"Core.ServiceClient");
    CLServiceClientRevokeService(m_client.Get(), L"Service.UsageStatistics");
    m_service.Reset();
    m_client.Reset();
    m_server.Reset();
    EXPECT_EQ(CLGetLiveObjectCount(), m_liveAtStart) << "objects of ComponentsLib leaked";
  }
  ReferenceServices(const ReferenceServices&) = delete;
  ReferenceServices& operator=(const ReferenceServices&) = delete;

  IDXConfigServer* Server() const { return m_server.Get(); }
  IDXRequestProcessor* Service() const { return m_service.Get(); }
  CompPtr<IDXRequestProcessor> ServicePtr() const { return m_service; }

  // Writes one node named by its full path (merged into the store).
  void Write(const DXNodePtr& node) const { ASSERT_EQ(KestrovaTest::WriteNode(m_server.Get(), node), S_OK); }
  void WriteSwitch(const std::wstring& path, bool enabled) const {
    ASSERT_EQ(KestrovaTest::WriteSwitch(m_server.Get(), path.c_str(), enabled), S_OK);
  }
  // The stored node with its subtree; empty when absent.
  DXNodePtr Read(const std::wstring& path) const {
    const DXNodePtr filter = DXNodePtr::Create(nullptr, L"FilterByPath");
    filter.SetString(L"NodePath", path);
    filter.SetBool(L"IsParent", false);
    filter.SetInt64(L"MaxDepth", 2147483647);
    IDXNode* result = nullptr;
    uint32_t count = 0;
    EXPECT_EQ(m_server->ReadNodes(filter.Get(), 0, &result, 1, &count), S_OK);
    return DXNodePtr(result, DXNodePtr::Handle::Adopt);
  }
  // Waits until every notification queued by the server was delivered.
  void WaitIdle() const { EXPECT_EQ(CLConfigServerWaitIdle(m_server.Get(), 5000), S_OK); }
  uint32_t SubscriptionCount() const {
    uint32_t count = 0;
    EXPECT_EQ(CLConfigServerGetSubscriptionCount(m_server.Get(), &count), S_OK);
    return count;
  }

  void SetServiceFault(CLFaultMode mode, uint32_t count, HRESULT result, uint32_t delayMs = 0) const {
    const CLFault fault{mode, count, result, delayMs};
    ASSERT_EQ(CLSetFault(m_service.Get(), CLOp_ServiceProcessRequest, &fault), S_OK);
  }
  void SetServerFault(CLOperation operation, CLFaultMode mode, uint32_t count, HRESULT result,
                      uint32_t delayMs = 0) const {
    const CLFault fault{mode, count, result, delayMs};
    ASSERT_EQ(CLSetFault(m_server.Get(), operation, &fault), S_OK);
  }
  void ClearFaults() const {
    CLClearFaults(m_service.Get());
    CLClearFaults(m_server.Get());
  }
  uint32_t ServiceCalls() const {
    uint32_t count = 0;
    EXPECT_EQ(CLGetCallCount(m_service.Get(), CLOp_ServiceProcessRequest, &count), S_OK);
    return count;
  }

  uint32_t FrameCount() const {
    uint32_t count = 0;
    EXPECT_EQ(CLUsageStatisticsGetFrameCount(m_service.Get(), &count), S_OK);
    return count;
  }
  bool WaitForFrames(uint32_t count, uint32_t timeoutMs = 10000) const {
    return CLUsageStatisticsWaitForFrames(m_service.Get(), count, timeoutMs) == S_OK;
  }
  std::vector<DXNodePtr> Frames() const {
    std::vector<DXNodePtr> frames;
    const uint32_t count = FrameCount();
    for (uint32_t index = 0; index < count; ++index) {
      IDXNode* frame = nullptr;
      EXPECT_EQ(CLUsageStatisticsGetFrame(m_service.Get(), index, &frame), S_OK);
      frames.emplace_back(frame, DXNodePtr::Handle::Adopt);
    }
    return frames;
  }

 private:
  uint32_t m_liveAtStart;
  CompPtr<IDXConfigServer> m_server;
  CompPtr<IDXServiceClient> m_client;
  CompPtr<IDXRequestProcessor> m_service;
};

// Polls condition every few milliseconds until it holds or time runs out.
inline bool WaitUntil(const std::function<bool()>& condition, uint32_t timeoutMs = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace KestrovaTest
