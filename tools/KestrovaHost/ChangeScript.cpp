#include "ChangeScript.h"

#include "ToolError.h"

#include <array>

namespace KestrovaHost {

using KestrovaTools::kExitUsage;
using KestrovaTools::ToolError;

namespace {

struct KindText {
  StepKind kind;
  const wchar_t* name;
};
constexpr std::array kKinds{KindText{StepKind::Write, L"Write"}, KindText{StepKind::Delete, L"Delete"},
                            KindText{StepKind::Notify, L"Notify"}, KindText{StepKind::Wait, L"Wait"}};

constexpr wchar_t kSubject[] = L"Subject";
constexpr wchar_t kPath[] = L"Path";
constexpr wchar_t kMilliseconds[] = L"Milliseconds";

// Reads and checks one step; raises ToolError with the step's own text,
// which Parse prefixes with where the step is.
class StepReader {
 public:
  explicit StepReader(const DXNodePtr& node) : m_node(node) {}

  ChangeStep Read() const {
    ChangeStep step;
    step.node = m_node;
    step.kind = Kind();
    switch (step.kind) {
      case StepKind::Write:
        step.subject = OptionalText(kSubject);
        CheckWrittenNodes();
        break;
      case StepKind::Delete:
        step.subject = OptionalText(kSubject);
        step.path = RequiredText(kPath);
        if (!ChangeScript::IsValidStorePath(step.path)) {
          Fail(L"\"Path\" '" + step.path + L"' is not an absolute configuration path");
        }
        break;
      case StepKind::Notify:
        if (m_node.GetChildCount() == 0)
          Fail(L"no notification node (a Notify step hands its first child to the module)");
        break;
      case StepKind::Wait:
        step.milliseconds = Milliseconds();
        break;
    }
    return step;
  }

 private:
  [[noreturn]] static void Fail(const std::wstring& text) { throw ToolError(kExitUsage, text); }

  StepKind Kind() const {
    const std::wstring type = m_node.GetType();
    for (const KindText& kind : kKinds) {
      if (type == kind.name) return kind.kind;
    }
    Fail(L"the type '" + type + L"' is not a step type (expected Write, Delete, Notify or Wait)");
  }

  uint16_t AttributeType(const wchar_t* name) const {
    uint16_t type = DXNodePtr::kTypeNone;
    return m_node.TryGetAttributeType(name, type) ? type : static_cast<uint16_t>(DXNodePtr::kTypeNone);
  }

  std::optional<std::wstring> OptionalText(const wchar_t* name) const {
    if (!m_node.HasAttribute(name)) return std::nullopt;
    if (AttributeType(name) != DXNodePtr::kTypeText) Fail(std::wstring(L"\"") + name + L"\" must be a text");
    return m_node.GetString(name);
  }

  std::wstring RequiredText(const wchar_t* name) const {
    std::optional<std::wstring> text = OptionalText(name);
    if (!text) Fail(std::wstring(L"no text attribute \"") + name + L"\"");
    return *text;
  }

  uint32_t Milliseconds() const {
    if (!m_node.HasAttribute(kMilliseconds)) Fail(L"no 64-bit integer attribute \"Milliseconds\"");
    int64_t value = 0;
    if (AttributeType(kMilliseconds) != DXNodePtr::kTypeInt64 || !m_node.TryGetInt64(kMilliseconds, value)) {
      Fail(L"\"Milliseconds\" must be a 64-bit integer (type int64)");
    }
    if (value < 0 || value > ChangeScript::kMaxWaitMs) {
      Fail(L"\"Milliseconds\" " + std::to_wstring(value) + L" is not between 0 and " +
           std::to_wstring(ChangeScript::kMaxWaitMs));
    }
    return static_cast<uint32_t>(value);
  }

  // The server checks the whole call too, but a bad node found here stops
  // the run before the module is loaded.
  void CheckWrittenNodes() const {
    const uint32_t count = m_node.GetChildCount();
    if (count == 0) Fail(L"nothing to write (a Write step writes its child nodes)");
    for (uint32_t index = 0; index < count; ++index) {
      const std::wstring name = m_node.GetChild(index).GetName();
      if (!ChangeScript::IsValidStorePath(name)) {
        Fail(L"child " + std::to_wstring(index) + L" is named '" + name + L"', not by an absolute configuration path");
      }
    }
  }

  const DXNodePtr& m_node;
};

}  // namespace

const wchar_t* ChangeScript::KindName(StepKind kind) {
  for (const KindText& text : kKinds) {
    if (text.kind == kind) return text.name;
  }
  return L"?";
}

bool ChangeScript::IsValidStorePath(const std::wstring& path) {
  if (path.size() < 2 || path.front() != L'\\' || path.back() == L'\\') return false;
  return path.find(L"\\\\") == std::wstring::npos;
}

std::vector<ChangeStep> ChangeScript::Parse(const DXNodePtr& script, const std::wstring& source) {
  std::vector<ChangeStep> steps;
  const uint32_t count = script.GetChildCount();
  steps.reserve(count);
  for (uint32_t index = 0; index < count; ++index) {
    try {
      steps.push_back(StepReader(script.GetChild(index)).Read());
    } catch (const ToolError& error) {
      throw ToolError(error.Status(), source + L": step " + std::to_wstring(index + 1) + L" (type '" +
                                          script.GetChild(index).GetType() + L"'): " + error.Message());
    }
  }
  return steps;
}

}  // namespace KestrovaHost
