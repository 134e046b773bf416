// The store's node text file: loading at creation, saving on request and on
// every change, and rejection of unusable files.
#include "HostTestSupport.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace HostTest {
namespace {

class StoreFileTest : public LiveObjectsTest {
 protected:
  void SetUp() override {
    LiveObjectsTest::SetUp();
    wchar_t directory[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, directory);
    m_path = std::wstring(directory) + L"ComponentsLibStore-" + std::to_wstring(::GetCurrentProcessId()) + L".xml";
    ::DeleteFileW(m_path.c_str());
  }
  void TearDown() override {
    ::DeleteFileW(m_path.c_str());
    LiveObjectsTest::TearDown();
  }

  static HRESULT Write(IDXConfigServer* server, const Node& node) {
    IDXNode* handles[] = {node.Get()};
    return server->WriteNodes(nullptr, 0, handles, 1);
  }
  static Node Read(IDXConfigServer* server, const std::wstring& path) {
    const Node filter = MakeFilter(path);
    IDXNode* result = nullptr;
    uint32_t count = 0;
    EXPECT_EQ(server->ReadNodes(filter.Get(), 0, &result, 1, &count), S_OK);
    return Node::Adopt(result);
  }
  void WriteFileText(const std::string& text) {
    std::ofstream file(std::filesystem::path(m_path), std::ios::binary);
    file << text;
  }
  std::string FileText() {
    std::ifstream file(std::filesystem::path(m_path), std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

  std::wstring m_path;
};

TEST_F(StoreFileTest, SavedStoreLoadsBackWhole) {
  {
    CompPtr<IDXConfigServer> server;
    ASSERT_EQ(CLCreateConfigServer(m_path.c_str(), 0, server.Put()), S_OK);  // no file yet: empty store
    ASSERT_EQ(Write(server.Get(), MakeNode(L"\\", nullptr, {Attribute::Text(L"Root", L"r")})), S_OK);
    Node status = MakeNode(L"\\Status\\{1}", L"ConfigSnapshotStatus",
                           {Attribute::Text(L"LastSnapshotTime", L"2024-01-31T23:59:00Z"),
                            Attribute::Text(L"Odd", L"<&>\"\r\n\t")});
    ASSERT_EQ(Write(server.Get(), status), S_OK);
    EXPECT_EQ(server->Flush(0), S_OK);
    EXPECT_EQ(server->Flush(1), E_INVALIDARG);
  }
  const std::string text = FileText();
  EXPECT_EQ(text.rfind("<nr>\r\n", 0), 0u) << text;
  CompPtr<IDXConfigServer> reloaded;
  ASSERT_EQ(CLCreateConfigServer(m_path.c_str(), CL_CONFIG_SERVER_REQUIRE_FILE, reloaded.Put()), S_OK);
  const Node status = Read(reloaded.Get(), L"\\Status\\{1}");
  ASSERT_TRUE(status);
  EXPECT_EQ(status.Type(), L"ConfigSnapshotStatus");
  EXPECT_EQ(TextOf(status, L"LastSnapshotTime"), L"2024-01-31T23:59:00Z");
  EXPECT_EQ(TextOf(status, L"Odd"), L"<&>\"\r\n\t");
  EXPECT_EQ(TextOf(Read(reloaded.Get(), L"\\"), L"Root"), L"r");
}

TEST_F(StoreFileTest, SaveOnChangeKeepsTheFileCurrent) {
  CompPtr<IDXConfigServer> server;
  ASSERT_EQ(CLCreateConfigServer(m_path.c_str(), CL_CONFIG_SERVER_SAVE_ON_CHANGE, server.Put()), S_OK);
  ASSERT_EQ(Write(server.Get(), MakeNode(L"\\Veltrano\\UsageStatisticsSettings", nullptr, {Attribute::Bool(L"Enabled", true)})),
            S_OK);
  CompPtr<IDXConfigServer> reader;
  ASSERT_EQ(CLCreateConfigServer(m_path.c_str(), CL_CONFIG_SERVER_REQUIRE_FILE, reader.Put()), S_OK);
  EXPECT_EQ(Read(reader.Get(), L"\\Veltrano\\UsageStatisticsSettings").GetBool(L"Enabled"), true);
}

TEST_F(StoreFileTest, NamedTopLevelNodesBecomeChildrenOfTheRoot) {
  WriteFileText(
      "\xEF\xBB\xBF<?xml version=\"1.0\"?>\r\n<nr>\r\n"
      "  <node name=\"Veltrano\">\r\n"
      "    <node name=\"UsageStatisticsSettings\"><attr name=\"Enabled\" type=\"bool\">false</attr></node>\r\n"
      "  </node>\r\n"
      "  <node name=\"Other\" type=\"T\"/>\r\n"
      "</nr>\r\n");
  CompPtr<IDXConfigServer> server;
  ASSERT_EQ(CLCreateConfigServer(m_path.c_str(), 0, server.Put()), S_OK);
  EXPECT_EQ(Read(server.Get(), L"\\Veltrano\\UsageStatisticsSettings").GetBool(L"Enabled"), false);
  EXPECT_EQ(Read(server.Get(), L"\\Other").Type(), L"T");
}

TEST_F(StoreFileTest, UnusableFilesFailCreation) {
  CompPtr<IDXConfigServer> server;
  EXPECT_EQ(CLCreateConfigServer(m_path.c_str(), CL_CONFIG_SERVER_REQUIRE_FILE, server.Put()),
            HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(CLCreateConfigServer(nullptr, CL_CONFIG_SERVER_REQUIRE_FILE, server.Put()), E_INVALIDARG);
  EXPECT_EQ(CLCreateConfigServer(nullptr, 0x80, server.Put()), E_INVALIDARG);
  EXPECT_EQ(CLCreateConfigServer(nullptr, 0, nullptr), E_POINTER);
  WriteFileText("<nr><node name=\"A\"><attr name=\"x\" type=\"int32\">oops</attr></node></nr>");
  EXPECT_EQ(CLCreateConfigServer(m_path.c_str(), 0, server.Put()), HRESULT_FROM_WIN32(ERROR_INVALID_DATA));
  WriteFileText("<nr><node/><node/></nr>");  // unnamed nodes that are not one root
  EXPECT_EQ(CLCreateConfigServer(m_path.c_str(), 0, server.Put()), HRESULT_FROM_WIN32(ERROR_INVALID_DATA));
  EXPECT_FALSE(server);
}

TEST_F(StoreFileTest, SaveToWritesACopyElsewhere) {
  CompPtr<IDXConfigServer> server;
  ASSERT_EQ(CLCreateConfigServer(nullptr, 0, server.Put()), S_OK);
  EXPECT_EQ(server->Flush(0), S_FALSE);  // no file of its own
  EXPECT_EQ(CLConfigServerSaveTo(server.Get(), nullptr), E_INVALIDARG);
  ASSERT_EQ(Write(server.Get(), MakeNode(L"\\A", nullptr, {Attribute::Int64(L"N", 1)})), S_OK);
  ASSERT_EQ(CLConfigServerSaveTo(server.Get(), m_path.c_str()), S_OK);
  CompPtr<IDXConfigServer> copy;
  ASSERT_EQ(CLCreateConfigServer(m_path.c_str(), CL_CONFIG_SERVER_REQUIRE_FILE, copy.Put()), S_OK);
  EXPECT_EQ(Read(copy.Get(), L"\\A").GetInteger(L"N"), 1);
}

}  // namespace
}  // namespace HostTest
