// WipingAllocator<T>: a standard allocator that overwrites memory with zeros
// (SecureZeroMemory, which the compiler may not remove) before it gives it
// back, so that plaintext, key material and decrypted values do not linger in
// freed heap blocks, also when a vector grows and moves its contents.
#pragma once

#include <windows.h>

#include <cstddef>
#include <new>
#include <string>

template <typename T>
struct WipingAllocator {
  using value_type = T;

  WipingAllocator() noexcept = default;
  template <typename U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}  // NOLINT: rebinding

  T* allocate(std::size_t count) { return static_cast<T*>(::operator new(count * sizeof(T))); }
  void deallocate(T* block, std::size_t count) noexcept {
    ::SecureZeroMemory(block, count * sizeof(T));
    ::operator delete(block);
  }

  template <typename U>
  bool operator==(const WipingAllocator<U>&) const noexcept {
    return true;
  }
};

// Zeros a text's characters in place (for key texts held in std::string).
inline void WipeText(std::string& text) noexcept {
  if (!text.empty()) ::SecureZeroMemory(text.data(), text.size());
}
