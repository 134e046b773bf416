#include "node/NodeErrors.h"
#include "node/NodePaths.h"

#include "Sources/Common/ErrorHandling/HRES.h"

#include <gtest/gtest.h>

namespace {

using namespace NodePaths;

TEST(IsPathUnder, MatchesWholeElementsOfAnAbsoluteBase) {
  struct Case {
    const wchar_t* path;
    const wchar_t* base;
    bool under;
    uint32_t depth;
  };
  const Case cases[] = {
      {L"\\a\\bc", L"\\a\\b", false, 0}, {L"\\a\\b\\c\\d", L"\\a\\b", true, 2},
      {L"\\x", L"\\", true, 1},          {L"\\", L"\\", true, 0},
      {L"\\a\\b", L"\\a\\b", true, 0},   {L"\\a\\b", L"\\a", true, 1},
      {L"\\a", L"\\a\\b", false, 0},     {L"a\\b", L"a", false, 0},
      {L"\\A\\b", L"\\a", false, 0},     {L"\\x\\y\\z", L"\\", true, 3},
      {L"\\a", L"", false, 0},           {L"\\ab", L"\\a", false, 0},
  };
  for (const Case& c : cases) {
    uint32_t depth = 99;
    EXPECT_EQ(IsPathUnder(c.path, c.base, &depth), c.under) << c.path << " under " << c.base;
    if (c.under) {
      EXPECT_EQ(depth, c.depth) << c.path << " under " << c.base;
    }
  }
  EXPECT_TRUE(IsPathUnder(L"\\a\\b", L"\\a"));  // depth is optional
}

TEST(ParentPath, CutsAtTheLastSeparator) {
  EXPECT_EQ(ParentPath(L"\\a\\b"), L"\\a");
  EXPECT_EQ(ParentPath(L"\\a"), L"\\");
  EXPECT_EQ(ParentPath(L"\\"), L"\\");
  EXPECT_EQ(ParentPath(L"a"), L"");
}

TEST(AppendPathElement, AppendsOrClimbs) {
  struct Case {
    const wchar_t* path;
    const wchar_t* element;
    const wchar_t* result;
  };
  const Case cases[] = {
      {L"\\a\\b", L"..", L"\\a"}, {L"\\a", L"..", L"\\"},    {L"", L"x", L"\\x"},
      {L"\\", L"x", L"\\x"},      {L"\\a", L"x", L"\\a\\x"}, {L"\\a\\", L"x", L"\\a\\x"},
  };
  for (const Case& c : cases) {
    std::wstring path = c.path;
    AppendPathElement(path, c.element);
    EXPECT_EQ(path, c.result) << c.path << " + " << c.element;
  }
}

TEST(AppendPathElement, ClimbingAboveTheRootRaises) {
  std::wstring root = L"\\";
  try {
    AppendPathElement(root, L"..");
    FAIL() << "no exception";
  } catch (const HRX& failure) {
    EXPECT_EQ(static_cast<uint32_t>(failure.Code()), 0x80040201u);
  }
  std::wstring path = L"\\a";
  AppendPathElements(path, L"b\\..\\c\\d");
  EXPECT_EQ(path, L"\\a\\c\\d");
  std::wstring deep = L"\\a";
  EXPECT_THROW(AppendPathElements(deep, L"..\\.."), HRX);
}

TEST(PathElementKind, TestsKindsInOrder) {
  const std::pair<const wchar_t*, ElementKind> cases[] = {
      {L"*", ElementKind::AnyChild},    {L"**", ElementKind::AnyDescendant}, {L"..", ElementKind::Parent},
      {L"<name>", ElementKind::NameOf}, {L"<type>", ElementKind::TypeOf},    {L"@Id", ElementKind::Attribute},
      {L"@", ElementKind::Attribute},   {L"[@a=1]", ElementKind::Filter},    {L"Users", ElementKind::ChildName},
      {L"", ElementKind::ChildName},    {L"***", ElementKind::ChildName},    {L"<Name>", ElementKind::ChildName},
  };
  for (const auto& [element, kind] : cases) EXPECT_EQ(PathElementKind(element), kind) << element;
}

TEST(SplitAtFirstPattern, CutsBeforeTheFirstElementThatIsNoPlainName) {
  const struct {
    const wchar_t* path;
    const wchar_t* base;
    const wchar_t* pattern;
  } cases[] = {
      {L"\\Settings\\Users\\*", L"\\Settings\\Users", L"\\*"},
      {L"\\Settings\\Users", L"\\Settings\\Users", L"\\"},
      {L"\\*\\Users", L"\\", L"\\*\\Users"},
      {L"\\", L"\\", L"\\"},
      {L"\\a\\\\b", L"\\a", L"\\\\b"},  // an empty element starts the pattern
      {L"\\a\\[@x=='1']\\b\\**", L"\\a", L"\\[@x=='1']\\b\\**"},
      {L"\\a\\..\\b", L"\\a", L"\\..\\b"},
  };
  for (const auto& c : cases) {
    const BaseAndPattern split = SplitAtFirstPattern(c.path);
    EXPECT_EQ(split.basePath, c.base) << c.path;
    EXPECT_EQ(split.patternPath, c.pattern) << c.path;
  }
}

}  // namespace
