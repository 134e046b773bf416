#include "RuleVocabulary.h"

#include <algorithm>
#include <cwctype>

namespace UsageStatistics::Checking {

namespace {

using enum SettingRead;

// CUsageActivityItemsSet
constexpr SettingRule kSetSettings[] = {
    {L"NameSource", RequiredText, SourceUse::Values},
    {L"ConfigPath", OptionalText, SourceUse::Nodes},
    {L"IsMultiValue", OptionalBool, SourceUse::None},
    {L"IsAllowEmpty", OptionalBool, SourceUse::None},
};
// CUsageActivityItem
constexpr SettingRule kItemSettings[] = {
    {L"NameSource", RequiredText, SourceUse::Values},
    {L"ValueSource", RequiredText, SourceUse::Values},
    {L"ActivityItemType", ItemType, SourceUse::None},
};
// CUsageActivityItemCounter
constexpr SettingRule kCounterSettings[] = {
    {L"NameSource", RequiredText, SourceUse::Values},
    {L"ValueSource", OptionalText, SourceUse::Values},
};
// CUsageActivityItemsGroup
constexpr SettingRule kGroupSettings[] = {
    {L"NameSource", OptionalText, SourceUse::GroupName},
    {L"ConfigPath", OptionalText, SourceUse::Nodes},
    {L"IsAllowEmpty", OptionalBool, SourceUse::None},
};
// Detail::CaseCondition
constexpr SettingRule kCaseSettings[] = {
    {L"CaseValuePath1", RequiredText, SourceUse::Values},
    {L"CaseValuePath2", RequiredText, SourceUse::Values},
    {L"Not", OptionalBool, SourceUse::None},
};

constexpr KindRule kEntryKinds[] = {
    {L"UsageActivityItemsSet", kSetSettings, NestedNodes::Entries},
    {L"UsageActivityItem", kItemSettings, NestedNodes::Ignored},
    {L"If", {}, NestedNodes::IfParts},
    {L"UsageActivityItemCounter", kCounterSettings, NestedNodes::Ignored},
    {L"UsageActivityItemsGroup", kGroupSettings, NestedNodes::Entries},
};

constexpr KindRule kConditionKinds[] = {
    {L"OrCondition", {}, NestedNodes::Conditions},
    {L"CaseCondition", kCaseSettings, NestedNodes::Ignored},
    {L"AndCondition", {}, NestedNodes::Conditions},
};

bool EqualIgnoringCase(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](wchar_t x, wchar_t y) { return std::towlower(x) == std::towlower(y); });
}

}  // namespace

std::span<const KindRule> EntryKinds() { return kEntryKinds; }
std::span<const KindRule> ConditionKinds() { return kConditionKinds; }

const KindRule* FindKind(std::span<const KindRule> kinds, std::wstring_view type) {
  for (const KindRule& kind : kinds) {
    if (type == kind.type) return &kind;
  }
  return nullptr;
}

const KindRule* FindKindIgnoringCase(std::span<const KindRule> kinds, std::wstring_view type) {
  for (const KindRule& kind : kinds) {
    if (EqualIgnoringCase(type, kind.type)) return &kind;
  }
  return nullptr;
}

const SettingRule* FindSetting(const KindRule& kind, std::wstring_view name) {
  for (const SettingRule& setting : kind.settings) {
    if (name == setting.name) return &setting;
  }
  return nullptr;
}

}  // namespace UsageStatistics::Checking
