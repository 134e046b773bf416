// CompPtr<I>: holds one counted reference to a component or host interface
// (root slots 0 AddRef and 1 Release) and releases it when destroyed.
#pragma once

#include <Kestrova/ComponentInterfaces.h>

#include <cstddef>
#include <type_traits>
#include <utility>

template <typename I>
class CompPtr {
 public:
  using Interface = I;

  CompPtr() noexcept = default;
  CompPtr(std::nullptr_t) noexcept {}  // NOLINT(google-explicit-constructor): null converts freely

  // From a raw pointer: addReference true takes a reference of its own;
  // false attaches to the reference the caller hands over.
  explicit CompPtr(I* raw, bool addReference = true) noexcept : m_pointer(raw) {
    if (addReference) InternalAddRef();
  }

  CompPtr(const CompPtr& other) noexcept : m_pointer(other.m_pointer) { InternalAddRef(); }
  CompPtr(CompPtr&& other) noexcept : m_pointer(std::exchange(other.m_pointer, nullptr)) {}

  template <typename U, typename = std::enable_if_t<std::is_convertible_v<U*, I*>>>
  CompPtr(const CompPtr<U>& other) noexcept : m_pointer(other.Get()) {  // NOLINT: widening like a raw pointer
    InternalAddRef();
  }
  template <typename U, typename = std::enable_if_t<std::is_convertible_v<U*, I*>>>
  CompPtr(CompPtr<U>&& other) noexcept : m_pointer(other.Detach()) {}  // NOLINT

  ~CompPtr() { InternalRelease(); }

  CompPtr& operator=(const CompPtr& other) noexcept {
    CompPtr(other).Swap(*this);
    return *this;
  }
  CompPtr& operator=(CompPtr&& other) noexcept {
    CompPtr(std::move(other)).Swap(*this);
    return *this;
  }
  CompPtr& operator=(std::nullptr_t) noexcept {
    Reset();
    return *this;
  }

  I* Get() const noexcept { return m_pointer; }
  I* operator->() const noexcept { return m_pointer; }
  I& operator*() const noexcept { return *m_pointer; }
  explicit operator bool() const noexcept { return m_pointer != nullptr; }

  // Takes over a reference the caller owns; the old one is released.
  void Attach(I* raw) noexcept {
    I* old = std::exchange(m_pointer, raw);
    if (old != nullptr) old->Release();
  }
  // Hands the reference to the caller.
  [[nodiscard]] I* Detach() noexcept { return std::exchange(m_pointer, nullptr); }

  void Reset() noexcept { Attach(nullptr); }
  void Swap(CompPtr& other) noexcept { std::swap(m_pointer, other.m_pointer); }

  // Out-pointer access: releases the current reference and gives the field's
  // address, so that a call can store a new reference into it.
  I** Put() noexcept {
    Reset();
    return &m_pointer;
  }
  void** PutVoid() noexcept { return reinterpret_cast<void**>(Put()); }

  // A second reference for an out parameter; a null holder stores null.
  void CopyTo(I** out) const noexcept {
    InternalAddRef();
    *out = m_pointer;
  }

  // QueryInterface for another interface by its Iid.
  template <typename J>
  HRESULT As(CompPtr<J>& out) const noexcept {
    if (m_pointer == nullptr) return E_POINTER;
    CompPtr<J> result;
    const HRESULT hr = m_pointer->QueryInterface(J::Iid, result.PutVoid());
    if (SUCCEEDED(hr)) out = std::move(result);
    return hr;
  }

  friend bool operator==(const CompPtr& a, const CompPtr& b) noexcept { return a.m_pointer == b.m_pointer; }
  friend bool operator==(const CompPtr& a, std::nullptr_t) noexcept { return a.m_pointer == nullptr; }

 private:
  void InternalAddRef() const noexcept {
    if (m_pointer != nullptr) m_pointer->AddRef();
  }
  void InternalRelease() noexcept {
    if (I* old = std::exchange(m_pointer, nullptr); old != nullptr) old->Release();
  }

  I* m_pointer = nullptr;
};
