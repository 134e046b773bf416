// Fixtures of the subscription tests: a configuration server registered as
// "ConfigServer.Proxy" that checks nothing of ComponentsLib outlives a test,
// log capture at a chosen severity, polling waits, and hand-made
// notifications for the records the reference server never produces.
#pragma once

#include "Sources/Common/SubsystemHelpers/ConfigSubscriptionHelpers/CfgSubscriptionsHelpers.h"
#include "Sources/Common/SubsystemHelpers/ConfigSubscriptionHelpers/ConfigSubscriptionsSink.h"
#include "module/CompPtr.h"
#include "module/Guids.h"
#include "node/ConfigServerAccess.h"
#include "node/DXNodePtr.h"
#include "runtime/RuntimeTestSupport.h"

#include <Kestrova/ComponentsLib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace SubscriptionTest {

using namespace std::chrono_literals;

inline constexpr auto kWaitLimit = 5s;

// Polls until done() holds or the limit passes; the last answer of done().
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = kWaitLimit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

inline size_t CountLinesWith(const std::vector<std::wstring>& lines, const std::wstring& part) {
  return static_cast<size_t>(std::count_if(
      lines.begin(), lines.end(), [&](const std::wstring& line) { return line.find(part) != std::wstring::npos; }));
}

// Log lines at up to the given severity (a "MaxSeverity" name) while it lives.
class ScopedLogCapture {
 public:
  explicit ScopedLogCapture(const wchar_t* maxSeverity = L"DBG3") {
    m_severity.emplace(L"GS_Logger_MaxSeverity", maxSeverity);
    LogManager::Instance().RefreshSettings();
  }
  ~ScopedLogCapture() {
    m_capture.reset();
    m_severity.reset();
    LogManager::Instance().RefreshSettings();
  }
  ScopedLogCapture(const ScopedLogCapture&) = delete;
  ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

  std::vector<std::wstring> Lines() const { return m_capture->Lines(); }
  size_t Count(const std::wstring& part) const { return CountLinesWith(Lines(), part); }
  void Clear() { m_capture->Clear(); }

 private:
  std::optional<RuntimeTest::ScopedEnvironmentVariable> m_severity;
  std::optional<RuntimeTest::ScopedCapture> m_capture{std::in_place};
};

// A fresh reference server registered as "ConfigServer.Proxy"; at the end the
// registration is revoked and every object of ComponentsLib must be gone.
class ConfigServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_liveAtStart = CLGetLiveObjectCount();
    ASSERT_EQ(CLCreateConfigServer(nullptr, 0, m_server.Put()), S_OK);
    ASSERT_EQ(CLRegisterNamedInstance(Kestrova::HostNames::ConfigServerProxy, m_server.Get()), S_OK);
    ASSERT_EQ(m_server.As(m_proxy), S_OK);
  }
  void TearDown() override {
    EXPECT_EQ(CLRevokeNamedInstance(Kestrova::HostNames::ConfigServerProxy), S_OK);
    m_proxy.Reset();
    m_server.Reset();
    EXPECT_EQ(CLGetLiveObjectCount(), m_liveAtStart) << "objects of ComponentsLib leaked";
  }

  uint32_t SubscriptionCount() const {
    uint32_t count = 0;
    EXPECT_EQ(CLConfigServerGetSubscriptionCount(m_server.Get(), &count), S_OK);
    return count;
  }

  void Write(const DXNodePtr& node) { WriteConfigNode(m_server.Get(), node); }

  // A switch node at path; no "Enabled" when enabled is empty.
  void WriteSwitch(const std::wstring& path, std::optional<bool> enabled, const wchar_t* other = nullptr) {
    const DXNodePtr node = DXNodePtr::Create(path.c_str(), nullptr);
    if (enabled) node.SetBool(L"Enabled", *enabled);
    if (other != nullptr) node.SetString(L"Other", other);
    Write(node);
  }

  void SetFault(CLOperation operation, HRESULT result, CLFaultMode mode = CLFault_Always, uint32_t count = 0) {
    CLFault fault{};
    fault.mode = mode;
    fault.count = count;
    fault.result = result;
    ASSERT_EQ(CLSetFault(m_server.Get(), operation, &fault), S_OK);
  }

  void WaitIdle() { ASSERT_EQ(CLConfigServerWaitIdle(m_server.Get(), 5000), S_OK); }

  CompPtr<IDXConfigServer> m_server;
  CompPtr<IDXConfigSubscriptionProxy> m_proxy;

 private:
  uint32_t m_liveAtStart = 0;
};

// ---- Hand-made notifications ------------------------------------------------

// Reference counting for objects that live on a test's stack.
template <typename I>
class StackObject : public I {
 public:
  uint32_t AddRef() override { return ++m_references; }
  uint32_t Release() override { return --m_references; }
  HRESULT QueryInterface(const GUID& iid, void** out) override {
    if (out == nullptr) return E_INVALIDARG;
    if (!SameGuid(iid, IID_IComponentObject) && !SameGuid(iid, I::Iid)) return E_NOINTERFACE;
    AddRef();
    *out = static_cast<I*>(this);
    return S_OK;
  }
  uint32_t References() const { return m_references; }

 private:
  std::atomic<uint32_t> m_references{1};
};

