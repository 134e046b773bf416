// The compiled form of sources against a model of the source language that
// reads the text element by element at every node, as the language is
// written down: every path built from a vocabulary of elements, up to four
// of them, with and without the leading and a trailing backslash, must yield
// the same nodes, the same values in the same order and the same failure
// code from both, on a tree that has every kind of attribute the walk reads.
#include "Sources/Subsystems/UsageStatistics/Kestrova/CompiledSource.h"

#include "Sources/Common/ErrorHandling/HRES.h"
#include "node/NodeErrors.h"
#include "node/NodePaths.h"
#include "support/NodeBuilder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace UsageStatistics;
using namespace KestrovaTest;
using NodePaths::ElementKind;
using NodePaths::PathElementKind;

// What one evaluation yields: nodes by their names, values, and the failure.
struct Outcome {
  std::vector<std::wstring> events;  // "N:name" or "V:value", in order
  HRESULT code = S_OK;
  bool operator==(const Outcome&) const = default;
};

class OutcomeRecorder final : public ISourceVisitor {
 public:
  explicit OutcomeRecorder(Outcome& outcome) : m_outcome(outcome) {}
  void OnNode(const DXNodePtr& node) override { m_outcome.events.push_back(L"N:" + node.GetName()); }
  void OnValue(const std::wstring& value) override { m_outcome.events.push_back(L"V:" + value); }

 private:
  Outcome& m_outcome;
};

// The language read from its text at every step.
class TextModel {
 public:
  static void Evaluate(const DXNodePtr& node, std::wstring_view source, ISourceVisitor& visitor) {
    if (IsLiteralSource(source)) {
      visitor.OnValue(std::wstring(source));
      return;
    }
    if (CountSeparators(source) > kMaxSourcePathElements) ThrowHr(NodeErrors::kInvalidData);
    Walk(node, source, 0, visitor);
  }

 private:
  static void Walk(const DXNodePtr& start, std::wstring_view path, size_t position, ISourceVisitor& visitor) {
    DXNodePtr current = start;
    std::wstring_view element;
    while (NextPathElement(path, position, element)) {
      const ElementKind kind = PathElementKind(element);
      if (kind == ElementKind::AnyChild) {
        current.ForEachChild([&](const DXNodePtr& child) { Walk(child, path, position, visitor); });
        return;
      }
      if (kind == ElementKind::AnyDescendant) {
        EachDescendant(current, [&](const DXNodePtr& descendant) { Walk(descendant, path, position, visitor); });
        return;
      }
      if (kind == ElementKind::Parent) {
        current = current.GetParent();
        if (!current) return;
        continue;
      }
      if (kind == ElementKind::NameOf) return visitor.OnValue(current.GetName());
      if (kind == ElementKind::TypeOf) return visitor.OnValue(current.GetType());
      if (kind == ElementKind::Attribute) return Attribute(current, element.substr(1), path, position, visitor);
      if (kind == ElementKind::Filter && element.size() >= 2 && element.back() == L']') {
        const PathPredicate predicate = PathPredicate::Parse(element.substr(1, element.size() - 2));
        ValuesCollector left;
        Walk(current, predicate.leftPath, 0, left);
        const std::wstring first = left.Values().empty() ? std::wstring() : left.Values().front();
        if ((first == predicate.value) != (predicate.op == PathPredicate::Operator::Equal)) return;
        continue;
      }
      current = current.GetChild(std::wstring(element), false);
      if (!current) return;
    }
    if (current) visitor.OnNode(current);
  }

  template <typename Visit>
  static void EachDescendant(const DXNodePtr& node, Visit&& visit) {
    node.ForEachChild([&](const DXNodePtr& child) {
      visit(child);
      EachDescendant(child, visit);
    });
  }

  static void Attribute(const DXNodePtr& node, std::wstring_view name, std::wstring_view path, size_t position,
                        ISourceVisitor& visitor) {
    std::wstring_view next;
    if (!NextPathElement(path, position, next)) return Values(node, std::wstring(name), visitor);
    const ElementKind kind = PathElementKind(next);
    if (kind == ElementKind::ChildName && !next.empty()) return Values(node, std::wstring(next), visitor);
    if (kind == ElementKind::AnyChild) {
      for (const std::wstring& each : node.GetAttributeNames()) Attribute(node, each, path, position, visitor);
    }
    if (kind == ElementKind::NameOf) visitor.OnValue(std::wstring(name));
  }

