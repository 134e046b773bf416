// A usage-statistics service that refuses every third request: the host
// registers it under "Service.UsageStatistics" in place of the reference
// service, and it hands each request to that service after arming the
// service's own fault injection (CLFault_NextCalls, one call) for every
// third one. So the failures come from ComponentsLib.dll itself, at an exact
// rate that none of its fault modes gives alone.
#pragma once

#include "module/CompPtr.h"

#include <Kestrova/ComponentsLib.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace KestrovaStress {

class EveryThirdRequestFails final : public IDXRequestProcessor {
 public:
  explicit EveryThirdRequestFails(CompPtr<IDXRequestProcessor> service) : m_service(std::move(service)) {}

  uint32_t AddRef() override { return ++m_references; }
  uint32_t Release() override {
    const uint32_t left = --m_references;
    if (left == 0) delete this;
    return left;
  }
  HRESULT QueryInterface(const GUID& iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (iid != IID_IComponentObject && iid != IID_IDXRequestProcessor) return E_NOINTERFACE;
    *out = static_cast<IDXRequestProcessor*>(this);
    AddRef();
    return S_OK;
  }

  HRESULT ProcessRequest(IDXNode* request, IDXNode** result) override {
    // One request at a time, so the armed fault is this request's.
    const std::lock_guard lock(m_lock);
    const uint64_t call = ++m_calls;
    if (m_failing.load() && call % 3 == 0) {
      const CLFault once{CLFault_NextCalls, 1, E_FAIL, 0};
      CLSetFault(m_service.Get(), CLOp_ServiceProcessRequest, &once);
      ++m_refused;
    }
    return m_service->ProcessRequest(request, result);
  }

  // Off: every request goes through.
  void SetFailing(bool failing) { m_failing = failing; }
  uint64_t Calls() const { return m_calls.load(); }
  uint64_t Refused() const { return m_refused.load(); }

 private:
  ~EveryThirdRequestFails() = default;

  CompPtr<IDXRequestProcessor> m_service;
  std::atomic<uint32_t> m_references{1};
  std::mutex m_lock;
  std::atomic<bool> m_failing{true};
  std::atomic<uint64_t> m_calls{0};
  std::atomic<uint64_t> m_refused{0};
};

}  // namespace KestrovaStress
