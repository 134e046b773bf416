#include "FrameTestFile.h"

#include "NodeTextFile.h"
#include "ToolError.h"
#include "Utf8Text.h"

#include "settings/FileSystem.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace KestrovaTools {

namespace {

std::wstring InTestFile(const std::wstring& path) { return L"test file '" + path + L"'"; }

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

std::wstring NameList(const std::vector<std::wstring>& names) {
  std::wstring list;
  for (const std::wstring& name : names) list += (list.empty() ? L"" : L", ") + Quoted(name);
  return list.empty() ? L"none" : list;
}

bool Contains(const std::vector<std::wstring>& names, const std::wstring& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

std::optional<std::wstring> TextOf(const AttributeValue& value) {
  if (value.type != DXN_TYPE_TEXT || value.bytes.size() % sizeof(wchar_t) != 0 || value.bytes.empty()) {
    return std::nullopt;
  }
  std::wstring text(value.bytes.size() / sizeof(wchar_t), L'\0');
  std::memcpy(text.data(), value.bytes.data(), value.bytes.size());
  if (text.back() != L'\0') return std::nullopt;
  text.pop_back();
  return text;
}

bool IsAbsolute(const std::wstring& path) {
  return (!path.empty() && (path[0] == L'\\' || path[0] == L'/')) || (path.size() >= 2 && path[1] == L':');
}

}  // namespace

FrameTestCase::FrameTestCase(const std::wstring& filePath, NodeHandle node, std::wstring name, uint32_t index)
    : m_filePath(filePath), m_node(std::move(node)), m_name(std::move(name)), m_index(index) {}

void FrameTestCase::Fail(const std::wstring& what) const {
  throw ToolError(kExitUsage, InTestFile(m_filePath) + L": case " + Quoted(m_name) + L": " + what);
}

NodeHandle FrameTestCase::InlineNode(const wchar_t* input) const {
  const uint32_t count = m_node.ChildCount();
  for (uint32_t index = 0; index < count; ++index) {
    NodeHandle child = m_node.Child(index);
    if (child.Name() == input) return child;
  }
  return {};
}

bool FrameTestCase::HasInput(const wchar_t* input) const {
  return InputPath(input).has_value() || static_cast<bool>(InlineNode(input));
}

std::optional<std::wstring> FrameTestCase::InputPath(const wchar_t* input) const {
  const std::vector<std::wstring> names = m_node.AttributeNames();
  if (!Contains(names, input)) return std::nullopt;
  const std::optional<std::wstring> path = TextOf(m_node.Attribute(input));
  if (!path || path->empty()) Fail(Quoted(input) + L" must be a text: the path of a node text file");
  return IsAbsolute(*path) ? *path : DirectoryOf(m_filePath) + *path;
}

// A failure to read an input's file, told as the case's.
template <typename Read>
auto FrameTestCase::Located(Read&& read) const {
  try {
    return read();
  } catch (const ToolError& error) {
    if (error.Status() != kExitUsage) throw;
    Fail(error.Message());
  }
}

NodeHandle FrameTestCase::InputNode(const wchar_t* input) const {
  if (const std::optional<std::wstring> path = InputPath(input)) {
    return Located([&] { return NodeTextFile::ReadFirstNode(*path, Quoted(input).c_str()); });
  }
  const NodeHandle wrapper = InlineNode(input);
  if (!wrapper) Fail(L"no " + Quoted(input) + L" (a file path attribute or an inline node)");
  if (wrapper.ChildCount() == 0) Fail(L"the inline " + Quoted(input) + L" holds no node");
  return wrapper.Child(0);
}

std::string FrameTestCase::InputText(const wchar_t* input) const {
  if (const std::optional<std::wstring> path = InputPath(input)) {
    return Located([&] { return NodeTextFile::ReadBytes(*path, Quoted(input).c_str()); });
  }
  const NodeHandle wrapper = InlineNode(input);
  if (!wrapper) Fail(L"no " + Quoted(input) + L" (a file path attribute or an inline node)");
  std::vector<NodeHandle> children;
  std::vector<IDXNode*> nodes;
  for (uint32_t index = 0; index < wrapper.ChildCount(); ++index) {
    children.push_back(wrapper.Child(index));
    nodes.push_back(children.back().Get());
  }
  return NodeTextFile::ToText(nodes);
}

std::optional<std::wstring> FrameTestCase::TextSetting(const wchar_t* setting) const {
  if (!Contains(m_node.AttributeNames(), setting)) return std::nullopt;
  const std::optional<std::wstring> text = TextOf(m_node.Attribute(setting));
  if (!text) Fail(Quoted(setting) + L" must be a text");
  return text;
}

std::optional<int64_t> FrameTestCase::IntegerSetting(const wchar_t* setting) const {
  if (!Contains(m_node.AttributeNames(), setting)) return std::nullopt;
  const AttributeValue value = m_node.Attribute(setting);
  if (value.type != DXN_TYPE_INT64 || value.bytes.size() != sizeof(int64_t)) {
    Fail(Quoted(setting) + L" must be an int64");
  }
  int64_t number = 0;
  std::memcpy(&number, value.bytes.data(), sizeof number);
  return number;
}

void FrameTestCase::CheckParts(const std::vector<std::wstring>& knownAttributes,
                               const std::vector<std::wstring>& knownChildren,
                               const std::vector<std::wstring>& requiredInputs) {
  const std::vector<std::wstring> attributes = m_node.AttributeNames();
  for (const std::wstring& attribute : attributes) {
    if (!Contains(knownAttributes, attribute)) {
      Fail(L"unknown attribute " + Quoted(attribute) + L" (known: " + NameList(knownAttributes) + L")");
    }
  }
  std::set<std::wstring> children;
  for (uint32_t childIndex = 0; childIndex < m_node.ChildCount(); ++childIndex) {
    NodeHandle child = m_node.Child(childIndex);
    const std::wstring childName = child.Name();
    if (!Contains(knownChildren, childName)) {
      Fail(L"unknown child node " + Quoted(childName) + L" (known: " + NameList(knownChildren) + L")");
    }
    if (!children.insert(childName).second) Fail(L"two child nodes are named " + Quoted(childName));
    if (Contains(attributes, childName)) Fail(Quoted(childName) + L" is given twice: as a file path and inline");
    if (childName == FrameTestFile::kExpected) {
      m_expectedIndex = childIndex;
      m_expected = std::move(child);
    }
  }
  for (const std::wstring& input : requiredInputs) {
    if (!Contains(attributes, input) && !children.contains(input)) {
      Fail(L"no " + Quoted(input) + L" (a file path attribute or an inline node)");
    }
  }
}

FrameTestFile FrameTestFile::Read(const std::wstring& path, const FrameTestSchema& schema) {
  FrameTestFile file;
  file.m_path = path;
  file.m_bytes = NodeTextFile::ReadBytes(path, L"test");
  file.m_suite = NodeTextFile::ReadFirstNodeFromText(file.m_bytes, InTestFile(path).c_str());
  const auto fail = [&](const std::wstring& what) { throw ToolError(kExitUsage, InTestFile(path) + L": " + what); };
  if (const std::wstring type = file.m_suite.Type(); type != schema.suiteType) {
    fail(L"its first node is of type " + Quoted(type) + L", not " + Quoted(schema.suiteType));
  }
  std::vector<std::wstring> knownChildren = schema.inputs;
  knownChildren.insert(knownChildren.end(), schema.optionalInputs.begin(), schema.optionalInputs.end());
  std::vector<std::wstring> knownAttributes = knownChildren;
  knownAttributes.insert(knownAttributes.end(), schema.settings.begin(), schema.settings.end());
  knownChildren.push_back(kExpected);

  std::set<std::wstring> names;
  const uint32_t count = file.m_suite.ChildCount();
  for (uint32_t index = 0; index < count; ++index) {
    NodeHandle node = file.m_suite.Child(index);
    std::wstring name = node.Name();
    const std::wstring type = node.Type();
    const bool named = !name.empty();
    // Only cases claim a name: a stray node does not shadow the case after it.
    const bool unique = named && (type != schema.caseType || names.insert(name).second);
    FrameTestCase testCase(path, std::move(node), named ? name : L"node " + std::to_wstring(index + 1), index);
    // A case that is not well-formed is reported when its turn comes; the
    // others still run.
    try {
      if (type != schema.caseType)
        testCase.Fail(L"a node of type " + Quoted(type) + L", not " + Quoted(schema.caseType));
      if (!named) testCase.Fail(L"a case without a name");
      if (!unique) testCase.Fail(L"another case of the file has this name");
      testCase.CheckParts(knownAttributes, knownChildren, schema.inputs);
    } catch (const ToolError& error) {
      if (error.Status() != kExitUsage) throw;
      testCase.m_problem = error.Message();
    }
    file.m_cases.push_back(std::move(testCase));
  }
  return file;
}

}  // namespace KestrovaTools
