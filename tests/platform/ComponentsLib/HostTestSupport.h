// Fixtures and helpers of the ComponentsLib tests: node builders, a
// recording subscriber and a server fixture that checks every object of
// the library is gone at the end.
#pragma once

#include "Node.h"

#include <Kestrova/ComponentsLib.h>
#include "module/CompPtr.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace HostTest {

using ComponentsLib::Node;

inline constexpr uint32_t kWholeDepth = 2147483647u;
inline constexpr uint32_t kWaitMs = 5000;

inline bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

// An attribute of a node under construction.
struct Attribute {
  std::wstring name;
  enum class Kind { Text, Int64, Bool } kind;
  std::wstring text;
  int64_t number = 0;

  static Attribute Text(std::wstring name, std::wstring value) { return {std::move(name), Kind::Text, std::move(value), 0}; }
  static Attribute Int64(std::wstring name, int64_t value) { return {std::move(name), Kind::Int64, L"", value}; }
  static Attribute Bool(std::wstring name, bool value) { return {std::move(name), Kind::Bool, L"", value ? 1 : 0}; }
};

inline Node MakeNode(const wchar_t* name, const wchar_t* type, std::initializer_list<Attribute> attributes = {}) {
  Node node = Node::Create(name, type);
  for (const Attribute& attribute : attributes) {
    switch (attribute.kind) {
      case Attribute::Kind::Text: node.SetText(attribute.name.c_str(), attribute.text); break;
      case Attribute::Kind::Int64: node.SetInt64(attribute.name.c_str(), attribute.number); break;
      case Attribute::Kind::Bool: node.SetBool(attribute.name.c_str(), attribute.number != 0); break;
    }
  }
  return node;
}

inline Node MakeFilter(const std::wstring& path, bool isParent = false, int64_t maxDepth = kWholeDepth) {
  return MakeNode(nullptr, L"FilterByPath", {Attribute::Text(L"NodePath", path), Attribute::Bool(L"IsParent", isParent),
                                             Attribute::Int64(L"MaxDepth", maxDepth)});
}

inline Node MakeSubscribeConfig(int64_t changesMask, int64_t options) {
  return MakeNode(L"SubscribeConfig", nullptr,
                  {Attribute::Int64(L"ChangesMask", changesMask), Attribute::Int64(L"SubscribeOptions", options)});
}

inline std::wstring TextOf(const Node& node, const wchar_t* name) { return node.GetText(name).value_or(L"<absent>"); }

// One modification record as a subscriber received it.
struct ReceivedRecord {
  std::wstring path;
  int64_t changesMask = -1;
  Node content;  // child 0 of the record, when it has one
};

struct ReceivedNotification {
  GUID subscriptionId{};
  int currentContent = 0;
  std::thread::id thread;
  std::vector<ReceivedRecord> records;
};

// A subscriber that records every notification; optionally runs an action
// inside the callback first (to block, or to call back into the server).
class RecordingCallback final : public IConfigModifyCallback {
 public:
  uint32_t AddRef() override { return ++m_references; }
  uint32_t Release() override {
    const uint32_t remaining = --m_references;
    if (remaining == 0) delete this;
    return remaining;
  }
  HRESULT QueryInterface(const GUID& iid, void** out) override {
    if (out == nullptr) return E_INVALIDARG;
    if (!SameGuid(iid, IID_IComponentObject) && !SameGuid(iid, IID_IConfigModifyCallback)) return E_NOINTERFACE;
    AddRef();
    *out = static_cast<IConfigModifyCallback*>(this);
    return S_OK;
  }

  HRESULT OnTriggered(IDXModifySubscription* subscription, int currentContent,
                      IDXNodeModifyEnum* modifications) override {
    m_inCallback = true;
    if (m_action) m_action(subscription);
    ReceivedNotification received;
    received.currentContent = currentContent;
    received.thread = std::this_thread::get_id();
    if (subscription != nullptr) subscription->GetId(&received.subscriptionId);
    CompPtr<IDXNodeEnum> enumerator;
    if (modifications != nullptr && SUCCEEDED(modifications->GetNodeEnumerator(enumerator.Put()))) {
      enumerator->Restart();
      for (;;) {
        IDXNode* raw = nullptr;
        if (enumerator->Next(&raw) != S_OK) break;
        const Node record = Node::Adopt(raw);
        ReceivedRecord entry;
        entry.path = TextOf(record, L"ModifiedNodePath");
        entry.changesMask = record.GetInteger(L"ChangesMask").value_or(-1);
        if (record.ChildCount() > 0) entry.content = record.Child(0);
        received.records.push_back(std::move(entry));
      }
    }
    {
      std::lock_guard lock(m_lock);
      m_notifications.push_back(std::move(received));
    }
    m_changed.notify_all();
    m_inCallback = false;
    return S_OK;
  }

