// The reference counting of a test double that implements one host or
// component interface: AddRef, Release (deleting at 0) and a QueryInterface
// that answers nothing, for doubles that are only ever called directly.
#pragma once

#include <Kestrova/ComponentInterfaces.h>

#include <atomic>
#include <cstdint>

namespace KestrovaTest {

template <typename Interface>
class CountedTestObject : public Interface {
 public:
  uint32_t AddRef() override { return ++m_references; }
  uint32_t Release() override {
    const uint32_t remaining = --m_references;
    if (remaining == 0) delete this;
    return remaining;
  }
  HRESULT QueryInterface(const GUID&, void**) override { return E_NOINTERFACE; }

 protected:
  virtual ~CountedTestObject() = default;

 private:
  std::atomic<uint32_t> m_references{1};
};

}  // namespace KestrovaTest
