#include "Sources/Subsystems/UsageStatistics/Kestrova/SourceEvaluation.h"

#include "Sources/Common/ErrorHandling/HRES.h"
#include "node/NodeErrors.h"
#include "support/HresultOf.h"
#include "support/NodeBuilder.h"

#include <gtest/gtest.h>

namespace {

using namespace UsageStatistics;
using namespace KestrovaTest;

// Records what an evaluation yields, in order.
class Recorder final : public ISourceVisitor {
 public:
  void OnNode(const DXNodePtr& node) override { nodes.push_back(node.GetName()); }
  void OnValue(const std::wstring& value) override { values.push_back(value); }
  std::vector<std::wstring> nodes;
  std::vector<std::wstring> values;
};

DXNodePtr SourceTree() {
  return Build({L"Root",
                L"RootType",
                {},
                {{L"Items",
                  L"ItemList",
                  {Text(L"State", L"On"), Text(L"Mode", L"Full")},
                  {{L"A", L"", {Text(L"Id", L"1"), List(L"Tags", {L"x", L"y"})}, {{L"A1", L"", {Text(L"Id", L"11")}}}},
                   {L"B", L"", {Text(L"Id", L"2"), List(L"Empty", {})}},
                   {L"C"}}}}});
}

struct SourceCase {
  const wchar_t* source;
  std::vector<std::wstring> nodes;
  std::vector<std::wstring> values;
};

class EvaluateSourceTest : public ::testing::TestWithParam<SourceCase> {};

TEST_P(EvaluateSourceTest, YieldsNodesAndValuesInOrder) {
  const SourceCase& c = GetParam();
  const DXNodePtr root = SourceTree();
  Recorder recorder;
  EvaluateSource(root, c.source, recorder);
  EXPECT_EQ(recorder.nodes, c.nodes);
  EXPECT_EQ(recorder.values, c.values);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, EvaluateSourceTest,
    ::testing::Values(
        SourceCase{L"", {L"Root"}, {}}, SourceCase{L"Total", {}, {L"Total"}},
        SourceCase{L"Folder\\Sub", {}, {L"Folder\\Sub"}}, SourceCase{L"..\\x", {}, {L"..\\x"}},
        SourceCase{L"*\\<name>", {}, {L"*\\<name>"}}, SourceCase{L"\\Items", {L"Items"}, {}},
        SourceCase{L"\\Items\\", {L"Items"}, {}}, SourceCase{L"\\Items\\\\x", {}, {}}, SourceCase{L"\\Total", {}, {}},
        SourceCase{L"\\Items\\*", {L"A", L"B", L"C"}, {}}, SourceCase{L"\\Items\\*\\<name>", {}, {L"A", L"B", L"C"}},
        SourceCase{L"\\**", {L"Items", L"A", L"A1", L"B", L"C"}, {}}, SourceCase{L"\\**\\@Id", {}, {L"1", L"11", L"2"}},
        SourceCase{L"\\**\\<name>", {}, {L"Items", L"A", L"A1", L"B", L"C"}},
        SourceCase{L"\\**\\@Tags", {}, {L"x", L"y"}}, SourceCase{L"\\**\\@Id\\", {}, {L"1", L"11", L"2"}},
        SourceCase{L"\\**\\@State", {}, {L"On"}},
        SourceCase{L"\\**\\@Id\\<name>", {}, {L"Id", L"Id", L"Id", L"Id", L"Id"}},
        SourceCase{L"\\Items\\[@State=='On']\\<name>", {}, {L"Items"}},
        SourceCase{L"\\Items\\[@State=='on']\\<name>", {}, {}}, SourceCase{L"\\Items\\[@State!='Off']", {L"Items"}, {}},
        SourceCase{L"\\Items\\*\\[@Id=='2']\\<name>", {}, {L"B"}},
        SourceCase{L"\\Items\\*\\[@Missing=='']\\<name>", {}, {L"A", L"B", L"C"}}, SourceCase{L"\\Items\\[Foo", {}, {}},
        SourceCase{L"\\Items\\A\\@Tags", {}, {L"x", L"y"}}, SourceCase{L"\\Items\\B\\@Empty", {}, {}},
        SourceCase{L"\\Items\\A\\@Missing", {}, {}}, SourceCase{L"@Any\\<name>", {}, {L"Any"}},
        SourceCase{L"\\Items\\A\\@\\*", {}, {L"1", L"x", L"y"}},
        SourceCase{L"\\Items\\A\\@\\*\\<name>", {}, {L"Id", L"Tags"}},
        SourceCase{L"\\Items\\A\\@Ignored\\Id", {}, {L"1"}}, SourceCase{L"\\Items\\A\\@Id\\..", {}, {}},
        SourceCase{L"\\Items\\A\\@Id\\Missing\\Id", {}, {}}, SourceCase{L"\\Items\\A\\..\\<name>", {}, {L"Items"}},
        SourceCase{L"..", {}, {}}, SourceCase{L"<name>", {}, {L"Root"}}, SourceCase{L"<type>", {}, {L"RootType"}},
        SourceCase{L"\\Items\\<type>", {}, {L"ItemList"}}, SourceCase{L"@Missing", {}, {}},
        SourceCase{L"\\Items\\@Mode", {}, {L"Full"}}));

TEST(EvaluateSource, MalformedFiltersFailWhenReached) {
  const DXNodePtr root = SourceTree();
  for (const wchar_t* source : {L"\\Items\\[@State==On]", L"\\Items\\[@State]", L"\\Items\\[@State==]",
                                L"\\Items\\[@State=='On]", L"\\Items\\[@State==']"}) {
    Recorder recorder;
    try {
      EvaluateSource(root, source, recorder);
      ADD_FAILURE() << "no failure for " << source;
    } catch (const HRX& failure) {
      EXPECT_EQ(failure.Code(), NodeErrors::kInvalidData) << source;
    }
  }
  // Not reached: no failure.
  Recorder recorder;
  EvaluateSource(root, L"\\Nowhere\\[@State==On]", recorder);
  EXPECT_TRUE(recorder.values.empty());
}

TEST(PathPredicate, SplitsAtTheFirstEqualityOperator) {
  const PathPredicate both = PathPredicate::Parse(L"@a=='x'!='y'");
  EXPECT_EQ(both.leftPath, L"@a");
  EXPECT_EQ(both.value, L"x'!='y");
  EXPECT_EQ(both.op, PathPredicate::Operator::Equal);
  const PathPredicate notEqual = PathPredicate::Parse(L"<name>!=' x '");
  EXPECT_EQ(notEqual.leftPath, L"<name>");
  EXPECT_EQ(notEqual.value, L" x ");
  EXPECT_EQ(notEqual.op, PathPredicate::Operator::NotEqual);
  EXPECT_EQ(PathPredicate::Parse(L"@a==''").value, L"");
}

TEST(NextPathElement, SkipsOneLeadingSeparator) {
  struct Case {
    const wchar_t* path;
    std::vector<std::wstring> elements;
  };
  const Case cases[] = {
      {L"", {}},
      {L"\\", {}},
      {L"\\a\\b", {L"a", L"b"}},
      {L"a\\b\\", {L"a", L"b"}},
      {L"\\\\a", {L"", L"a"}},
      {L"\\a\\\\b", {L"a", L"", L"b"}},
  };
  for (const Case& c : cases) {
    std::vector<std::wstring> elements;
    size_t position = 0;
    std::wstring_view element;
    while (NextPathElement(c.path, position, element)) elements.emplace_back(element);
    EXPECT_EQ(elements, c.elements) << c.path;
  }
}

TEST(ResolveValues, FirstAndAll) {
  const DXNodePtr root = SourceTree();
  EXPECT_EQ(ResolveFirstValue(root, L""), L"");
  EXPECT_EQ(ResolveFirstValue(root, L"\\**\\@Id"), L"1");
  EXPECT_EQ(ResolveAllValues(root, L"\\**\\@Id"), (std::vector<std::wstring>{L"1", L"11", L"2"}));
  EXPECT_TRUE(ResolveAllValues(root, L"\\Items").empty());
  EXPECT_TRUE(IsLiteralSource(L"Total"));
  EXPECT_FALSE(IsLiteralSource(L""));
  EXPECT_FALSE(IsLiteralSource(L"@Title"));
  EXPECT_FALSE(IsLiteralSource(L"[x]"));
  EXPECT_FALSE(IsLiteralSource(L"\\Folder\\Sub"));
}

// "**" walks any depth a sender gives it without running out of stack: a
// chain of 10,000 nodes, the deepest one carrying the value.
TEST(EvaluateSource, AnyDescendantReachesTheBottomOfAVeryDeepTree) {
  const DXNodePtr root = DXNodePtr::Create(L"Root", nullptr);
  DXNodePtr current = root;
  for (int level = 0; level < 10000; ++level) {
    const DXNodePtr child = DXNodePtr::Create(L"n", nullptr);
    current.AddChild(child);
    current = child;
  }
  current.SetString(L"Id", L"deepest");
  EXPECT_EQ(ResolveAllValues(root, L"\\**\\@Id"), std::vector<std::wstring>{L"deepest"});
  EXPECT_EQ(ResolveFirstValue(root, L"\\**\\[@Id=='deepest']\\<name>"), L"n");

  // One wildcard per level recurses once per element: paths stop at 256 elements.
  std::wstring stars;
  for (int element = 0; element < 255; ++element) stars += L"\\*";
  EXPECT_EQ(HresultOf([&] { ResolveAllValues(root, stars + L"\\<name>"); }), S_OK);
  for (int element = 255; element < 10000; ++element) stars += L"\\*";
  EXPECT_EQ(HresultOf([&] { ResolveAllValues(root, stars + L"\\@Id"); }), NodeErrors::kInvalidData);
}

}  // namespace
