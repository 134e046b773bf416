// Hides configured attributes of nodes before they are printed: secrets held
// in configuration must never reach the log. The attributes to hide come
// from the "Logger" setting "HiddenNodeTypeAttrs": items separated by ";",
// each a node type, ":" and attribute names separated by ","; the type "*"
// stands for every type. Example: Item:A1,A2;*:A3.
#pragma once

#include "DXNodePtr.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>

class CHiddenAttributeMasker {
 public:
  static constexpr wchar_t kMaskText[] = L"********";
  static constexpr wchar_t kAnyType[] = L"*";
  static constexpr wchar_t kSettingsSection[] = L"Logger";
  static constexpr wchar_t kSettingKey[] = L"HiddenNodeTypeAttrs";

  // The process-wide masker, built from the global settings on first use
  // and kept until the module unloads. A build that fails (E_INVALIDARG for
  // a malformed setting) is not kept: every later call tries again and
  // raises again.
  static const CHiddenAttributeMasker& Instance();

  // Builds the map from a setting text; an empty text hides nothing. A
  // malformed item raises E_INVALIDARG.
  explicit CHiddenAttributeMasker(std::wstring_view setting);

  bool HidesNothing() const noexcept { return m_hidden.empty(); }
  // The names hidden on nodes of this type (exactly this key; "*" is its own key).
  const std::set<std::wstring>* HiddenAttributes(const std::wstring& type) const;

  // The node itself (a second handle) when no attribute within depth below
  // it is hidden; otherwise a copy to that depth with every hidden attribute
  // set to kMaskText. The given tree is never changed.
  DXNodePtr MaskedCopy(const DXNodePtr& node, uint32_t depth) const;

 private:
  static CHiddenAttributeMasker FromGlobalSettings();

  // Node type -> attribute names hidden on nodes of that type.
  std::map<std::wstring, std::set<std::wstring>, std::less<>> m_hidden;
};
