// What the rules engine reads from an entry or condition node, kind by kind:
// the node types it recognises (in the order it compares them), the settings
// each constructor reads (in the order it reads them, each with the read it
// uses) and what it does with the children. The checker walks rule trees
// with these tables; tests hold them against Kestrova.dll's own answers.
#pragma once

#include <windows.h>

#include <span>
#include <string_view>

namespace UsageStatistics::Checking {

// The node wrapper read a constructor uses for a setting; the read decides
// which stored types it accepts and what absence means.
enum class SettingRead {
  RequiredText,   // GetString(name): absent raises 0x80070490
  OptionalText,   // GetString(name, default)
  OptionalBool,   // GetBool(name, false)
  ItemType,       // "ActivityItemType": int32; absent or untyped is 0
  RequiredInt64,  // GetInt64(name)
  OptionalInt32,  // TryGetInt32(name)
  OptionalInt64,  // TryGetInt64(name)
};

// What the engine does with a text setting's value.
enum class SourceUse {
  None,       // not a source
  Values,     // evaluated for values (names, values, compared texts)
  GroupName,  // values, read only when not the empty text (a group's name)
  Nodes,      // evaluated for nodes: a selection path
};

struct SettingRule {
  const wchar_t* name;
  SettingRead read;
  SourceUse use;
};

// What the children of a node are to the engine.
enum class NestedNodes {
  Ignored,     // not read
  Entries,     // every child is an entry node
  IfParts,     // children found by name: "Condition", "Then", "Else"
  Conditions,  // every child is a condition node; at least one
};

struct KindRule {
  const wchar_t* type;
  std::span<const SettingRule> settings;
  NestedNodes nested;
};

// The entry kinds, in the factory's order. An unknown type fails with
// E_INVALIDARG.
std::span<const KindRule> EntryKinds();
inline constexpr HRESULT kUnknownEntryTypeHr = E_INVALIDARG;

// The condition kinds, in MakeCondition's order. An unknown type, and an or
// or and condition without children, fail with 0x8007000D.
std::span<const KindRule> ConditionKinds();
inline constexpr HRESULT kInvalidConditionHr = static_cast<HRESULT>(0x8007000D);

// The item types an item resolves; any other fails each resolution with
// 0x8007000D.
inline constexpr int kMaxItemType = 2;
inline constexpr HRESULT kInvalidItemTypeHr = static_cast<HRESULT>(0x8007000D);

// The parts of an "If", by child name; "Else" may be absent.
inline constexpr wchar_t kConditionPart[] = L"Condition";
inline constexpr wchar_t kThenPart[] = L"Then";
inline constexpr wchar_t kElsePart[] = L"Else";

// Exact (the engine's comparison) or ignoring letter case (for hints).
const KindRule* FindKind(std::span<const KindRule> kinds, std::wstring_view type);
const KindRule* FindKindIgnoringCase(std::span<const KindRule> kinds, std::wstring_view type);
const SettingRule* FindSetting(const KindRule& kind, std::wstring_view name);

}  // namespace UsageStatistics::Checking
