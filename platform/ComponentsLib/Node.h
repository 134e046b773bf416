// Node: owns one handle to a DataLayer node; the typed reads and writes the
// library needs. Store failures are raised as HrFailure.
#pragma once

#include <Kestrova/DataLayer.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ComponentsLib {

// One attribute value exactly as stored.
struct RawAttribute {
  uint16_t type = 0;
  std::vector<uint8_t> bytes;

  friend bool operator==(const RawAttribute&, const RawAttribute&) = default;
};

class Node {
 public:
  Node() noexcept = default;
  // Takes over a handle the caller owns.
  static Node Adopt(IDXNode* handle) noexcept { return Node(handle); }
  // A second handle to the node; a null handle gives an empty Node.
  static Node Share(IDXNode* handle);
  static Node Create(const wchar_t* name, const wchar_t* type);

  Node(const Node& other);
  Node(Node&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}
  Node& operator=(Node other) noexcept {
    std::swap(m_handle, other.m_handle);
    return *this;
  }
  ~Node();

  IDXNode* Get() const noexcept { return m_handle; }
  explicit operator bool() const noexcept { return m_handle != nullptr; }
  // Hands the handle to the caller.
  [[nodiscard]] IDXNode* Detach() noexcept { return std::exchange(m_handle, nullptr); }
  IDXNode** Put() noexcept;

  // Name and type read as text; a node without one reads as empty.
  std::wstring Name() const;
  std::wstring Type() const;
  void SetType(const wchar_t* type);

  uint32_t ChildCount() const;
  Node Child(uint32_t index) const;
  // Empty when there is no child of that name.
  Node FindChild(const std::wstring& name) const;
  void AddChild(const Node& child);
  void RemoveChild(const Node& child);

  std::vector<std::wstring> AttributeNames() const;
  std::optional<RawAttribute> GetRaw(const wchar_t* name) const;
  void SetRaw(const wchar_t* name, const RawAttribute& value);

  // Typed reads: nullopt when absent; an attribute of another type fails
  // with E_INVALIDARG (64-bit reads also take 32-bit values).
  std::optional<std::wstring> GetText(const wchar_t* name) const;
  std::optional<int64_t> GetInteger(const wchar_t* name) const;
  std::optional<bool> GetBool(const wchar_t* name) const;
  void SetText(const wchar_t* name, const std::wstring& value);
  void SetInt64(const wchar_t* name, int64_t value);
  void SetBool(const wchar_t* name, bool value);

  // Parentless copy: depth 0 the node alone, DXN_DEPTH_SUBTREE everything,
  // other depths that many levels of children.
  Node CopyToDepth(uint32_t depth) const;

 private:
  explicit Node(IDXNode* handle) noexcept : m_handle(handle) {}
  IDXNode* Checked() const;

  IDXNode* m_handle = nullptr;
};

}  // namespace ComponentsLib
