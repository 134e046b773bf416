// Entry kinds built by the factory from configuration nodes and resolved
// against small source trees.
#include "Sources/Subsystems/UsageStatistics/Kestrova/UsageActivityEntryFactory.h"

#include "Sources/Common/ErrorHandling/HRES.h"
#include "node/NodeErrors.h"
#include "resolution/FrameText.h"
#include "support/NodeBuilder.h"

#include "support/HresultOf.h"

#include <gtest/gtest.h>

namespace {

using namespace UsageStatistics;
using namespace KestrovaTest;

std::wstring Resolve(const NodeSpec& rule, const NodeSpec& source) {
  return FramesText(MakeActivityEntry(Build(rule))->ResolveActivityEntry(Build(source)));
}

NodeSpec Item(std::wstring name, std::wstring value, std::vector<AttributeSpec> more = {}) {
  more.insert(more.begin(), {Text(L"NameSource", std::move(name)), Text(L"ValueSource", std::move(value))});
  return {L"", L"UsageActivityItem", std::move(more), {}};
}

// Root with Items {A[Id=1], B[Id=2], C} and Settings[Mode=Full].
NodeSpec SourceSpec() {
  return {L"Root",
          L"",
          {},
          {{L"Items", L"", {}, {{L"A", L"", {Text(L"Id", L"1")}}, {L"B", L"", {Text(L"Id", L"2")}}, {L"C"}}},
           {L"Settings", L"", {Text(L"Mode", L"Full")}}}};
}

struct ResolveCase {
  const char* name;
  NodeSpec rule;
  std::wstring frames;
};

class ResolveEntryTest : public ::testing::TestWithParam<ResolveCase> {};

TEST_P(ResolveEntryTest, ProducesTheFrames) { EXPECT_EQ(Resolve(GetParam().rule, SourceSpec()), GetParam().frames); }

NodeSpec Counter(std::wstring name, std::vector<AttributeSpec> more = {}) {
  more.insert(more.begin(), Text(L"NameSource", std::move(name)));
  return {L"", L"UsageActivityItemCounter", std::move(more), {}};
}

NodeSpec Group(std::vector<AttributeSpec> settings, std::vector<NodeSpec> entries) {
  return {L"", L"UsageActivityItemsGroup", std::move(settings), std::move(entries)};
}

NodeSpec Set(std::vector<AttributeSpec> settings, std::vector<NodeSpec> entries) {
  return {L"", L"UsageActivityItemsSet", std::move(settings), std::move(entries)};
}

NodeSpec Case(std::wstring path1, std::wstring path2, bool negate = false) {
  return {
      L"", L"CaseCondition", {Text(L"CaseValuePath1", path1), Text(L"CaseValuePath2", path2), Bool(L"Not", negate)}};
}

NodeSpec If(NodeSpec condition, std::vector<NodeSpec> thenEntries, std::vector<NodeSpec>* elseEntries = nullptr) {
  condition.name = L"Condition";
  NodeSpec node{L"", L"If", {}, {condition, {L"Then", L"", {}, std::move(thenEntries)}}};
  if (elseEntries) node.children.push_back({L"Else", L"", {}, *elseEntries});
  return node;
}

std::vector<NodeSpec> kElseYes{Item(L"Branch", L"else")};

INSTANTIATE_TEST_SUITE_P(
    Items, ResolveEntryTest,
    ::testing::Values(
        ResolveCase{"FirstValue", Item(L"Mode", L"\\Settings\\@Mode"), L"Mode=Full"},
        ResolveCase{"FirstOfMany", Item(L"Id", L"\\Items\\*\\@Id"), L"Id=1"},
        ResolveCase{"NoValueGivesEmptyText", Item(L"Id", L"\\Nowhere\\@Id"), L"Id="},
        ResolveCase{"NameFromThePath", Item(L"\\Settings\\<name>", L"x"), L"Settings=x"},
        ResolveCase{"NameSourceYieldingNothing", Item(L"\\Nowhere\\<name>", L"x"), L"=x"},
        ResolveCase{"ListOfValues", Item(L"Ids", L"\\Items\\*\\@Id", {Int64(L"ActivityItemType", 1)}), L"Ids=[1,2]"},
        ResolveCase{"EmptyList", Item(L"Ids", L"\\Nowhere\\@Id", {Int64(L"ActivityItemType", 1)}), L"Ids=[]"},
        ResolveCase{"FramePerValue", Item(L"Id", L"\\Items\\*\\@Id", {Int64(L"ActivityItemType", 2)}), L"Id=1; Id=2"},
        ResolveCase{"FramePerValueOfNothing", Item(L"Id", L"\\Nowhere\\@Id", {Int64(L"ActivityItemType", 2)}), L""},
        ResolveCase{"FramePerValueOfALiteral", Item(L"Id", L"Literal", {Int64(L"ActivityItemType", 2)}),
                    L"Id=Literal"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Counters, ResolveEntryTest,
    ::testing::Values(
        ResolveCase{"CountsNames", Counter(L"Items", {Text(L"ValueSource", L"\\Items\\*\\<name>")}), L"Items=#3"},
        ResolveCase{"NodesAreNotValues", Counter(L"Items", {Text(L"ValueSource", L"\\Items\\*")}), L"Items=#0"},
        ResolveCase{"NoValueSource", Counter(L"Items"), L"Items=#0"},
        ResolveCase{"LiteralCountsOne", Counter(L"Items", {Text(L"ValueSource", L"x")}), L"Items=#1"},
        ResolveCase{"DuplicatesCount", Counter(L"N", {Text(L"ValueSource", L"\\**\\<type>")}), L"N=#5"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Groups, ResolveEntryTest,
    ::testing::Values(
        ResolveCase{"UnnamedIsFlat", Group({Text(L"ConfigPath", L"\\Items\\*")}, {Item(L"Name", L"<name>")}),
                    L"Name=A; Name=B; Name=C"},
        ResolveCase{
            "NamedGathers",
            Group({Text(L"NameSource", L"All"), Text(L"ConfigPath", L"\\Items\\*")}, {Item(L"Name", L"<name>")}),
            L"All{Name=A; Name=B; Name=C}"},
        ResolveCase{"NamedMatchingNothing", Group({Text(L"NameSource", L"All"), Text(L"ConfigPath", L"\\None")}, {}),
                    L"All"},
        ResolveCase{"GroupNameFromTheSourceNode",
                    Group({Text(L"NameSource", L"<name>"), Text(L"ConfigPath", L"\\Items\\*")}, {}), L"Root"},
        ResolveCase{"EmptyEntryStopsThatNode",
                    Group({Text(L"NameSource", L"All"), Text(L"ConfigPath", L"\\Items\\*")},
                          {Item(L"Id", L"@Id", {Int64(L"ActivityItemType", 2)}), Item(L"Name", L"<name>")}),
                    L"All{Id=1; Name=A; Id=2; Name=B}"},
        ResolveCase{
            "AllowEmptyPassesOver",
            Group({Text(L"NameSource", L"All"), Text(L"ConfigPath", L"\\Items\\*"), Bool(L"IsAllowEmpty", true)},
                  {Item(L"Id", L"@Id", {Int64(L"ActivityItemType", 2)}), Item(L"Name", L"<name>")}),
            L"All{Id=1; Name=A; Id=2; Name=B; Name=C}"},
        ResolveCase{"LiteralSelectionSelectsNothing", Group({Text(L"ConfigPath", L"Items")}, {Item(L"X", L"y")}), L""}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Sets, ResolveEntryTest,
    ::testing::Values(ResolveCase{"FramePerSelectedNode",
                                  Set({Text(L"NameSource", L"<name>"), Text(L"ConfigPath", L"\\Items\\*")}, {}),
                                  L"A(multi=0); B(multi=0); C(multi=0)"},
                      ResolveCase{"DefaultSelectionIsTheSource",
                                  Set({Text(L"NameSource", L"<name>"), Bool(L"IsMultiValue", true)}, {}),
                                  L"Root(multi=1)"},
                      ResolveCase{"EmptyEntryDropsThatFrame",
                                  Set({Text(L"NameSource", L"<name>"), Text(L"ConfigPath", L"\\Items\\*")},
                                      {Item(L"Id", L"@Id", {Int64(L"ActivityItemType", 2)})}),
                                  L"A(multi=0){Id=1}; B(multi=0){Id=2}"},
                      ResolveCase{"AllowEmptyKeepsThatFrame",
                                  Set({Text(L"NameSource", L"<name>"), Text(L"ConfigPath", L"\\Items\\*"),
                                       Bool(L"IsAllowEmpty", true)},
                                      {Item(L"Id", L"@Id", {Int64(L"ActivityItemType", 2)})}),
                                  L"A(multi=0){Id=1}; B(multi=0){Id=2}; C(multi=0)"},
                      ResolveCase{"LiteralSelectionSelectsNothing",
                                  Set({Text(L"NameSource", L"x"), Text(L"ConfigPath", L"Items")}, {}), L""}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Conditions, ResolveEntryTest,
    ::testing::Values(
        ResolveCase{"CaseTrue", If(Case(L"\\Settings\\@Mode", L"Full"), {Item(L"Branch", L"then")}), L"Branch=then"},
        ResolveCase{"CaseLetterCase", If(Case(L"\\Settings\\@Mode", L"full"), {Item(L"Branch", L"then")}), L""},
        ResolveCase{"CaseFalseTakesElse",
                    If(Case(L"\\Settings\\@Mode", L"full"), {Item(L"Branch", L"then")}, &kElseYes), L"Branch=else"},
        ResolveCase{"TwoEmptyValuesAreEqual", If(Case(L"\\None\\@x", L"\\None\\@y"), {Item(L"Branch", L"then")}),
                    L"Branch=then"},
        ResolveCase{"NotInverts", If(Case(L"\\None\\@x", L"\\None\\@y", true), {Item(L"Branch", L"then")}), L""},
        ResolveCase{"EmptyThen", If(Case(L"a", L"a"), {}), L""},
        ResolveCase{"OrShortCircuits",
                    If({L"", L"OrCondition", {}, {Case(L"a", L"a"), Case(L"\\Items\\[@x==bad]\\@y", L"")}},
                       {Item(L"Branch", L"then")}),
                    L"Branch=then"},
        ResolveCase{"AndShortCircuits",
                    If({L"", L"AndCondition", {}, {Case(L"a", L"b"), Case(L"\\Items\\[@x==bad]\\@y", L"")}},
                       {Item(L"Branch", L"then")}, &kElseYes),
                    L"Branch=else"},
        ResolveCase{"NestedConditions",
                    If({L"",
                        L"AndCondition",
                        {},
                        {{L"", L"OrCondition", {}, {Case(L"a", L"b"), Case(L"\\Settings\\@Mode", L"Full")}},
                         Case(L"\\Items\\A\\@Id", L"1")}},
                       {Item(L"Branch", L"then"), Item(L"Second", L"x")}),
                    L"Branch=then; Second=x"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ItemsSet, ResolvesTheUsersExample) {
  const NodeSpec rule =
      Set({Text(L"NameSource", L"<name>"), Text(L"ConfigPath", L"\\Users\\*")}, {Item(L"Enabled", L"@Enabled")});
  const NodeSpec source{L"Source", L"", {}, {{L"Users", L"", {}, {{L"U1", L"", {Text(L"Enabled", L"1")}}, {L"U2"}}}}};
  const auto frames = MakeActivityEntry(Build(rule))->ResolveActivityEntry(Build(source));
  EXPECT_EQ(FramesText(frames), L"U1(multi=0){Enabled=1}; U2(multi=0){Enabled=}");
  for (const DXNodePtr& frame : frames) {
    EXPECT_EQ(frame.GetName(), L"");
    EXPECT_EQ(frame.GetType(), L"UsageActivityFrame");
    EXPECT_FALSE(frame.GetParent());
  }
}

// A source whose attributes are not all texts: lists (one of them holding a
// single empty text), numbers and booleans, as real configuration holds them.
NodeSpec TypedSource() {
  return {L"Switch",
          L"",
          {Bool(L"Enabled", true), Bool(L"Hidden", false), Int64(L"MaxAgeDays", -30), List(L"One", {L""}),
           List(L"None", {}), List(L"Tags", {L"a", L"", L"b"})},
          {{L"Users", L"", {}, {{L"U1", L"", {List(L"Roles", {L""})}}, {L"U2", L"", {Text(L"Roles", L"x")}}}}}};
}

TEST(TypedAttributes, RulesReadListsNumbersAndBooleans) {
  const struct {
    const char* what;
    NodeSpec rule;
    std::wstring frames;
  } cases[] = {
      {"a list of one empty text counts one", Counter(L"N", {Text(L"ValueSource", L"@One")}), L"N=#1"},
      {"an empty list counts none", Counter(L"N", {Text(L"ValueSource", L"@None")}), L"N=#0"},
      {"empty texts in a list count", Counter(L"N", {Text(L"ValueSource", L"@Tags")}), L"N=#3"},
      {"a list of one empty text keeps its item", Item(L"V", L"@One", {Int64(L"ActivityItemType", 2)}), L"V="},
      {"a boolean", Item(L"Enabled", L"@Enabled"), L"Enabled=true"},
      {"a false boolean", Item(L"Hidden", L"@Hidden"), L"Hidden=false"},
      {"a number", Item(L"Age", L"@MaxAgeDays"), L"Age=-30"},
      {"every attribute", Item(L"All", L"@\\*", {Int64(L"ActivityItemType", 1)}), L"All=[true,false,-30,,a,,b]"},
      {"a filter on a boolean", Item(L"On", L"\\[@Enabled=='true']\\<name>"), L"On=Switch"},
      {"a set keeps a node whose list holds one empty text",
       Set({Text(L"NameSource", L"<name>"), Text(L"ConfigPath", L"\\Users\\*")},
           {Item(L"Role", L"@Roles", {Int64(L"ActivityItemType", 2)})}),
       L"U1(multi=0){Role=}; U2(multi=0){Role=x}"},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.what);
    EXPECT_EQ(Resolve(test.rule, TypedSource()), test.frames);
  }
}

struct FailureCase {
  const char* name;
  NodeSpec rule;
  HRESULT atConstruction;  // S_OK: construction succeeds
  HRESULT atResolution;
};

class EntryFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(EntryFailureTest, FailsWhereItShould) {
  const FailureCase& c = GetParam();
  ActivityEntryPtr entry;
  EXPECT_EQ(HresultOf([&] { entry = MakeActivityEntry(Build(c.rule)); }), c.atConstruction);
  if (c.atConstruction == S_OK) {
    ASSERT_TRUE(entry);
    EXPECT_EQ(HresultOf([&] { entry->ResolveActivityEntry(Build(SourceSpec())); }), c.atResolution);
  }
}

const HRESULT kNotFound = NodeErrors::kNotFound;
const HRESULT kInvalidData = NodeErrors::kInvalidData;

INSTANTIATE_TEST_SUITE_P(
    Rules, EntryFailureTest,
    ::testing::Values(
        FailureCase{"TypeInOtherCase", {L"", L"usageActivityItem", {Text(L"NameSource", L"a")}}, E_INVALIDARG, S_OK},
        FailureCase{"KnownNameUnknownType", {L"UsageActivityItem", L"Other", {}}, E_INVALIDARG, S_OK},
        FailureCase{"UntypedNode", {L"UsageActivityItem", L"", {}}, E_INVALIDARG, S_OK},
        FailureCase{
            "ItemWithoutNameSource", {L"", L"UsageActivityItem", {Text(L"ValueSource", L"a")}}, kNotFound, S_OK},
        FailureCase{
            "ItemWithoutValueSource", {L"", L"UsageActivityItem", {Text(L"NameSource", L"a")}}, kNotFound, S_OK},
        FailureCase{"CounterWithoutNameSource", {L"", L"UsageActivityItemCounter", {}}, kNotFound, S_OK},
        FailureCase{"SetWithoutNameSource", Set({}, {}), kNotFound, S_OK},
        FailureCase{"InvalidNestedEntry", Group({}, {Item(L"a", L"b"), {L"", L"Bogus"}}), E_INVALIDARG, S_OK},
        FailureCase{"ItemTypeThree", Item(L"a", L"b", {Int64(L"ActivityItemType", 3)}), S_OK, kInvalidData},
        FailureCase{"ItemTypeMinusOne", Item(L"a", L"b", {Int64(L"ActivityItemType", -1)}), S_OK, kInvalidData},
        FailureCase{"ItemTypeAsText", Item(L"a", L"b", {Text(L"ActivityItemType", L"1")}), DXN_E_TYPE_MISMATCH, S_OK},
        FailureCase{"MalformedFilterAtResolution", Item(L"a", L"\\Items\\[@Id==1]\\@Id"), S_OK, kInvalidData},
        FailureCase{"IfWithoutCondition", {L"", L"If", {}, {{L"Then"}}}, kNotFound, S_OK},
        FailureCase{
            "IfWithoutThen",
            {L"",
             L"If",
             {},
             {{L"Condition", L"CaseCondition", {Text(L"CaseValuePath1", L"a"), Text(L"CaseValuePath2", L"a")}}}},
            kNotFound,
            S_OK},
        FailureCase{"CaseWithoutSecondPath", If({L"", L"CaseCondition", {Text(L"CaseValuePath1", L"a")}}, {}),
                    kNotFound, S_OK},
        FailureCase{"ConditionTypeInOtherCase", If({L"", L"orCondition", {}, {Case(L"a", L"a")}}, {}), kInvalidData,
                    S_OK},
        FailureCase{"OrWithoutChildren", If({L"", L"OrCondition"}, {}), kInvalidData, S_OK},
        FailureCase{"AndWithoutChildren", If({L"", L"AndCondition"}, {}), kInvalidData, S_OK},
        FailureCase{"InvalidEntryInElse",
                    {L"",
                     L"If",
                     {},
                     {{L"Condition", L"CaseCondition", {Text(L"CaseValuePath1", L"a"), Text(L"CaseValuePath2", L"a")}},
                      {L"Then"},
                      {L"Else", L"", {}, {{L"", L"Bogus"}}}}},
                    E_INVALIDARG,
                    S_OK},
        FailureCase{"OrReachingAMalformedFilter",
                    If({L"", L"OrCondition", {}, {Case(L"a", L"b"), Case(L"\\Items\\[@x==bad]\\@y", L"")}}, {}), S_OK,
                    kInvalidData}),
    [](const auto& info) { return std::string(info.param.name); });

// Sets around an item: levels in all.
NodeSpec NestedSets(int levels) {
  NodeSpec rule = Item(L"a", L"b");
  for (int level = 1; level < levels; ++level) rule = Set({Text(L"NameSource", L"<name>")}, {rule});
  return rule;
}

// An If whose condition is an AND chain of depth levels around a case.
NodeSpec NestedConditions(int depth) {
  NodeSpec condition = Case(L"a", L"a");
  for (int level = 0; level < depth; ++level) condition = {L"", L"AndCondition", {}, {condition}};
  return If(condition, {Item(L"a", L"b")});
}

// Rules and conditions nest at most 64 levels: deeper ones fail to build
// instead of running the thread out of stack, and the count starts afresh.
TEST(RuleNesting, SixtyFourLevelsBuildDeeperFail) {
  EXPECT_EQ(HresultOf([] { MakeActivityEntry(Build(NestedSets(64))); }), S_OK);
  EXPECT_EQ(HresultOf([] { MakeActivityEntry(Build(NestedSets(65))); }), kInvalidData);
  EXPECT_EQ(HresultOf([] { MakeActivityEntry(Build(NestedSets(500))); }), kInvalidData);
  EXPECT_EQ(HresultOf([] { MakeActivityEntry(Build(NestedConditions(500))); }), kInvalidData);
  EXPECT_EQ(HresultOf([] { MakeActivityEntry(Build(NestedSets(64))); }), S_OK) << "a failure leaves no depth behind";
  const ActivityEntryPtr entry = MakeActivityEntry(Build(NestedConditions(60)));
  EXPECT_EQ(FramesText(entry->ResolveActivityEntry(Build(SourceSpec()))),
            FramesText(MakeActivityEntry(Build(Item(L"a", L"b")))->ResolveActivityEntry(Build(SourceSpec()))));
}

}  // namespace