  static void Values(const DXNodePtr& node, const std::wstring& name, ISourceVisitor& visitor) {
    if (!node.HasAttribute(name.c_str())) return;
    if ((node.GetAttributeType(name.c_str()) & DXN_TYPE_LIST_FLAG) != 0) {
      std::vector<std::wstring> texts;
      node.TryGetStringList(name.c_str(), texts);
      for (const std::wstring& text : texts) visitor.OnValue(text);
      return;
    }
    visitor.OnValue(node.GetString(name.c_str()));
  }
};

template <typename Evaluation>
Outcome Observe(Evaluation&& evaluation) {
  Outcome outcome;
  OutcomeRecorder recorder(outcome);
  try {
    evaluation(recorder);
  } catch (const HRX& failure) {
    outcome.code = failure.Code();
  }
  return outcome;
}

DXNodePtr ModelTree() {
  return Build(
      {L"Root",
       L"RootType",
       {Text(L"Id", L"r")},
       {{L"Items",
         L"ItemList",
         {Text(L"State", L"On"), List(L"Tags", {L"t1", L"t2"})},
         {{L"A", L"Item", {Text(L"Id", L"1"), List(L"Tags", {L"x", L"y"})}, {{L"A1", L"", {Text(L"Id", L"11")}}}},
          {L"B", L"Item", {Text(L"Id", L"2"), List(L"Empty", {})}},
          {L"", L"Unnamed", {Text(L"Id", L"")}},
          {L"A", L"Second", {Text(L"Id", L"3")}}}}}});
}

TEST(CompiledSource, YieldsWhatTheTextReadAtEveryStepYields) {
  const std::vector<std::wstring> vocabulary = {L"",         L"*",       L"**",         L"..",         L"<name>",
                                                L"<type>",   L"@Id",     L"@",          L"@Tags",      L"Items",
                                                L"A",        L"Missing", L"[@Id=='1']", L"[@Id!='1']", L"[<name>=='A']",
                                                L"[@Id==1]", L"[x",      L"[]",         L"[Id=='']",   L"[@Tags=='x']"};
  const DXNodePtr root = ModelTree();
  const DXNodePtr start = root.GetChild(L"Items");
  std::vector<std::wstring> paths = {L"", L"\\"};
  std::vector<std::wstring> level = {L""};
  for (int length = 1; length <= 4; ++length) {
    std::vector<std::wstring> next;
    for (const std::wstring& prefix : level) {
      for (const std::wstring& element : vocabulary) next.push_back(prefix + L"\\" + element);
    }
    level = std::move(next);
    for (const std::wstring& path : level) {
      paths.push_back(path);
      paths.push_back(path.substr(1));  // no leading backslash: a literal or a one-element path
      paths.push_back(path + L"\\");
    }
  }
  size_t failures = 0;
  size_t disagreements = 0;
  for (const std::wstring& path : paths) {
    for (const DXNodePtr* node : {&root, &start}) {
      const Outcome expected = Observe([&](ISourceVisitor& visitor) { TextModel::Evaluate(*node, path, visitor); });
      const CompiledSource compiled(path);
      const Outcome actual = Observe([&](ISourceVisitor& visitor) { compiled.Evaluate(*node, visitor); });
      if (expected.code != S_OK) ++failures;
      if (actual == expected) continue;
      if (++disagreements <= 10) ADD_FAILURE() << "the compiled form differs for " << path;
    }
  }
  EXPECT_EQ(disagreements, 0u);
  EXPECT_GT(failures, 0u) << "the vocabulary must reach malformed filters";
}

// Filters the walk never reaches do not fail, however malformed: not after
// a missed step, not after a value step, not as an attribute's follower.
TEST(CompiledSource, MalformedFiltersFailOnlyWhenAWalkReachesThem) {
  const DXNodePtr root = ModelTree();
  struct Case {
    const wchar_t* source;
    HRESULT code;
  } const cases[] = {
      {L"\\Items\\[@Id==1]", NodeErrors::kInvalidData},
      {L"\\Missing\\[@Id==1]", S_OK},
      {L"\\<name>\\[@Id==1]", S_OK},
      {L"\\@Id\\[@Id==1]", S_OK},
      {L"\\Items\\*\\[]", NodeErrors::kInvalidData},
      {L"\\Items\\[[]=='']", NodeErrors::kInvalidData},
  };
  for (const Case& c : cases) {
    const CompiledSource compiled(c.source);  // building never fails
    const Outcome outcome = Observe([&](ISourceVisitor& visitor) { compiled.Evaluate(root, visitor); });
    EXPECT_EQ(outcome.code, c.code) << c.source;
  }
}

}  // namespace
