#include "node/Identity.h"

#include <gtest/gtest.h>

namespace {

TEST(Identity, NamesTheProcessUserAndTheHost) {
  const std::wstring user = Identity::GetProcessUserName();
  EXPECT_FALSE(user.empty());
  EXPECT_NE(user.back(), L'\\');
  EXPECT_FALSE(Identity::GetHostName().empty());
}

TEST(Identity, AddsTheItemsTheMaskAsksFor) {
  struct Case {
    uint32_t mask;
    std::vector<std::wstring> names;
  };
  const Case cases[] = {{0, {}}, {1, {L"UserName"}}, {2, {L"HostName"}}, {3, {L"UserName", L"HostName"}}};
  for (const Case& c : cases) {
    DXNodePtr frame = DXNodePtr::Create(nullptr, L"UsageActivityFrame");
    Identity::AddIdentityItems(frame, c.mask);
    std::vector<std::wstring> names;
    frame.ForEachChild([&](const DXNodePtr& item) {
      names.push_back(item.GetString(L"Name"));
      EXPECT_EQ(item.GetType(), L"UsageActivityFrame");
      EXPECT_FALSE(item.GetString(L"Value").empty());
      EXPECT_EQ(item.GetChildCount(), 0u);
    });
    EXPECT_EQ(names, c.names) << "mask " << c.mask;
  }
  DXNodePtr frame = DXNodePtr::Create(nullptr, L"UsageActivityFrame");
  Identity::AddIdentityItems(frame, 1);
  EXPECT_EQ(frame.GetChild(0u).GetString(L"Value"), Identity::GetProcessUserName());
}

}  // namespace
