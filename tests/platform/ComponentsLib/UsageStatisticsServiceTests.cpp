// The usage-statistics service behind the service client: accepts
// "StoreRequest" nodes, rejects other shapes, records frames in order.
#include "HostTestSupport.h"

#include "NodeTextFile.h"

namespace HostTest {
namespace {

class UsageStatisticsServiceTest : public LiveObjectsTest {
 protected:
  void SetUp() override {
    LiveObjectsTest::SetUp();
    ASSERT_EQ(CLCreateServiceClient(m_client.Put()), S_OK);
    ASSERT_EQ(CLCreateUsageStatisticsService(m_service.Put()), S_OK);
    ASSERT_EQ(CLServiceClientRegisterService(m_client.Get(), L"Service.UsageStatistics", m_service.Get()), S_OK);
  }
  void TearDown() override {
    m_processor.Reset();
    m_service.Reset();
    m_client.Reset();
    LiveObjectsTest::TearDown();
  }

  // What the module does: the service client's slot 3 with the service
  // name and the request processor's id.
  IDXRequestProcessor* Processor() {
    if (!m_processor) {
      EXPECT_EQ(m_client->GetService(L"Service.UsageStatistics", 0, IID_IDXRequestProcessor, m_processor.PutVoid()),
                S_OK);
    }
    return m_processor.Get();
  }

  static Node Frame(const std::wstring& name) {
    Node frame = MakeNode(nullptr, L"UsageActivityFrame", {Attribute::Text(L"Name", name)});
    frame.AddChild(MakeNode(nullptr, L"UsageActivityFrame",
                            {Attribute::Text(L"Name", L"ChangeType"), Attribute::Text(L"Value", L"Modified")}));
    return frame;
  }
  static Node Request(const Node& frame) {
    Node request = MakeNode(L"StoreRequest", nullptr);
    request.AddChild(frame);
    return request;
  }
  uint32_t FrameCount() {
    uint32_t count = 0;
    EXPECT_EQ(CLUsageStatisticsGetFrameCount(m_service.Get(), &count), S_OK);
    return count;
  }
  Node FrameAt(uint32_t index) {
    IDXNode* frame = nullptr;
    EXPECT_EQ(CLUsageStatisticsGetFrame(m_service.Get(), index, &frame), S_OK);
    return Node::Adopt(frame);
  }

