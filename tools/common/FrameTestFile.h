// A test file of frame cases, in node text: its first node, of the suite's
// type ("RuleTests"), holds one node of the case type per case. A case is
// named (uniquely in its file), takes each input inline or by path, and keeps
// its expected frames as the children of a child "Expected"; a case without
// one is new.
//   input by path:  <attr name="Rules" type="text">users.rules.txt</attr>
//                   (relative to the test file's folder)
//   input inline:   <node name="Rules"> the input's node </node>
#pragma once

#include "NodeHandle.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace KestrovaTools {

// What a tool's cases may hold.
struct FrameTestSchema {
  const wchar_t* suiteType;                  // the first node's type
  const wchar_t* caseType;                   // each case's type
  std::vector<std::wstring> inputs;          // by path or inline, required
  std::vector<std::wstring> optionalInputs;  // the same, optional
  std::vector<std::wstring> settings;        // plain attributes
};

class FrameTestCase {
 public:
  FrameTestCase(const std::wstring& filePath, NodeHandle node, std::wstring name, uint32_t index);

  const std::wstring& Name() const noexcept { return m_name; }
  // Its position among the suite's children.
  uint32_t Index() const noexcept { return m_index; }
  // The position of "Expected" among the case's children; none for a new case.
  std::optional<uint32_t> ExpectedIndex() const noexcept { return m_expectedIndex; }
  // The expected frames: the children of "Expected".
  const NodeHandle& Expected() const noexcept { return m_expected; }
  // Why the case cannot run (its type, name or parts), naming the file and
  // the case; none for a well-formed case.
  const std::optional<std::wstring>& Problem() const noexcept { return m_problem; }

  bool HasInput(const wchar_t* input) const;
  // The input's node: the first node of the file it names, or the first
  // child of its inline node. Raises ToolError (kExitUsage) naming the case.
  NodeHandle InputNode(const wchar_t* input) const;
  // Every top-level node of the input: the file as it is, or the children of
  // the inline node as node text.
  std::string InputText(const wchar_t* input) const;
  // The input's file, resolved against the test file's folder; none inline.
  std::optional<std::wstring> InputPath(const wchar_t* input) const;

  std::optional<std::wstring> TextSetting(const wchar_t* setting) const;
  std::optional<int64_t> IntegerSetting(const wchar_t* setting) const;

  // "test file 'F': case "N": what", as a usage error.
  [[noreturn]] void Fail(const std::wstring& what) const;

 private:
  friend class FrameTestFile;
  NodeHandle InlineNode(const wchar_t* input) const;
  void CheckParts(const std::vector<std::wstring>& knownAttributes, const std::vector<std::wstring>& knownChildren,
                  const std::vector<std::wstring>& requiredInputs);
  template <typename Read>
  auto Located(Read&& read) const;

  std::wstring m_filePath;
  NodeHandle m_node;
  std::wstring m_name;
  uint32_t m_index;
  std::optional<uint32_t> m_expectedIndex;
  NodeHandle m_expected;
  std::optional<std::wstring> m_problem;
};

class FrameTestFile {
 public:
  // Reads the file and checks the suite's type, raising ToolError
  // (kExitUsage) naming the file and what is wrong; checks every case's
  // type, name and parts, keeping what is wrong as the case's Problem.
  static FrameTestFile Read(const std::wstring& path, const FrameTestSchema& schema);

  const std::wstring& Path() const noexcept { return m_path; }
  const std::string& Bytes() const noexcept { return m_bytes; }
  std::vector<FrameTestCase>& Cases() noexcept { return m_cases; }

  static constexpr wchar_t kExpected[] = L"Expected";

 private:
  std::wstring m_path;
  std::string m_bytes;
  NodeHandle m_suite;
  std::vector<FrameTestCase> m_cases;
};

}  // namespace KestrovaTools
