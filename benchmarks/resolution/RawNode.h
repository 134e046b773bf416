// The node store through its raw calls, for the benchmarks: one owned
// handle, creation and the few writes and reads the trees need. A failed
// store call ends the program with a message: a benchmark has no recovery.
#pragma once

#include <Kestrova/DataLayer.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace ResolutionBenchmark {

inline void Check(DxnResult result, const char* call) {
  if (result >= 0) return;
  std::fprintf(stderr, "%s failed: 0x%08X\n", call, static_cast<unsigned>(result));
  std::exit(1);
}

class RawNode {
 public:
  RawNode() noexcept = default;
  explicit RawNode(IDXNode* handle) noexcept : m_handle(handle) {}
  RawNode(RawNode&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}
  RawNode& operator=(RawNode&& other) noexcept {
    std::swap(m_handle, other.m_handle);
    return *this;
  }
  RawNode(const RawNode&) = delete;
  RawNode& operator=(const RawNode&) = delete;
  ~RawNode() {
    if (m_handle != nullptr) DxnCloseNodeHandle(m_handle);
  }

  static RawNode Create(const wchar_t* name, const wchar_t* type = nullptr) {
    RawNode node;
    Check(DxnCreateNode(name, type, &node.m_handle), "DxnCreateNode");
    return node;
  }

  IDXNode* Get() const noexcept { return m_handle; }
  IDXNode** Put() noexcept {
    *this = RawNode();
    return &m_handle;
  }

  // A new child, returned with a handle of its own.
  RawNode AddChild(const wchar_t* name, const wchar_t* type = nullptr) const {
    RawNode child = Create(name, type);
    Check(DxnAddChild(m_handle, child.Get()), "DxnAddChild");
    return child;
  }

  void SetText(const wchar_t* name, const std::wstring& text) const {
    Check(DxnSetAttribute(m_handle, name, DXN_TYPE_TEXT, text.c_str(),
                          static_cast<uint32_t>((text.size() + 1) * sizeof(wchar_t))),
          "DxnSetAttribute");
  }

  void SetTextList(const wchar_t* name, const std::vector<std::wstring>& texts) const {
    std::wstring packed;
    for (const std::wstring& text : texts) packed.append(text).push_back(L'\0');
    Check(DxnSetAttribute(m_handle, name, DXN_TYPE_TEXT_LIST, packed.data(),
                          static_cast<uint32_t>(packed.size() * sizeof(wchar_t))),
          "DxnSetAttribute");
  }

  void SetBool(const wchar_t* name, bool value) const {
    const uint8_t byte = value ? 1 : 0;
    Check(DxnSetAttribute(m_handle, name, DXN_TYPE_BOOL, &byte, 1), "DxnSetAttribute");
  }

  void SetInt32(const wchar_t* name, int32_t value) const {
    Check(DxnSetAttribute(m_handle, name, DXN_TYPE_INT32, &value, sizeof(value)), "DxnSetAttribute");
  }

 private:
  IDXNode* m_handle = nullptr;
};

}  // namespace ResolutionBenchmark
