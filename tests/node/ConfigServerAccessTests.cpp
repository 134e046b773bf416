// The read and write helpers against the reference configuration server.
#include "node/ConfigServerAccess.h"
#include "node/NodeErrors.h"

#include "Sources/Common/ErrorHandling/HRES.h"
#include "module/CompPtr.h"

#include <Kestrova/ComponentsLib.h>

#include <gtest/gtest.h>

namespace {

class ConfigServerAccessTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(CLCreateConfigServer(nullptr, 0, m_server.Put()), S_OK); }
  CompPtr<IDXConfigServer> m_server;
};

TEST_F(ConfigServerAccessTest, FilterNodeCarriesPathParentFlagAndDepth) {
  const DXNodePtr filter = MakeFilterByPath(L"\\A\\B", true, 3);
  EXPECT_EQ(filter.GetName(), L"");
  EXPECT_EQ(filter.GetType(), L"FilterByPath");
  EXPECT_EQ(filter.GetString(L"NodePath"), L"\\A\\B");
  EXPECT_TRUE(filter.GetBool(L"IsParent", false));
  EXPECT_EQ(filter.GetInt64(L"MaxDepth"), 3);
}

TEST_F(ConfigServerAccessTest, WrittenNodeReadsBackWithItsSubtree) {
  DXNodePtr node = DXNodePtr::Create(L"\\Product\\Settings", L"SettingsType");
  node.SetString(L"Mode", L"Full");
  DXNodePtr child = DXNodePtr::Create(L"Child", nullptr);
  child.SetInt64(L"N", 1);
  node.AddChild(child);
  WriteConfigNode(m_server.Get(), node);

  const DXNodePtr read = ReadConfigNode(m_server.Get(), L"\\Product\\Settings", true);
  ASSERT_TRUE(read);
  EXPECT_FALSE(read.GetParent()) << "a parentless copy";
  EXPECT_EQ(read.GetType(), L"SettingsType");
  EXPECT_EQ(read.GetString(L"Mode"), L"Full");
  EXPECT_EQ(read.GetChild(L"Child").GetInt64(L"N"), 1);
}

TEST_F(ConfigServerAccessTest, AbsentNodeByRequirement) {
  EXPECT_FALSE(ReadConfigNode(m_server.Get(), L"\\Nowhere", false));
  try {
    ReadConfigNode(m_server.Get(), L"\\Nowhere", true);
    FAIL() << "no exception";
  } catch (const HRX& failure) {
    EXPECT_EQ(failure.Code(), NodeErrors::kNotFound);
  }
}

TEST_F(ConfigServerAccessTest, ServerFailuresAreRaised) {
  CLFault fault{};
  fault.mode = CLFault_Always;
  fault.result = E_ACCESSDENIED;
  ASSERT_EQ(CLSetFault(m_server.Get(), CLOp_ConfigRead, &fault), S_OK);
  ASSERT_EQ(CLSetFault(m_server.Get(), CLOp_ConfigWrite, &fault), S_OK);
  EXPECT_THROW(ReadConfigNode(m_server.Get(), L"\\A", false), HRX);
  EXPECT_THROW(WriteConfigNode(m_server.Get(), DXNodePtr::Create(L"\\A", nullptr)), HRX);
  EXPECT_THROW(ReadConfigNode(nullptr, L"\\A", false), HRX);
}

}  // namespace