class FakeSubscription final : public StackObject<IDXModifySubscription> {
 public:
  explicit FakeSubscription(const GUID& id) : m_id(id) {}
  HRESULT Activate() override { return S_OK; }
  HRESULT Deactivate() override { return S_OK; }
  HRESULT GetId(GUID* id) override {
    if (id == nullptr) return E_POINTER;
    *id = m_id;
    return S_OK;
  }

 private:
  GUID m_id;
};

// A notification over the given records; failAt makes the walk's Next fail
// with failure at that index instead of delivering the record.
class FakeModifications final : public StackObject<IDXNodeModifyEnum> {
 public:
  explicit FakeModifications(std::vector<DXNodePtr> records, std::optional<size_t> failAt = std::nullopt,
                             HRESULT failure = E_FAIL)
      : m_records(std::move(records)), m_failAt(failAt), m_failure(failure) {}

  HRESULT GetNodeEnumerator(IDXNodeEnum** enumerator) override {
    if (enumerator == nullptr) return E_POINTER;
    *enumerator = new Enumerator(*this);
    return S_OK;
  }

 private:
  class Enumerator final : public IDXNodeEnum {
   public:
    explicit Enumerator(const FakeModifications& owner) : m_owner(owner) {}
    uint32_t AddRef() override { return ++m_references; }
    uint32_t Release() override {
      const uint32_t remaining = --m_references;
      if (remaining == 0) delete this;
      return remaining;
    }
    HRESULT QueryInterface(const GUID&, void**) override { return E_NOINTERFACE; }
    HRESULT Restart() override {
      m_next = 0;
      return S_OK;
    }
    HRESULT Next(IDXNode** node) override {
      *node = nullptr;
      if (m_owner.m_failAt && m_next == *m_owner.m_failAt) return m_owner.m_failure;
      if (m_next >= m_owner.m_records.size()) return S_FALSE;
      *node = DXNodePtr(m_owner.m_records[m_next++]).Detach();
      return S_OK;
    }

   private:
    const FakeModifications& m_owner;
    std::atomic<uint32_t> m_references{1};
    size_t m_next = 99;  // a walk that forgets Restart reads nothing
  };

  std::vector<DXNodePtr> m_records;
  std::optional<size_t> m_failAt;
  HRESULT m_failure;
};

// A record as the server makes it; content carries "Enabled" when given.
inline DXNodePtr MakeRecord(const std::wstring& path, std::optional<int64_t> changesMask = 4,
                            std::optional<bool> enabled = std::nullopt, bool withContent = true, bool withPath = true) {
  const DXNodePtr record = DXNodePtr::Create(nullptr, L"ConfigNodeModification");
  if (withPath) record.SetString(L"ModifiedNodePath", path);
  if (changesMask) record.SetInt64(L"ChangesMask", *changesMask);
  if (withContent) {
    const DXNodePtr content = DXNodePtr::Create(path.substr(path.find_last_of(L'\\') + 1).c_str(), nullptr);
    if (enabled) content.SetBool(L"Enabled", *enabled);
    record.AddChild(content);
  }
  return record;
}

// What a sink handed over, in order.
struct Publication {
  GUID id{};
  std::vector<std::wstring> paths;
  std::vector<uint32_t> masks;
  std::vector<std::optional<bool>> enabled;  // "Enabled" of each record's node
};

class SinkRecorder {
 public:
  CfgSubscriptionsHelpers::ModificationsCallback Modifications() {
    return [this](const GUID& id, std::vector<NodeModifyUtils::TNodeModification>&& records) {
      Publication publication;
      publication.id = id;
      for (const auto& record : records) {
        publication.paths.push_back(record.path);
        publication.masks.push_back(record.changesMask);
        bool value = false;
        publication.enabled.push_back(record.node && record.node.TryGetBool(L"Enabled", value) ? std::optional(value)
                                                                                               : std::nullopt);
      }
      std::lock_guard guard(m_lock);
      m_batches.push_back(std::move(publication));
    };
  }
  CfgSubscriptionsHelpers::NodeCallback Node() {
    return [this](const GUID& id, const std::wstring& path, const DXNodePtr& node) {
      bool value = false;
      Publication publication{
          id, {path}, {0}, {node.TryGetBool(L"Enabled", value) ? std::optional(value) : std::nullopt}};
      std::lock_guard guard(m_lock);
      m_nodes.push_back(std::move(publication));
      m_nodeThreads.push_back(std::this_thread::get_id());
    };
  }
  std::vector<Publication> Batches() {
    std::lock_guard guard(m_lock);
    return m_batches;
  }
  std::vector<Publication> Nodes() {
    std::lock_guard guard(m_lock);
    return m_nodes;
  }
  std::vector<std::thread::id> NodeThreads() {
    std::lock_guard guard(m_lock);
    return m_nodeThreads;
  }

 private:
  std::mutex m_lock;
  std::vector<Publication> m_batches;
  std::vector<Publication> m_nodes;
  std::vector<std::thread::id> m_nodeThreads;
};

inline CfgSubscriptionsHelpers::CConfigSubscriptionsSink* AsSink(const CompPtr<IConfigModifyCallback>& sink) {
  return static_cast<CfgSubscriptionsHelpers::CConfigSubscriptionsSink*>(sink.Get());
}

}  // namespace SubscriptionTest
