// Turns the configuration server's modification reports into the
// maintainer's modification notifications. Only modifications of the host's
// own write and delete calls are reported: the host passes WriterContext()
// to them, and writes of anyone else (the module's status nodes) carry
// another context. Reports arrive on the server's notification thread; the
// notifications are queued there and taken by the host's thread.
#pragma once

#include "node/DXNodePtr.h"

#include <Kestrova/ComponentsLib.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace KestrovaHost {

// The object the host passes as the writer context of its own calls. It
// lives as long as the reporter; the server does not keep it.
class HostWriterContext final : public IComponentObject {
 public:
  uint32_t AddRef() override { return 1; }
  uint32_t Release() override { return 1; }
  HRESULT QueryInterface(const GUID& iid, void** out) override;
};

class ModificationReporter {
 public:
  // Installs the report on the server; raises ToolError (kExitFailure).
  explicit ModificationReporter(IComponentObject* server);
  // Removes the report; once it returns the report is not called again.
  ~ModificationReporter();
  ModificationReporter(const ModificationReporter&) = delete;
  ModificationReporter& operator=(const ModificationReporter&) = delete;

  IComponentObject* WriterContext() noexcept { return &m_context; }

  // The subject of the host's calls from now on; set before each call, and
  // the reports of a call are taken before the next one is made.
  void SetSubject(std::wstring subject);

  // Waits until the server has reported everything applied so far, then
  // hands over the queued notifications, in order. Raises ToolError
  // (kExitFailure) when the wait fails or a report could not be turned into
  // a notification.
  std::vector<DXNodePtr> TakeNotifications(uint32_t timeoutMs);

  // The notification node the maintainer takes for one modification.
  static DXNodePtr MakeNotification(const CLConfigModification& modification, const std::wstring& subject);

 private:
  static void OnReport(void* self, const CLConfigModification* modifications, uint32_t count);
  void Report(const CLConfigModification* modifications, uint32_t count) noexcept;

  IComponentObject* m_server;
  HostWriterContext m_context;
  std::mutex m_lock;
  std::wstring m_subject;                  // guarded by m_lock
  std::vector<DXNodePtr> m_notifications;  // guarded by m_lock
  std::optional<std::wstring> m_failure;   // guarded by m_lock
};

}  // namespace KestrovaHost
