// Builds small node trees for tests from a nested description:
//   Build({L"Root", {}, {Text(L"Mode", L"Full")}, {{L"Child"}}})
#pragma once

#include "node/DXNodePtr.h"

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace KestrovaTest {

struct AttributeSpec {
  std::wstring name;
  std::variant<std::wstring, int64_t, bool, std::vector<std::wstring>> value;
};

inline AttributeSpec Text(std::wstring name, std::wstring value) { return {std::move(name), std::move(value)}; }
inline AttributeSpec Int64(std::wstring name, int64_t value) { return {std::move(name), value}; }
inline AttributeSpec Bool(std::wstring name, bool value) { return {std::move(name), value}; }
inline AttributeSpec List(std::wstring name, std::vector<std::wstring> value) {
  return {std::move(name), std::move(value)};
}

struct NodeSpec {
  std::wstring name;  // empty: no name
  std::wstring type{};  // empty: no type
  std::vector<AttributeSpec> attributes{};
  std::vector<NodeSpec> children{};
};

inline DXNodePtr Build(const NodeSpec& description) {
  DXNodePtr node = DXNodePtr::Create(description.name.empty() ? nullptr : description.name.c_str(),
                                     description.type.empty() ? nullptr : description.type.c_str());
  for (const AttributeSpec& attribute : description.attributes) {
    const wchar_t* name = attribute.name.c_str();
    if (auto* text = std::get_if<std::wstring>(&attribute.value)) node.SetString(name, *text);
    if (auto* number = std::get_if<int64_t>(&attribute.value)) node.SetInt64(name, *number);
    if (auto* flag = std::get_if<bool>(&attribute.value)) node.SetBool(name, *flag);
    if (auto* list = std::get_if<std::vector<std::wstring>>(&attribute.value)) node.SetStringList(name, *list);
  }
  for (const NodeSpec& child : description.children) node.AddChild(Build(child));
  return node;
}

}  // namespace KestrovaTest