  CompPtr<IDXServiceClient> m_client;
  CompPtr<IDXRequestProcessor> m_service;
  CompPtr<IDXRequestProcessor> m_processor;
};

TEST_F(UsageStatisticsServiceTest, RecordsFramesInOrderAndAnswersWithASequence) {
  for (int index = 1; index <= 3; ++index) {
    Node frame = Frame(L"Frame" + std::to_wstring(index));
    IDXNode* result = nullptr;
    ASSERT_EQ(Processor()->ProcessRequest(Request(frame).Get(), &result), S_OK);
    const Node response = Node::Adopt(result);
    ASSERT_TRUE(response);
    EXPECT_EQ(response.Name(), L"StoreResponse");
    EXPECT_EQ(response.GetInteger(L"Sequence"), index);
    frame.SetText(L"Name", L"changed after sending");  // the service kept its own copy
  }
  ASSERT_EQ(FrameCount(), 3u);
  for (uint32_t index = 0; index < 3; ++index) {
    const Node frame = FrameAt(index);
    EXPECT_EQ(TextOf(frame, L"Name"), L"Frame" + std::to_wstring(index + 1));
    ASSERT_EQ(frame.ChildCount(), 1u);
    EXPECT_EQ(TextOf(frame.Child(0), L"Value"), L"Modified");
  }
  IDXNode* none = reinterpret_cast<IDXNode*>(0x1);
  EXPECT_EQ(CLUsageStatisticsGetFrame(m_service.Get(), 3, &none), CL_E_NOT_FOUND);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(CLUsageStatisticsClearFrames(m_service.Get()), S_OK);
  EXPECT_EQ(FrameCount(), 0u);
}

TEST_F(UsageStatisticsServiceTest, OtherShapesAreRejectedAndNotRecorded) {
  auto withChildren = [](const wchar_t* name, const wchar_t* type, std::vector<Node> children) {
    Node node = MakeNode(name, type);
    for (const Node& child : children) node.AddChild(child);
    return node;
  };
  Node frameWithBadChild = Frame(L"F");
  frameWithBadChild.AddChild(MakeNode(L"Item", L"Other", {Attribute::Text(L"Name", L"x")}));
  struct Case {
    const char* what;
    Node request;
  };
  const Case cases[] = {
      {"wrong name", withChildren(L"StoreRequests", nullptr, {Frame(L"F")})},
      {"name in other case", withChildren(L"storerequest", nullptr, {Frame(L"F")})},
      {"typed request", withChildren(L"StoreRequest", L"Request", {Frame(L"F")})},
      {"no frame", withChildren(L"StoreRequest", nullptr, {})},
      {"two frames", withChildren(L"StoreRequest", nullptr, {Frame(L"F"), Frame(L"G")})},
      {"child not a frame", withChildren(L"StoreRequest", nullptr, {MakeNode(nullptr, L"Frame", {Attribute::Text(L"Name", L"F")})})},
      {"frame without Name", withChildren(L"StoreRequest", nullptr, {MakeNode(nullptr, L"UsageActivityFrame")})},
      {"Name not text",
       withChildren(L"StoreRequest", nullptr, {MakeNode(nullptr, L"UsageActivityFrame", {Attribute::Int64(L"Name", 1)})})},
      {"nested non-frame", withChildren(L"StoreRequest", nullptr, {frameWithBadChild})},
  };
  for (const Case& c : cases) {
    IDXNode* result = reinterpret_cast<IDXNode*>(0x1);
    EXPECT_EQ(Processor()->ProcessRequest(c.request.Get(), &result), CL_E_INVALID_DATA) << c.what;
    EXPECT_EQ(result, nullptr) << c.what;
  }
  EXPECT_EQ(Processor()->ProcessRequest(nullptr, nullptr), E_POINTER);
  EXPECT_EQ(FrameCount(), 0u);
}

TEST_F(UsageStatisticsServiceTest, ServiceLookupFailuresAreClear) {
  CompPtr<IDXRequestProcessor> found;
  EXPECT_EQ(m_client->GetService(L"Service.Other", 0, IID_IDXRequestProcessor, found.PutVoid()), CL_E_NOT_FOUND);
  EXPECT_EQ(m_client->GetService(L"Service.UsageStatistics", 1, IID_IDXRequestProcessor, found.PutVoid()), E_INVALIDARG);
  EXPECT_EQ(m_client->GetService(L"Service.UsageStatistics", 0, IID_IDXConfigServer, found.PutVoid()), E_NOINTERFACE);
  EXPECT_EQ(CLServiceClientRegisterService(m_client.Get(), L"Service.UsageStatistics", m_service.Get()),
            CL_E_ALREADY_EXISTS);
  EXPECT_EQ(CLServiceClientRegisterService(m_service.Get(), L"X", m_service.Get()), E_INVALIDARG);  // not a client
  EXPECT_EQ(CLServiceClientRevokeService(m_client.Get(), L"Service.UsageStatistics"), S_OK);
  EXPECT_EQ(m_client->GetService(L"Service.UsageStatistics", 0, IID_IDXRequestProcessor, found.PutVoid()), CL_E_NOT_FOUND);
  EXPECT_FALSE(found);
}

TEST_F(UsageStatisticsServiceTest, AppendToFileAddsEachFrameOnce) {
  wchar_t directory[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, directory);
  const std::wstring path =
      std::wstring(directory) + L"ComponentsLibFrames-" + std::to_wstring(::GetCurrentProcessId()) + L".xml";
  ::DeleteFileW(path.c_str());
  ASSERT_EQ(Processor()->ProcessRequest(Request(Frame(L"One")).Get(), nullptr), S_OK);
  uint32_t appended = 0;
  ASSERT_EQ(CLUsageStatisticsAppendToFile(m_service.Get(), path.c_str(), &appended), S_OK);
  EXPECT_EQ(appended, 1u);
  ASSERT_EQ(Processor()->ProcessRequest(Request(Frame(L"Two")).Get(), nullptr), S_OK);
  ASSERT_EQ(Processor()->ProcessRequest(Request(Frame(L"Three")).Get(), nullptr), S_OK);
  ASSERT_EQ(CLUsageStatisticsAppendToFile(m_service.Get(), path.c_str(), &appended), S_OK);
  EXPECT_EQ(appended, 2u);
  ASSERT_EQ(CLUsageStatisticsAppendToFile(m_service.Get(), path.c_str(), &appended), S_OK);
  EXPECT_EQ(appended, 0u);

  const auto nodes = ComponentsLib::NodeTextFile::Read(path);
  ASSERT_EQ(nodes.size(), 3u);
  EXPECT_EQ(TextOf(nodes[0], L"Name"), L"One");
  EXPECT_EQ(TextOf(nodes[1], L"Name"), L"Two");
  EXPECT_EQ(TextOf(nodes[2], L"Name"), L"Three");
  ::DeleteFileW(path.c_str());
}

TEST_F(UsageStatisticsServiceTest, WaitForFramesSeesFramesFromOtherThreads) {
  EXPECT_EQ(CLUsageStatisticsWaitForFrames(m_service.Get(), 1, 20), CL_E_TIMEOUT);
  IDXRequestProcessor* processor = Processor();
  std::thread sender([&] {
    for (int index = 0; index < 5; ++index) {
      EXPECT_EQ(processor->ProcessRequest(Request(Frame(L"T" + std::to_wstring(index))).Get(), nullptr), S_OK);
    }
  });
  EXPECT_EQ(CLUsageStatisticsWaitForFrames(m_service.Get(), 5, kWaitMs), S_OK);
  sender.join();
  EXPECT_EQ(TextOf(FrameAt(4), L"Name"), L"T4");
}

}  // namespace
}  // namespace HostTest
