// DXNodePtr: owns one handle to a node of the node store and turns the
// store's HRESULT calls into typed operations that raise HRX on failure.
// Absence is HRESULT_FROM_WIN32(ERROR_NOT_FOUND), 0x80070490.
#pragma once

#include "TextBuffer.h"

#include <Kestrova/DataLayer.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class DXNodePtr {
 public:
  // Store attribute type codes.
  enum AttributeType : uint16_t {
    kTypeNone = DXN_TYPE_NONE,
    kTypeText = DXN_TYPE_TEXT,
    kTypeInt32 = DXN_TYPE_INT32,
    kTypeInt64 = DXN_TYPE_INT64,
    kTypeBool = DXN_TYPE_BOOL,
    kTypeBinary = DXN_TYPE_BINARY,
    kTypeTextList = DXN_TYPE_TEXT_LIST,
  };
  static constexpr uint32_t kWholeSubtree = DXN_DEPTH_SUBTREE;
  static constexpr uint32_t kMeasureText = 0xFFFFFFFFu;

  enum class Handle { Adopt, Duplicate };

  DXNodePtr() noexcept = default;
  // Adopts the caller's handle or duplicates it; a null handle gives an empty wrapper.
  DXNodePtr(IDXNode* handle, Handle ownership);
  DXNodePtr(const DXNodePtr& other);
  DXNodePtr(DXNodePtr&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}
  DXNodePtr& operator=(const DXNodePtr& other);
  DXNodePtr& operator=(DXNodePtr&& other) noexcept;
  ~DXNodePtr() { Reset(); }

  explicit operator bool() const noexcept { return m_handle != nullptr; }
  IDXNode* Get() const noexcept { return m_handle; }
  // Closes the current handle and gives the field's address for a store
  // function to write a new handle into.
  IDXNode** Out() noexcept {
    Reset();
    return &m_handle;
  }
  // Gives the handle up without closing it.
  IDXNode* Detach() noexcept { return std::exchange(m_handle, nullptr); }
  void Reset() noexcept;

  static DXNodePtr Create(const wchar_t* name, const wchar_t* type);
  // A parentless copy: depth 0 copies the node alone, kWholeSubtree the subtree.
  DXNodePtr Clone(uint32_t depth = kWholeSubtree, uint32_t flags = 0) const;
  void EnsureValid() const;

  // Never raise: a failing read gives the empty text.
  std::wstring GetName(uint32_t form = DXN_NAME_FORM_NAME) const noexcept;
  std::wstring GetPath() const noexcept { return GetName(DXN_NAME_FORM_FULL_PATH); }
  std::wstring GetType() const noexcept;
  // The same into a buffer: no string is made for a short name or type.
  void ReadName(TextBuffer& name) const noexcept;
  void ReadType(TextBuffer& type) const noexcept;
  void SetType(const wchar_t* type) const;

  uint32_t GetChildCount() const;
  // Absent and not required: an empty wrapper. Absent and required: not found.
  DXNodePtr GetChild(uint32_t index, bool required = true) const;
  DXNodePtr GetChild(const wchar_t* name, bool required = true) const;
  DXNodePtr GetChild(const std::wstring& name, bool required = true) const { return GetChild(name.c_str(), required); }
  // Empty for a topmost node.
  DXNodePtr GetParent() const;
  void AddChild(const DXNodePtr& child) const;
  void RemoveChild(const DXNodePtr& child) const;
  // Reads the count once and visits children 0..count-1, each as a fresh wrapper.
  template <typename Visitor>
  void ForEachChild(Visitor&& visitor) const {
    const uint32_t count = GetChildCount();
    for (uint32_t index = 0; index < count; ++index) visitor(GetChild(index));
  }

  bool HasAttribute(const wchar_t* name) const;
  // In store order; empty when there are none or the read fails.
  std::vector<std::wstring> GetAttributeNames() const noexcept;
  // A null name deletes every attribute; when not required, absence is ignored.
  void DeleteAttribute(const wchar_t* name, bool required = true) const;
  uint16_t GetAttributeType(const wchar_t* name) const;
  // The actual type without reading the value; false when absent.
  bool TryGetAttributeType(const wchar_t* name, uint16_t& type) const;

  void SetString(const wchar_t* name, const wchar_t* text, uint32_t length = kMeasureText) const;
  // The text's own NUL goes to the store: no copy.
  void SetString(const wchar_t* name, TerminatedText text) const { SetTerminatedText(name, text.c_str(), text.size()); }
  void SetInt64(const wchar_t* name, int64_t value) const;
  void SetBool(const wchar_t* name, bool value) const;
  void SetBinary(const wchar_t* name, const void* data, uint32_t size) const;
  void SetStringList(const wchar_t* name, const std::vector<std::wstring>& texts) const;
  // A list already packed: each text followed by a NUL; empty for no text.
  void SetPackedStringList(const wchar_t* name, std::wstring_view packed) const;

  // Text (or a number or boolean, which the store reads as text). One store
  // call while the value fits a small stack buffer.
  bool TryGetString(const wchar_t* name, std::wstring& text) const;
  bool TryGetStringList(const wchar_t* name, std::vector<std::wstring>& texts) const;
  // A value that reads as text, in one store call for a short text: a text
  // (its NUL dropped) with isList false, or the packed texts of a list with
  // isList true (SplitStringList takes them apart). False when absent.
  bool TryGetTextOrList(const wchar_t* name, std::wstring& value, bool& isList) const;
  // The same into a buffer: no string is made for a short value.
  bool TryReadTextOrList(const wchar_t* name, TextBuffer& value, bool& isList) const;
  // A packed list: no data is the empty list; otherwise the value less its
  // last NUL, split at each NUL ("\0" holds one empty text).
  static void SplitStringList(const std::wstring& packed, std::vector<std::wstring>& texts);
  // Each text of a packed list, in order, as a view into it.
  template <typename Visit>
  static void ForEachListText(std::wstring_view packed, Visit&& visit) {
    if (packed.empty()) return;
    const size_t end = packed.back() == L'\0' ? packed.size() - 1 : packed.size();
    for (size_t start = 0;;) {
      const size_t separator = packed.find(L'\0', start);
      if (separator == std::wstring_view::npos || separator >= end) {
        visit(packed.substr(start, end - start));
        return;
      }
      visit(packed.substr(start, separator - start));
      start = separator + 1;
    }
  }
  std::wstring GetString(const wchar_t* name) const;
  // The default when the attribute is absent or of type 0.
  std::wstring GetString(const wchar_t* name, const std::wstring& defaultText) const;
  bool TryGetInt64(const wchar_t* name, int64_t& value) const;
  bool TryGetInt32(const wchar_t* name, int32_t& value) const;
  bool TryGetBool(const wchar_t* name, bool& value) const;
  int64_t GetInt64(const wchar_t* name) const;
  bool GetBool(const wchar_t* name, bool defaultValue) const;

  // Any type, raw bytes into a growable buffer; false when absent. The
  // buffer may be an ordinary one or one that wipes what it frees.
  template <typename Allocator>
  static bool GetRawAttribute(const DXNodePtr& node, const wchar_t* name, std::vector<uint8_t, Allocator>& buffer,
                              uint16_t* type);

 private:
  // Reads a fixed-size value of exactly the given type into value; the store's
  // result, raised unless it is success or not found. actualType as the store reports it.
  HRESULT ReadFixed(const wchar_t* name, uint16_t type, void* value, uint32_t size, uint16_t& actualType) const;
  bool TryGetFixed(const wchar_t* name, uint16_t type, void* value, uint32_t size) const;
  // Present with an actual type of 0 counts as absent for the defaulted reads.
  bool HasTypedAttribute(const wchar_t* name) const;
  // text[length] is the text's NUL, which the store keeps.
  void SetTerminatedText(const wchar_t* name, const wchar_t* text, size_t length) const;

  IDXNode* m_handle = nullptr;
};

// Compares one attribute of two nodes: both absent is equal, one absent is
// unequal, else type, size and bytes must match. With kCompareTextNoCase in
// flags, two text values are compared as text, ignoring case.
inline constexpr uint32_t kCompareTextNoCase = 32;
bool AttributesEqual(const wchar_t* name, const DXNodePtr& a, const DXNodePtr& b, uint32_t flags = 0);

// Copies an attribute by type and bytes. With changed requested, an equal
// target is left alone and *changed tells whether a write happened. Absence
// of the source raises not found when required, else does nothing.
void CopyAttribute(const wchar_t* sourceName, const DXNodePtr& source, const wchar_t* targetName,
                   const DXNodePtr& target, std::vector<uint8_t>& scratch, bool* changed = nullptr,
                   bool required = true);
void CopyAttribute(const wchar_t* name, const DXNodePtr& source, const DXNodePtr& target, std::vector<uint8_t>& scratch,
                   bool* changed = nullptr, bool required = true);
