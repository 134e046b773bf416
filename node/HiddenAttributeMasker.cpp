#include "HiddenAttributeMasker.h"
#include "Sources/Common/Lifetime/NoDestroy.h"

#include "NodeTreeWalk.h"

#include "Sources/Common/ErrorHandling/ErrorReporting.h"
#include "Sources/Common/ErrorHandling/HRES.h"
#include "settings/GlobalSettings.h"

#include <vector>

namespace {

constexpr std::wstring_view kBlanks = L" \t\r\n";

// The pieces of text between separators, empty pieces skipped.
std::vector<std::wstring_view> SplitSkippingEmpty(std::wstring_view text, wchar_t separator) {
  std::vector<std::wstring_view> pieces;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(separator, start);
    if (end == std::wstring_view::npos) end = text.size();
    if (end > start) pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

std::wstring_view Trim(std::wstring_view text) {
  const size_t first = text.find_first_not_of(kBlanks);
  if (first == std::wstring_view::npos) return {};
  const size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

}  // namespace

const CHiddenAttributeMasker& CHiddenAttributeMasker::Instance() {
  // A constructor that raises leaves the static unbuilt, so the next call
  // reads the setting again.
  static const NoDestroy<CHiddenAttributeMasker> instance(FromGlobalSettings());
  return instance.Get();
}

CHiddenAttributeMasker CHiddenAttributeMasker::FromGlobalSettings() {
  std::wstring setting;
  if (!GlobalSettings::Instance().TryReadSetting(kSettingsSection, kSettingKey, setting)) setting.clear();
  return CHiddenAttributeMasker(setting);
}

CHiddenAttributeMasker::CHiddenAttributeMasker(std::wstring_view setting) {
  for (const std::wstring_view item : SplitSkippingEmpty(setting, L';')) {
    const std::vector<std::wstring_view> parts = SplitSkippingEmpty(item, L':');
    if (parts.size() != 2) {
      ThrowHr(ReportError(E_INVALIDARG, L" Malformed HiddenNodeTypeAttrs item '" + std::wstring(item) + L"'."));
    }
    std::set<std::wstring> names;
    for (const std::wstring_view name : SplitSkippingEmpty(parts[1], L',')) {
      const std::wstring_view trimmed = Trim(name);
      if (!trimmed.empty()) names.emplace(trimmed);
    }
    if (names.empty()) continue;
    m_hidden[std::wstring(Trim(parts[0]))].merge(names);
  }
}

const std::set<std::wstring>* CHiddenAttributeMasker::HiddenAttributes(const std::wstring& type) const {
  const auto found = m_hidden.find(type);
  return found != m_hidden.end() ? &found->second : nullptr;
}

DXNodePtr CHiddenAttributeMasker::MaskedCopy(const DXNodePtr& node, uint32_t depth) const {
  if (m_hidden.empty() || !node) return node;
  const std::set<std::wstring>* const anyType = HiddenAttributes(kAnyType);
  // With "*" as the only key the node types need not be read.
  const bool byType = m_hidden.size() > (anyType != nullptr ? 1u : 0u);

  DXNodePtr copy;
  const auto maskListed = [&](const std::set<std::wstring>* names, const DXNodePtr& visited,
                              const NodeUtils::NodePosition& position, DXNodePtr& target) {
    if (names == nullptr) return;
    for (const std::wstring& name : *names) {
      if (!visited.HasAttribute(name.c_str())) continue;
      if (!copy) copy = node.Clone(depth);
      // The copy has the shape of the walked tree, so the visited node's
      // position leads to its copy, whatever the names along the way.
      if (!target) target = NodeUtils::NodeAtPosition(copy, position);
      if (!target) ThrowHr(E_UNEXPECTED);
      target.SetString(name.c_str(), kMaskText);
    }
  };
  NodeUtils::WalkNodeTree(
      node, depth,
      [&](const DXNodePtr& visited, const NodeUtils::NodePosition& position) {
        DXNodePtr target;
        if (byType) maskListed(HiddenAttributes(visited.GetType()), visited, position, target);
        maskListed(anyType, visited, position, target);
        return true;
      },
      [](const DXNodePtr&, const NodeUtils::NodePosition&) { return true; });
  return copy ? copy : node;
}
