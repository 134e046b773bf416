// FaultInjector: per-operation faults that the host sets on an object; the
// object asks it at the start of each call.
#pragma once

#include <Kestrova/ComponentsLib.h>

#include <initializer_list>
#include <map>
#include <mutex>

namespace ComponentsLib {

class FaultInjector {
 public:
  // The operations the owning object performs; others are refused.
  explicit FaultInjector(std::initializer_list<CLOperation> operations);

  HRESULT Set(CLOperation operation, const CLFault* fault);
  void Clear();
  HRESULT CallCount(CLOperation operation, uint32_t* count) const;

  // Counts the call; when a fault fires, waits its delay and returns its
  // result (a success code means: go on). S_OK when nothing fires.
  HRESULT OnCall(CLOperation operation);

 private:
  struct State {
    CLFault fault{CLFault_Off, 0, S_OK, 0};
    uint32_t calls = 0;
    uint32_t passed = 0;  // calls let through while an "after" fault counts down
  };

  mutable std::mutex m_lock;
  std::map<CLOperation, State> m_states;
};

// Implemented by the objects that carry a FaultInjector; found by
// QueryInterface with its private id.
struct IFaultTarget : IComponentObject {
  // {2C9F6B0E-7A51-4C34-9E0B-5D2E8F4A1C73}
  static constexpr GUID Iid{0x2C9F6B0E, 0x7A51, 0x4C34, {0x9E, 0x0B, 0x5D, 0x2E, 0x8F, 0x4A, 0x1C, 0x73}};
  virtual FaultInjector& Faults() = 0;

 protected:
  ~IFaultTarget() = default;
};

}  // namespace ComponentsLib
