#include "StepRunner.h"

#include "FailureText.h"
#include "MaintainerHost.h"
#include "ModificationReporter.h"
#include "StandardStream.h"
#include "ToolError.h"

#include "Sources/Common/ErrorHandling/HRES.h"
#include "node/NodePaths.h"

#include <windows.h>

#include <algorithm>

namespace KestrovaHost {

using KestrovaTools::ToolError;
namespace FailureText = KestrovaTools::FailureText;

StepRunner::StepRunner(IDXConfigServer* server, ModificationReporter& reporter, const MaintainerHost& maintainer,
                       std::wstring defaultSubject, std::vector<std::wstring> trackedBasePaths)
    : m_server(server),
      m_reporter(reporter),
      m_maintainer(maintainer),
      m_defaultSubject(std::move(defaultSubject)),
      m_trackedBasePaths(std::move(trackedBasePaths)) {}

void StepRunner::Run(const std::vector<ChangeStep>& steps) {
  for (const ChangeStep& step : steps) {
    ++m_stepNumber;
    switch (step.kind) {
      case StepKind::Write:
        Write(step);
        break;
      case StepKind::Delete:
        Delete(step);
        break;
      case StepKind::Notify:
        Notify(step.node.GetChild(0u));
        break;
      case StepKind::Wait:
        ::Sleep(step.milliseconds);
        break;
    }
    ++m_counts.steps;
  }
}

void StepRunner::CheckServerCall(HRESULT hr, const ChangeStep& step) const {
  if (SUCCEEDED(hr)) return;
  throw ToolError(KestrovaTools::kExitUsage,
                  L"step " + std::to_wstring(m_stepNumber) + L" (" + ChangeScript::KindName(step.kind) +
                      L") was refused by the configuration server: " + FailureText::Describe(hr));
}

void StepRunner::Write(const ChangeStep& step) {
  std::vector<DXNodePtr> children;
  std::vector<IDXNode*> nodes;
  step.node.ForEachChild([&](DXNodePtr child) {
    nodes.push_back(child.Get());
    children.push_back(std::move(child));
  });
  m_reporter.SetSubject(step.subject.value_or(m_defaultSubject));
  CheckServerCall(
      m_server->WriteNodes(m_reporter.WriterContext(), 0, nodes.data(), static_cast<uint32_t>(nodes.size())), step);
  ProcessReported();
}

void StepRunner::Delete(const ChangeStep& step) {
  const DXNodePtr filter = DXNodePtr::Create(nullptr, L"FilterByPath");
  filter.SetString(L"NodePath", step.path);
  IDXNode* const filters[] = {filter.Get()};
  m_reporter.SetSubject(step.subject.value_or(m_defaultSubject));
  CheckServerCall(m_server->DeleteNodes(m_reporter.WriterContext(), 0, filters, 1), step);
  ProcessReported();
}

void StepRunner::ProcessReported() {
  for (const DXNodePtr& notification : m_reporter.TakeNotifications(kReportTimeoutMs)) Notify(notification);
}

bool StepRunner::IsTracked(const std::wstring& path) const {
  return std::any_of(m_trackedBasePaths.begin(), m_trackedBasePaths.end(),
                     [&](const std::wstring& base) { return NodePaths::IsPathUnder(path, base); });
}

void StepRunner::NoteSharedNotification(const DXNodePtr& notification) {
  std::wstring path;
  std::wstring subject;
  try {
    if (!notification.TryGetString(L"ModifiedPath", path) ||
        !notification.TryGetString(L"SubjectDisplayName", subject)) {
      return;
    }
  } catch (const HRX&) {
    return;  // not texts: the module made no frames of it
  }
  std::vector<std::wstring> covering;
  for (const std::wstring& base : m_trackedBasePaths) {
    if (NodePaths::IsPathUnder(path, base) && std::find(covering.begin(), covering.end(), base) == covering.end()) {
      covering.push_back(base);
    }
  }
  if (covering.size() > 1 &&
      std::find(m_sharedSubjects.begin(), m_sharedSubjects.end(), subject) == m_sharedSubjects.end()) {
    m_sharedSubjects.push_back(subject);
  }
}

void StepRunner::Notify(const DXNodePtr& notification) {
  ++m_counts.notifications;
  const HRESULT hr = m_maintainer.ProcessUsageActivity(notification.Get());
  if (SUCCEEDED(hr)) {
    NoteSharedNotification(notification);
    return;
  }
  std::wstring path = L"(no ModifiedPath)";
  bool hasPath = false;
  try {
    hasPath = notification.TryGetString(L"ModifiedPath", path);
  } catch (const HRX&) {
    // Not a text: the message keeps the placeholder.
  }
  // A host reports every change; the module refuses one that no entry
  // tracks with 0x8007000D. That is the expected answer, not a failure.
  if (hr == HRESULT_FROM_WIN32(ERROR_INVALID_DATA) && hasPath && !IsTracked(path)) {
    ++m_counts.untracked;
    return;
  }
  // Counted, not fatal: the module may fail on one notification and go on.
  ++m_counts.refused;
  KestrovaTools::StandardStream& error = KestrovaTools::StandardStream::Error();
  error.WriteText(L"kestrova-host: step " + std::to_wstring(m_stepNumber) + L": ProcessUsageActivity for '" + path +
                  L"' failed: " + FailureText::DescribeModuleFailure(hr) + L"\n");
  error.Flush();
}

}  // namespace KestrovaHost
