#include "FaultInjector.h"

namespace ComponentsLib {

FaultInjector::FaultInjector(std::initializer_list<CLOperation> operations) {
  for (const CLOperation operation : operations) m_states.emplace(operation, State{});
}

HRESULT FaultInjector::Set(CLOperation operation, const CLFault* fault) {
  std::lock_guard lock(m_lock);
  const auto found = m_states.find(operation);
  if (found == m_states.end()) return E_INVALIDARG;
  if (fault != nullptr && fault->mode > CLFault_AfterCalls) return E_INVALIDARG;
  found->second.fault = fault != nullptr ? *fault : CLFault{CLFault_Off, 0, S_OK, 0};
  found->second.passed = 0;
  return S_OK;
}

void FaultInjector::Clear() {
  std::lock_guard lock(m_lock);
  for (auto& [operation, state] : m_states) state.fault = CLFault{CLFault_Off, 0, S_OK, 0};
}

HRESULT FaultInjector::CallCount(CLOperation operation, uint32_t* count) const {
  if (count == nullptr) return E_POINTER;
  std::lock_guard lock(m_lock);
  const auto found = m_states.find(operation);
  if (found == m_states.end()) return E_INVALIDARG;
  *count = found->second.calls;
  return S_OK;
}

HRESULT FaultInjector::OnCall(CLOperation operation) {
  CLFault fired{};
  {
    std::lock_guard lock(m_lock);
    const auto found = m_states.find(operation);
    if (found == m_states.end()) return S_OK;
    State& state = found->second;
    ++state.calls;
    switch (state.fault.mode) {
      case CLFault_Off:
        return S_OK;
      case CLFault_Always:
        break;
      case CLFault_NextCalls:
        if (state.fault.count == 0) return S_OK;
        if (--state.fault.count == 0) state.fault.mode = CLFault_Off;
        break;
      case CLFault_AfterCalls:
        if (state.passed < state.fault.count) {
          ++state.passed;
          return S_OK;
        }
        break;
    }
    fired = state.fault;
  }
  if (fired.delayMs != 0) ::Sleep(fired.delayMs);
  return fired.result;
}

}  // namespace ComponentsLib