  void SetAction(std::function<void(IDXModifySubscription*)> action) { m_action = std::move(action); }
  bool InCallback() const { return m_inCallback; }

  bool WaitForNotifications(size_t count, uint32_t timeoutMs = kWaitMs) {
    std::unique_lock lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_notifications.size() >= count; });
  }
  std::vector<ReceivedNotification> Notifications() {
    std::lock_guard lock(m_lock);
    return m_notifications;
  }
  size_t RecordCount() {
    std::lock_guard lock(m_lock);
    size_t count = 0;
    for (const auto& notification : m_notifications) count += notification.records.size();
    return count;
  }
  void Clear() {
    std::lock_guard lock(m_lock);
    m_notifications.clear();
  }

 private:
  std::atomic<uint32_t> m_references{1};
  std::function<void(IDXModifySubscription*)> m_action;
  std::atomic<bool> m_inCallback{false};
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<ReceivedNotification> m_notifications;
};

// Checks that the library's objects all come back at the end of a test.
class LiveObjectsTest : public ::testing::Test {
 protected:
  void SetUp() override { m_liveAtStart = CLGetLiveObjectCount(); }
  void TearDown() override { EXPECT_EQ(CLGetLiveObjectCount(), m_liveAtStart) << "objects of ComponentsLib leaked"; }

 private:
  uint32_t m_liveAtStart = 0;
};

// A fresh configuration server for each test, with helpers for its slots.
class ConfigServerTest : public LiveObjectsTest {
 protected:
  void SetUp() override {
    LiveObjectsTest::SetUp();
    ASSERT_EQ(CLCreateConfigServer(nullptr, 0, m_server.Put()), S_OK);
  }
  void TearDown() override {
    m_server.Reset();
    LiveObjectsTest::TearDown();
  }

  IDXConfigServer* Server() const { return m_server.Get(); }

  HRESULT Write(const Node& node, IComponentObject* context = nullptr) {
    IDXNode* handles[] = {node.Get()};
    return m_server->WriteNodes(context, 0, handles, 1);
  }

  // Reads one node; an empty Node when the server reports none.
  Node Read(const std::wstring& path, int64_t maxDepth = kWholeDepth) {
    const Node filter = MakeFilter(path, false, maxDepth);
    IDXNode* result = nullptr;
    uint32_t count = 99;
    EXPECT_EQ(m_server->ReadNodes(filter.Get(), 0, &result, 1, &count), S_OK);
    EXPECT_LE(count, 1u);
    return Node::Adopt(result);
  }

  CompPtr<IDXModifySubscription> Subscribe(RecordingCallback* callback, const std::wstring& path, int64_t maxDepth,
                                           int64_t changesMask, int64_t options, bool activate = true) {
    CompPtr<IDXConfigSubscriptionProxy> proxy;
    EXPECT_EQ(m_server.As(proxy), S_OK);
    const Node filter = MakeFilter(path, false, maxDepth);
    const Node settings = MakeSubscribeConfig(changesMask, options);
    CompPtr<IDXModifySubscription> subscription;
    EXPECT_EQ(proxy->Subscribe(filter.Get(), settings.Get(), callback, subscription.Put()), S_OK);
    if (activate && subscription) {
      EXPECT_EQ(subscription->Activate(), S_OK);
    }
    return subscription;
  }

  HRESULT Remove(const CompPtr<IDXModifySubscription>& subscription) {
    CompPtr<IDXConfigSubscriptionProxy> proxy;
    EXPECT_EQ(m_server.As(proxy), S_OK);
    return proxy->RemoveSubscription(subscription.Get());
  }

  void WaitIdle() { ASSERT_EQ(CLConfigServerWaitIdle(m_server.Get(), kWaitMs), S_OK); }

  CompPtr<IDXConfigServer> m_server;
};

}  // namespace HostTest
