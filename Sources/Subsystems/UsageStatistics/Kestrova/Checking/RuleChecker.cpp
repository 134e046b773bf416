#include "RuleChecker.h"

#include "NameHint.h"
#include "SettingReader.h"
#include "SourceChecker.h"

#include "Sources/Subsystems/UsageStatistics/Kestrova/CompiledSource.h"
#include "Sources/Subsystems/UsageStatistics/Kestrova/RuleNestingGuard.h"

#include "Sources/Common/ErrorHandling/HRES.h"
#include "node/NodeErrors.h"
#include "node/NodePaths.h"

#include <algorithm>
#include <vector>

namespace UsageStatistics::Checking {

namespace {

constexpr wchar_t kNodeSubject[] = L"node";

std::vector<std::wstring_view> KindNames(std::span<const KindRule> kinds) {
  std::vector<std::wstring_view> names;
  for (const KindRule& kind : kinds) names.push_back(kind.type);
  return names;
}

std::vector<std::wstring_view> SettingNames(const KindRule& kind, std::span<const wchar_t* const> extraSettings) {
  std::vector<std::wstring_view> names;
  for (const SettingRule& setting : kind.settings) names.push_back(setting.name);
  for (const wchar_t* extra : extraSettings) names.push_back(extra);
  return names;
}

std::wstring QuotedList(std::span<const KindRule> kinds) {
  std::wstring list;
  for (const KindRule& kind : kinds) list += (list.empty() ? L"" : L", ") + RuleChecker::Quoted(kind.type);
  return list;
}

// Why a type the engine does not know is not known. Only the type selects
// the kind: a node named after a kind is no such node.
std::wstring UnknownTypeText(const wchar_t* what, const DXNodePtr& node, std::span<const KindRule> kinds,
                             std::span<const KindRule> otherKinds, const wchar_t* otherWhat) {
  const std::wstring type = node.GetType();
  std::wstring text =
      type.empty() ? L"the node has no type" : std::wstring(L"unknown ") + what + L" type " + RuleChecker::Quoted(type);
  if (const KindRule* named = FindKind(kinds, node.GetName()); named != nullptr && type != named->type) {
    return text + L"; its name is " + RuleChecker::Quoted(named->type) + L", but only the type selects the kind";
  }
  if (type.empty()) return text + L"; " + what + L" types: " + QuotedList(kinds);
  if (const KindRule* kind = FindKindIgnoringCase(kinds, type)) {
    return text + L": differs from " + RuleChecker::Quoted(kind->type) +
           L" only in letter case, and types are compared with letter case";
  }
  if (FindKindIgnoringCase(otherKinds, type) != nullptr) return text + L": " + otherWhat;
  return text + NameHint::Suggest(type, KindNames(kinds));
}

bool StartsWithWildcard(std::wstring_view source) {
  const CompiledSource compiled{std::wstring(source)};
  const auto steps = compiled.Path().Steps();
  return !steps.empty() &&
         (steps.front().kind == SourceStep::Kind::AnyChild || steps.front().kind == SourceStep::Kind::AnyDescendant);
}

}  // namespace

std::wstring RuleChecker::Quoted(std::wstring_view text) { return L"\"" + std::wstring(text) + L"\""; }

std::wstring RuleChecker::NodeLabel(const DXNodePtr& node, uint32_t index) {
  std::wstring name = node.GetName();
  if (!name.empty()) return name;
  return node.GetType() + L"[" + std::to_wstring(index) + L"]";
}

std::wstring RuleChecker::ChildPath(const std::wstring& parentPath, const DXNodePtr& child, uint32_t index) {
  return parentPath + NodePaths::kSeparator + NodeLabel(child, index);
}

void RuleChecker::CheckRuleList(const DXNodePtr& rules) { CheckEntries(rules, NodeLabel(rules, 0)); }

void RuleChecker::CheckEntries(const DXNodePtr& parent, const std::wstring& path) {
  uint32_t index = 0;
  parent.ForEachChild([&](const DXNodePtr& child) {
    CheckEntry(child, ChildPath(path, child, index));
    ++index;
  });
}

bool RuleChecker::EnterNesting(const std::wstring& path) {
  // The factory counts every entry and condition it builds inside another;
  // the level past the bound fails Initialize, and nothing below it is read.
  if (m_nesting >= CRuleNestingGuard::kMaxDepth) {
    m_report.AddError(path, kNodeSubject, NodeErrors::kInvalidData,
                      L"rules and conditions nested deeper than " + std::to_wstring(CRuleNestingGuard::kMaxDepth) +
                          L" levels; the engine refuses the rule set");
    return false;
  }
  ++m_nesting;
  return true;
}

void RuleChecker::CheckEntry(const DXNodePtr& entry, const std::wstring& path) {
  if (!EnterNesting(path)) return;
  const NestingExit exit(m_nesting);
  const std::wstring type = entry.GetType();
  if (const KindRule* kind = FindKind(EntryKinds(), type)) {
    CheckNode(entry, path, *kind, {});
    return;
  }
  m_report.AddError(path, kNodeSubject, kUnknownEntryTypeHr,
                    UnknownTypeText(L"entry", entry, EntryKinds(), ConditionKinds(),
                                    L"a condition type; conditions belong under the \"Condition\" of an \"If\""));
  // Only a slip of letter case says what the node was meant to be: the rest
  // of it is checked as that kind, so that one run finds everything.
  if (const KindRule* kind = FindKindIgnoringCase(EntryKinds(), type)) CheckNode(entry, path, *kind, {});
}

void RuleChecker::CheckEntryAs(const DXNodePtr& entry, const std::wstring& path, const KindRule& kind,
                               std::span<const wchar_t* const> extraSettings) {
  CheckNode(entry, path, kind, extraSettings);
}

void RuleChecker::CheckCondition(const DXNodePtr& condition, const std::wstring& path) {
  if (!EnterNesting(path)) return;
  const NestingExit exit(m_nesting);
  const std::wstring type = condition.GetType();
  if (const KindRule* kind = FindKind(ConditionKinds(), type)) {
    CheckNode(condition, path, *kind, {});
    return;
  }
  m_report.AddError(path, kNodeSubject, kInvalidConditionHr,
                    UnknownTypeText(L"condition", condition, ConditionKinds(), EntryKinds(),
                                    L"an entry type; a condition is an \"OrCondition\", \"AndCondition\" or "
                                    L"\"CaseCondition\""));
  if (const KindRule* kind = FindKindIgnoringCase(ConditionKinds(), type)) CheckNode(condition, path, *kind, {});
}

void RuleChecker::CheckNode(const DXNodePtr& node, const std::wstring& path, const KindRule& kind,
                            std::span<const wchar_t* const> extraSettings) {
  // The constructor reads the settings, then builds what is nested.
  CheckSettings(node, path, kind, extraSettings);
  if (std::wstring_view(kind.type) == L"UsageActivityItemsSet") CheckSetSelection(node, path);
  switch (kind.nested) {
    case NestedNodes::Ignored:
      WarnIgnoredChildren(node, path, kind);
      break;
    case NestedNodes::Entries:
      CheckEntries(node, path);
      break;
    case NestedNodes::IfParts:
      CheckIfParts(node, path);
      break;
    case NestedNodes::Conditions:
      CheckConditions(node, path, kind);
      break;
  }
}

void RuleChecker::CheckSettings(const DXNodePtr& node, const std::wstring& path, const KindRule& kind,
                                std::span<const wchar_t* const> extraSettings) {
  for (const SettingRule& setting : kind.settings) {
    const std::wstring subject = Quoted(setting.name);
    const SettingValue value = SettingReader::Read(node, setting.name, setting.read);
    if (FAILED(value.failure)) {
      m_report.AddError(path, subject, value.failure,
                        SettingReader::FailureText(node, setting.name, setting.read, value.failure));
      continue;
    }
    if (setting.read == SettingRead::ItemType && (value.number < 0 || value.number > kMaxItemType)) {
      m_report.AddResolutionError(path, subject, kInvalidItemTypeHr,
                                  L"item type " + std::to_wstring(value.number) +
                                      L" is none of 0, 1, 2; every resolution that reaches this item fails");
    }
    // A default is not a source the author wrote.
    if (value.present) SourceChecker::Check(value.text, setting.use, path, subject, m_report);
  }
  const std::vector<std::wstring_view> known = SettingNames(kind, extraSettings);
  for (const std::wstring& name : node.GetAttributeNames()) {
    if (std::find(known.begin(), known.end(), name) != known.end()) continue;
    m_report.AddWarning(path, Quoted(name),
                        std::wstring(L"not a setting of ") + Quoted(kind.type) + L"; the engine ignores it" +
                            NameHint::Suggest(name, known));
  }
}

void RuleChecker::CheckSetSelection(const DXNodePtr& set, const std::wstring& path) {
  // A set without a selection makes at most one frame, for the source node
  // itself; a first-value item that reads through \* there takes the value
  // of the first child only, which means the set was to select the children.
  const SettingValue configPath = SettingReader::Read(set, L"ConfigPath", SettingRead::OptionalText);
  if (FAILED(configPath.failure) || !(configPath.text.empty() || configPath.text == L"\\")) return;
  uint32_t index = 0;
  bool warned = false;
  set.ForEachChild([&](const DXNodePtr& child) {
    const uint32_t childIndex = index++;
    if (warned || child.GetType() != L"UsageActivityItem") return;
    const SettingValue itemType = SettingReader::Read(child, L"ActivityItemType", SettingRead::ItemType);
    const SettingValue valueSource = SettingReader::Read(child, L"ValueSource", SettingRead::RequiredText);
    if (FAILED(itemType.failure) || itemType.number != 0 || FAILED(valueSource.failure)) return;
    if (!StartsWithWildcard(valueSource.text)) return;
    warned = true;
    m_report.AddWarning(path, L"\"ConfigPath\"",
                        L"is empty: the set makes at most one frame, for the source node itself, and its item " +
                            NodeLabel(child, childIndex) + L" takes only the first value of " + valueSource.text +
                            L"; a \"ConfigPath\" of \\* makes one frame per child");
  });
}

void RuleChecker::WarnIgnoredChildren(const DXNodePtr& node, const std::wstring& path, const KindRule& kind) {
  uint32_t index = 0;
  node.ForEachChild([&](const DXNodePtr& child) {
    m_report.AddWarning(ChildPath(path, child, index++), kNodeSubject,
                        std::wstring(L"ignored: a ") + Quoted(kind.type) + L" has no nested nodes");
  });
}

void RuleChecker::CheckIfParts(const DXNodePtr& node, const std::wstring& path) {
  // The parts are looked up by name, in this order; other children are
  // never read.
  const wchar_t* const parts[] = {kConditionPart, kThenPart, kElsePart};
  const std::vector<std::wstring_view> partNames(std::begin(parts), std::end(parts));
  std::vector<DXNodePtr> found(3);
  for (size_t part = 0; part < 3; ++part) found[part] = node.GetChild(parts[part], false);

  // Children of other names are never read; of several children of a
  // part's name, the lookup returns one.
  std::vector<uint32_t> partCounts(3, 0);
  uint32_t index = 0;
  node.ForEachChild([&](const DXNodePtr& child) {
    const uint32_t childIndex = index++;
    const std::wstring name = child.GetName();
    const auto part = std::find(partNames.begin(), partNames.end(), name);
    if (part != partNames.end()) {
      ++partCounts[static_cast<size_t>(part - partNames.begin())];
      return;
    }
    m_report.AddWarning(ChildPath(path, child, childIndex), kNodeSubject,
                        L"ignored: an \"If\" reads only its children named \"Condition\", \"Then\" and \"Else\"" +
                            NameHint::Suggest(name, partNames));
  });
  for (size_t part = 0; part < 3; ++part) {
    if (partCounts[part] < 2) continue;
    m_report.AddWarning(path, L"child " + Quoted(parts[part]),
                        std::to_wstring(partCounts[part]) +
                            L" children have this name; the \"If\" reads one of them and ignores the others");
  }

  for (size_t part = 0; part < 2; ++part) {
    if (found[part]) continue;
    m_report.AddError(path, L"child " + Quoted(parts[part]), NodeErrors::kNotFound,
                      std::wstring(L"missing; an \"If\" needs a child named ") + Quoted(parts[part]));
  }
  if (found[0]) CheckCondition(found[0], path + NodePaths::kSeparator + kConditionPart);
  if (found[1]) CheckEntries(found[1], path + NodePaths::kSeparator + kThenPart);
  if (found[2]) CheckEntries(found[2], path + NodePaths::kSeparator + kElsePart);
}

void RuleChecker::CheckConditions(const DXNodePtr& node, const std::wstring& path, const KindRule& kind) {
  if (node.GetChildCount() == 0) {
    m_report.AddError(path, kNodeSubject, kInvalidConditionHr,
                      Quoted(kind.type) + L" without conditions; it needs at least one child condition");
    return;
  }
  uint32_t index = 0;
  node.ForEachChild([&](const DXNodePtr& child) { CheckCondition(child, ChildPath(path, child, index++)); });
}

}  // namespace UsageStatistics::Checking
