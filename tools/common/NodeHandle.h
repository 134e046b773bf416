// One owned handle to a node of the node store, with the few reads the tool
// needs. Store failures raise ToolError (kExitFailure) naming the call.
#pragma once

#include <Kestrova/DataLayer.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace KestrovaTools {

struct AttributeValue {
  uint16_t type = DXN_TYPE_NONE;
  std::vector<uint8_t> bytes;
};

class NodeHandle {
 public:
  NodeHandle() noexcept = default;
  // Takes over a handle the caller owns.
  explicit NodeHandle(IDXNode* handle) noexcept : m_handle(handle) {}
  NodeHandle(NodeHandle&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}
  NodeHandle& operator=(NodeHandle&& other) noexcept;
  NodeHandle(const NodeHandle&) = delete;
  NodeHandle& operator=(const NodeHandle&) = delete;
  ~NodeHandle();

  IDXNode* Get() const noexcept { return m_handle; }
  // For out parameters: closes the current handle first.
  IDXNode** Put() noexcept;
  explicit operator bool() const noexcept { return m_handle != nullptr; }

  std::wstring Name() const;
  std::wstring Type() const;
  uint32_t ChildCount() const;
  NodeHandle Child(uint32_t index) const;
  std::vector<std::wstring> AttributeNames() const;
  AttributeValue Attribute(const std::wstring& name) const;

 private:
  IDXNode* m_handle = nullptr;
};

// Raises ToolError (kExitFailure) for a failed store call.
void CheckStoreCall(DxnResult result, const wchar_t* function);

}  // namespace KestrovaTools
