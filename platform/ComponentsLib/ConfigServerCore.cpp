#include "ConfigServerCore.h"

#include "NodeModifyEnum.h"
#include "NodePath.h"
#include "NodeTextFile.h"

#include <objbase.h>

#include <algorithm>

namespace ComponentsLib {
namespace {

using Kestrova::SubscribeOptions::IncludeContent;
using Kestrova::SubscribeOptions::SendCurrentContent;

bool FileExists(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

SubscriptionTerms ReadSubscriptionTerms(IDXNode* filterNode, IDXNode* settingsNode) {
  const PathFilter filter = PathFilter::FromNode(filterNode);
  if (filter.isParent) Fail(E_INVALIDARG);
  if (settingsNode == nullptr) Fail(E_POINTER);
  const Node settings = Node::Share(settingsNode);
  if (settings.Name() != L"SubscribeConfig") Fail(E_INVALIDARG);
  SubscriptionTerms terms;
  try {
    const auto mask = settings.GetInteger(L"ChangesMask");
    if (!mask) Fail(E_INVALIDARG);
    terms.changesMask = static_cast<uint64_t>(*mask);
    terms.options = static_cast<uint64_t>(settings.GetInteger(L"SubscribeOptions").value_or(0));
  } catch (const HrFailure& failure) {
    Fail(failure.code == E_OUTOFMEMORY ? E_OUTOFMEMORY : E_INVALIDARG);
  }
  if (terms.changesMask == 0 || (terms.changesMask & ~Kestrova::ConfigChanges::All) != 0) Fail(E_INVALIDARG);
  if ((terms.options & ~Kestrova::SubscribeOptions::All) != 0) Fail(E_INVALIDARG);
  terms.path = filter.path;
  terms.elements = filter.elements;
  terms.maxDepth = filter.maxDepth;
  return terms;
}

}  // namespace

ConfigServerCore::ConfigServerCore(std::wstring storeFile, uint32_t flags)
    : m_storeFile(std::move(storeFile)),
      m_flags(flags),
      m_faults({CLOp_ConfigRead, CLOp_ConfigWrite, CLOp_ConfigDelete, CLOp_ConfigFlush, CLOp_ConfigGetInterface,
                CLOp_ConfigGetComponent, CLOp_ConfigSubscribe, CLOp_ConfigRemoveSubscription,
                CLOp_SubscriptionActivate, CLOp_SubscriptionGetId}) {
  if (m_storeFile.empty()) {
    if ((m_flags & CL_CONFIG_SERVER_REQUIRE_FILE) != 0) Fail(E_INVALIDARG);
    return;
  }
  if (FileExists(m_storeFile)) {
    m_store.Load(NodeTextFile::Read(m_storeFile));
  } else if ((m_flags & CL_CONFIG_SERVER_REQUIRE_FILE) != 0) {
    Fail(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  }
}

ConfigServerCore::~ConfigServerCore() { Shutdown(); }

void ConfigServerCore::Shutdown() {
  if (m_shutDown.exchange(true)) return;
  m_dispatcher.Stop();
  std::vector<CompPtr<ModifySubscription>> subscriptions;
  {
    std::lock_guard lock(m_registryLock);
    subscriptions.swap(m_subscriptions);
  }
  const bool onDispatcher = m_dispatcher.IsDispatcherThread();
  for (auto& subscription : subscriptions) subscription->Revoke(!onDispatcher);
  std::unique_lock lock(m_reportLock);
  m_report = nullptr;
  m_reportContext = nullptr;
  if (!onDispatcher) m_reportDrained.wait(lock, [this] { return m_reportsInFlight == 0; });
}

HRESULT ConfigServerCore::Read(IDXNode* filter, uint32_t flags, IDXNode** nodes, uint32_t capacity,
                               uint32_t* count) {
  if (nodes == nullptr || count == nullptr) return E_POINTER;
  *count = 0;
  for (uint32_t index = 0; index < capacity; ++index) nodes[index] = nullptr;
  if (const HRESULT hr = m_faults.OnCall(CLOp_ConfigRead); FAILED(hr)) return hr;
  if (flags != 0 || capacity == 0) return E_INVALIDARG;
  if (m_shutDown) return CL_E_SHUT_DOWN;
  return Guarded([&] {
    const PathFilter parsed = PathFilter::FromNode(filter);
    std::vector<Node> found;
    {
      std::shared_lock lock(m_storeLock);
      found = m_store.Read(parsed);
    }
    if (found.size() > capacity) {
      *count = static_cast<uint32_t>(found.size());
      return CL_E_INSUFFICIENT_BUFFER;
    }
    for (size_t index = 0; index < found.size(); ++index) nodes[index] = found[index].Detach();
    *count = static_cast<uint32_t>(found.size());
    return S_OK;
  });
}

HRESULT ConfigServerCore::Write(IComponentObject* context, uint32_t flags, IDXNode* const* nodes, uint32_t count) {
  if (const HRESULT hr = m_faults.OnCall(CLOp_ConfigWrite); FAILED(hr)) return hr;
  if (flags != 0) return E_INVALIDARG;
  if (m_shutDown) return CL_E_SHUT_DOWN;
  return Guarded([&] {
    ConfigStore::ValidateWrite(nodes, count);
    std::unique_lock lock(m_storeLock);
    const auto modifications = m_store.Write(nodes, count);
    Publish(modifications, context);
    return AfterChange(modifications);
  });
}

HRESULT ConfigServerCore::Delete(IComponentObject* context, uint32_t flags, IDXNode* const* filters,
                                 uint32_t count) {
  if (const HRESULT hr = m_faults.OnCall(CLOp_ConfigDelete); FAILED(hr)) return hr;
  if (flags != 0) return E_INVALIDARG;
  if (count != 0 && filters == nullptr) return E_POINTER;
  if (m_shutDown) return CL_E_SHUT_DOWN;
  return Guarded([&] {
    std::vector<PathFilter> parsed;
    for (uint32_t index = 0; index < count; ++index) parsed.push_back(PathFilter::FromNode(filters[index]));
    std::unique_lock lock(m_storeLock);
    const auto modifications = m_store.Delete(parsed);
    Publish(modifications, context);
    return AfterChange(modifications);
  });
}

HRESULT ConfigServerCore::AfterChange(const std::vector<StoreModification>& modifications) {
  if (modifications.empty() || (m_flags & CL_CONFIG_SERVER_SAVE_ON_CHANGE) == 0 || m_storeFile.empty()) return S_OK;
  // The change stays applied when saving fails; the caller learns of it.
  Save(m_storeFile);
  return S_OK;
}

HRESULT ConfigServerCore::Flush(uint32_t flags) {
  if (const HRESULT hr = m_faults.OnCall(CLOp_ConfigFlush); FAILED(hr)) return hr;
  if (flags != 0) return E_INVALIDARG;
  if (m_storeFile.empty()) return S_FALSE;
  return Guarded([&] {
    std::shared_lock lock(m_storeLock);
    Save(m_storeFile);
    return S_OK;
  });
}

HRESULT ConfigServerCore::SaveTo(const wchar_t* path) {
  const std::wstring target = path != nullptr ? std::wstring(path) : m_storeFile;
  if (target.empty()) return E_INVALIDARG;
  return Guarded([&] {
    std::shared_lock lock(m_storeLock);
    Save(target);
    return S_OK;
  });
}

void ConfigServerCore::Save(const std::wstring& path) {
  std::lock_guard lock(m_saveLock);
  NodeTextFile::Write(path, {m_store.Root()});
}

HRESULT ConfigServerCore::Subscribe(IDXNode* filter, IDXNode* settings, IConfigModifyCallback* callback,
                                    IDXModifySubscription** subscription) {
  if (subscription == nullptr) return E_POINTER;
  *subscription = nullptr;
  if (const HRESULT hr = m_faults.OnCall(CLOp_ConfigSubscribe); FAILED(hr)) return hr;
  if (callback == nullptr) return E_POINTER;
  if (m_shutDown) return CL_E_SHUT_DOWN;
  return Guarded([&] {
    SubscriptionTerms terms = ReadSubscriptionTerms(filter, settings);
    GUID id{};
    Check(::CoCreateGuid(&id));
    CompPtr<ModifySubscription> created(
        new ModifySubscription(id, std::move(terms), CompPtr<IConfigModifyCallback>(callback), weak_from_this()),
        false);
    {
      std::lock_guard lock(m_registryLock);
      m_subscriptions.push_back(created);
    }
    *subscription = created.Detach();
    return S_OK;
  });
}

HRESULT ConfigServerCore::Remove(IDXModifySubscription* subscription) {
  if (subscription == nullptr) return E_POINTER;
  if (const HRESULT hr = m_faults.OnCall(CLOp_ConfigRemoveSubscription); FAILED(hr)) return hr;
  CompPtr<ModifySubscription> ours;
  if (FAILED(subscription->QueryInterface(ModifySubscription::kImplementationIid, ours.PutVoid()))) {
    return E_INVALIDARG;
  }
  CompPtr<ModifySubscription> removed;
  {
    std::lock_guard lock(m_registryLock);
    const auto found = std::find(m_subscriptions.begin(), m_subscriptions.end(), ours);
    if (found == m_subscriptions.end()) return CL_E_NOT_FOUND;
    removed = std::move(*found);
    m_subscriptions.erase(found);
  }
  // A subscriber removing itself from inside its callback cannot wait for
  // that callback; it is the only one in flight then.
  removed->Revoke(!m_dispatcher.IsDispatcherThread());
  return S_OK;
}

uint32_t ConfigServerCore::SubscriptionCount() {
  std::lock_guard lock(m_registryLock);
  return static_cast<uint32_t>(m_subscriptions.size());
}

HRESULT ConfigServerCore::Activate(ModifySubscription& subscription) {
  if (const HRESULT hr = m_faults.OnCall(CLOp_SubscriptionActivate); FAILED(hr)) return hr;
  if (m_shutDown) return CL_E_SHUT_DOWN;
  if (subscription.IsRevoked()) return CL_E_NOT_FOUND;
  return Guarded([&] {
    // Shared with readers, exclusive of writers: the current content is
    // queued before any change that follows it.
    std::shared_lock lock(m_storeLock);
    if (subscription.SetActive(true)) return S_FALSE;
    const SubscriptionTerms& terms = subscription.Terms();
    if ((terms.options & SendCurrentContent) == 0) return S_OK;
    const Node current = m_store.Find(terms.elements);
    if (!current) return S_OK;  // nothing to report; its creation will be
    NodeList records;
    records.push_back(MakeModificationRecord(terms.path, 0, current.CopyToDepth(terms.maxDepth)));
    CompPtr<IDXNodeModifyEnum> enumerator(new NodeModifyEnum(std::move(records)), false);
    CompPtr<ModifySubscription> target(&subscription);
    m_dispatcher.Post([target, enumerator] { target->Deliver(1, enumerator.Get()); });
    return S_OK;
  });
}

void ConfigServerCore::Publish(const std::vector<StoreModification>& modifications, IComponentObject* context) {
  if (modifications.empty()) return;
  {
    std::lock_guard lock(m_registryLock);
    for (const auto& subscription : m_subscriptions) {
      if (!subscription->IsActive()) continue;
      const SubscriptionTerms& terms = subscription->Terms();
      NodeList records;
      for (const StoreModification& modification : modifications) {
        const auto depth = NodePath::DepthBelow(modification.path, terms.path);
        if (!depth || *depth > terms.maxDepth || (modification.changesMask & terms.changesMask) == 0) continue;
        records.push_back(MakeModificationRecord(modification.path, modification.changesMask,
                                                 (terms.options & IncludeContent) != 0 ? modification.content : Node()));
      }
      if (records.empty()) continue;
      CompPtr<IDXNodeModifyEnum> enumerator(new NodeModifyEnum(std::move(records)), false);
      CompPtr<ModifySubscription> target(subscription);
      m_dispatcher.Post([target, enumerator] { target->Deliver(0, enumerator.Get()); });
    }
  }
  bool reported = false;
  {
    std::lock_guard lock(m_reportLock);
    reported = m_report != nullptr;
  }
  if (!reported) return;
  CompPtr<IComponentObject> writer(context);
  // The job keeps the core alive: a report may release the host's last
  // reference to the server.
  m_dispatcher.Post([self = shared_from_this(), modifications, writer] {
    self->DeliverReport(modifications, writer.Get());
  });
}

void ConfigServerCore::DeliverReport(const std::vector<StoreModification>& modifications,
                                     IComponentObject* context) {
  CLModificationReport report = nullptr;
  void* reportContext = nullptr;
  {
    std::lock_guard lock(m_reportLock);
    if (m_report == nullptr) return;
    report = m_report;
    reportContext = m_reportContext;
    ++m_reportsInFlight;
  }
  struct Leave {
    ConfigServerCore& core;
    ~Leave() {
      std::lock_guard lock(core.m_reportLock);
      if (--core.m_reportsInFlight == 0) core.m_reportDrained.notify_all();
    }
  } leave{*this};
  std::vector<CLConfigModification> records;
  records.reserve(modifications.size());
  for (const StoreModification& modification : modifications) {
    records.push_back({modification.path.c_str(), modification.changesMask, modification.content.Get(), context});
  }
  report(reportContext, records.data(), static_cast<uint32_t>(records.size()));
}

HRESULT ConfigServerCore::SetReport(CLModificationReport report, void* context) {
  std::unique_lock lock(m_reportLock);
  if (m_shutDown && report != nullptr) return CL_E_SHUT_DOWN;
  m_report = report;
  m_reportContext = context;
  if (!m_dispatcher.IsDispatcherThread()) m_reportDrained.wait(lock, [this] { return m_reportsInFlight == 0; });
  return S_OK;
}

HRESULT ConfigServerCore::WaitIdle(uint32_t timeoutMs) {
  return m_dispatcher.WaitIdle(timeoutMs) ? S_OK : CL_E_TIMEOUT;
}

}  // namespace ComponentsLib
