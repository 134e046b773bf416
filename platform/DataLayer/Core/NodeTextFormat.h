// What the node text writer and reader share: element names, the named
// attribute types and the reader's limits (docs/NodeTextFormat.md).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace DataLayer::NodeTextFormat {

namespace TypeCode {
constexpr uint16_t kNone = 0;
constexpr uint16_t kText = 2;
constexpr uint16_t kInt32 = 4;
constexpr uint16_t kInt64 = 6;
constexpr uint16_t kBool = 7;
constexpr uint16_t kBinary = 12;
constexpr uint16_t kTextList = 258;
}  // namespace TypeCode

struct NamedType {
  std::string_view name;
  uint16_t code;
};

constexpr NamedType kNamedTypes[] = {
    {"text", TypeCode::kText},   {"int32", TypeCode::kInt32},   {"int64", TypeCode::kInt64},
    {"bool", TypeCode::kBool},   {"binary", TypeCode::kBinary}, {"textlist", TypeCode::kTextList},
    {"none", TypeCode::kNone},
};

// Limits of the reader; the writer refuses trees the reader would refuse.
constexpr size_t kMaxInputBytes = size_t{1} << 30;      // 1 GiB of text
constexpr uint32_t kMaxNodeNesting = 1024;              // <node> levels
constexpr uint64_t kMaxNodes = uint64_t{1} << 23;       // 8,388,608 nodes per input
constexpr uint32_t kMaxAttributesPerNode = 65535;
constexpr size_t kMaxTextUnits = size_t{1} << 26;       // 64 Mi code units in one name or value
constexpr size_t kMaxValueBytes = size_t{1} << 27;      // 128 MiB in one attribute value

// Writer flags.
constexpr uint32_t kFlagCrlf = 0x001;
constexpr uint32_t kFlagIndent = 0x100;
constexpr uint32_t kKnownFlags = kFlagCrlf | kFlagIndent;

}  // namespace DataLayer::NodeTextFormat
