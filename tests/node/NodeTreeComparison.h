// Compares two node trees completely: names, types, attributes (names in
// order, type codes and bytes) and children, and says where they differ.
#pragma once

#include "node/DXNodePtr.h"

#include <Kestrova/DataLayer.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace KestrovaTest {

// Type code and bytes of an attribute as the store holds it.
struct RawValue {
  uint16_t type = 0;
  std::vector<uint8_t> bytes;
  bool operator==(const RawValue&) const = default;
};

inline RawValue ReadRawValue(const DXNodePtr& node, const wchar_t* name) {
  RawValue value;
  std::vector<uint8_t> buffer;
  if (!DXNodePtr::GetRawAttribute(node, name, buffer, &value.type)) ADD_FAILURE() << "missing attribute";
  value.bytes = buffer;
  return value;
}

// Empty when equal, else the path of the first difference and what differs.
inline std::wstring TreeDifference(const DXNodePtr& expected, const DXNodePtr& actual, const std::wstring& at = L"") {
  const std::wstring here = at + L"/" + expected.GetName();
  if (expected.GetName() != actual.GetName()) return here + L": name " + actual.GetName();
  if (expected.GetType() != actual.GetType()) return here + L": type " + actual.GetType();
  const std::vector<std::wstring> names = expected.GetAttributeNames();
  if (names != actual.GetAttributeNames()) return here + L": attribute names";
  for (const std::wstring& name : names) {
    if (!(ReadRawValue(expected, name.c_str()) == ReadRawValue(actual, name.c_str()))) {
      return here + L": attribute " + name;
    }
  }
  const uint32_t count = expected.GetChildCount();
  if (count != actual.GetChildCount()) return here + L": child count";
  for (uint32_t index = 0; index < count; ++index) {
    const std::wstring difference = TreeDifference(expected.GetChild(index), actual.GetChild(index), here);
    if (!difference.empty()) return difference;
  }
  return L"";
}

// Sets an attribute of any type code with the given bytes.
inline void SetRaw(const DXNodePtr& node, const wchar_t* name, uint16_t type, const void* data, uint32_t size) {
  ASSERT_EQ(DxnSetAttribute(node.Get(), name, type, data, size), S_OK);
}

}  // namespace KestrovaTest
