#include "ModificationReporter.h"

#include "FailureText.h"
#include "ToolError.h"

#include "Sources/Common/ErrorHandling/ErrorDescription.h"

#include <new>

namespace KestrovaHost {

using KestrovaTools::kExitFailure;
using KestrovaTools::ToolError;
namespace FailureText = KestrovaTools::FailureText;

namespace {

constexpr wchar_t kNotificationType[] = L"ConfigModificationNotification";
constexpr wchar_t kModifiedPath[] = L"ModifiedPath";
constexpr wchar_t kModifyMask[] = L"ModifyMask";
constexpr wchar_t kSubjectDisplayName[] = L"SubjectDisplayName";

}  // namespace

HRESULT HostWriterContext::QueryInterface(const GUID& iid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (iid != IID_IComponentObject) return E_NOINTERFACE;
  *out = static_cast<IComponentObject*>(this);
  return S_OK;
}

ModificationReporter::ModificationReporter(IComponentObject* server) : m_server(server) {
  if (const HRESULT hr = ::CLConfigServerSetModificationReport(m_server, &ModificationReporter::OnReport, this);
      FAILED(hr)) {
    throw ToolError(kExitFailure, L"CLConfigServerSetModificationReport failed: " + FailureText::Describe(hr));
  }
}

ModificationReporter::~ModificationReporter() { ::CLConfigServerSetModificationReport(m_server, nullptr, nullptr); }

void ModificationReporter::SetSubject(std::wstring subject) {
  const std::lock_guard lock(m_lock);
  m_subject = std::move(subject);
}

DXNodePtr ModificationReporter::MakeNotification(const CLConfigModification& modification,
                                                 const std::wstring& subject) {
  DXNodePtr notification = DXNodePtr::Create(nullptr, kNotificationType);
  notification.SetString(kModifiedPath, modification.path);
  notification.SetInt64(kModifyMask, static_cast<int64_t>(modification.changesMask));
  notification.SetString(kSubjectDisplayName, subject);
  if (modification.content != nullptr) {
    // The server's node is valid during the report only: a copy, with its name.
    notification.AddChild(DXNodePtr(modification.content, DXNodePtr::Handle::Duplicate).Clone());
  }
  return notification;
}

void ModificationReporter::OnReport(void* self, const CLConfigModification* modifications, uint32_t count) {
  static_cast<ModificationReporter*>(self)->Report(modifications, count);
}

void ModificationReporter::Report(const CLConfigModification* modifications, uint32_t count) noexcept {
  const std::lock_guard lock(m_lock);
  try {
    for (uint32_t index = 0; index < count; ++index) {
      const CLConfigModification& modification = modifications[index];
      if (modification.writerContext != &m_context) continue;
      m_notifications.push_back(MakeNotification(modification, m_subject));
    }
  } catch (const HRX& failure) {
    if (!m_failure) m_failure = L"cannot build a modification notification: " + FormatError(failure);
  } catch (const std::bad_alloc&) {
    if (!m_failure) m_failure = L"cannot build a modification notification: out of memory";
  }
}

std::vector<DXNodePtr> ModificationReporter::TakeNotifications(uint32_t timeoutMs) {
  if (const HRESULT hr = ::CLConfigServerWaitIdle(m_server, timeoutMs); FAILED(hr)) {
    throw ToolError(kExitFailure,
                    L"the configuration server did not deliver its reports: " + FailureText::Describe(hr));
  }
  const std::lock_guard lock(m_lock);
  if (m_failure) throw ToolError(kExitFailure, *m_failure);
  return std::exchange(m_notifications, {});
}

}  // namespace KestrovaHost
