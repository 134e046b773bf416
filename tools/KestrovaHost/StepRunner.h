// Runs the change steps against the configuration server and the
// maintainer: each write or delete is one call with the host's writer
// context, and every notification it causes has been handed to
// ProcessUsageActivity before the next step starts.
#pragma once

#include "ChangeScript.h"

#include <Kestrova/HostServices.h>

#include <cstdint>
#include <string>
#include <vector>

namespace KestrovaHost {

class MaintainerHost;
class ModificationReporter;

struct StepCounts {
  uint32_t steps = 0;          // steps run
  uint32_t notifications = 0;  // handed to ProcessUsageActivity
  uint32_t untracked = 0;      // of those, refused as below no entry's base path (0x8007000D)
  uint32_t refused = 0;        // of those, failed by the module for any other reason
};

class StepRunner {
 public:
  // How long one step's reports may take to arrive.
  static constexpr uint32_t kReportTimeoutMs = 60'000;

  // trackedBasePaths: the entries' base paths, to tell a modification no
  // entry tracks from a real failure.
  StepRunner(IDXConfigServer* server, ModificationReporter& reporter, const MaintainerHost& maintainer,
             std::wstring defaultSubject, std::vector<std::wstring> trackedBasePaths = {});

  // Raises ToolError: kExitUsage when the server refuses a step's call (the
  // step was malformed after all), kExitFailure when the host fails.
  void Run(const std::vector<ChangeStep>& steps);

  const StepCounts& Counts() const noexcept { return m_counts; }
  // The subjects of notifications the module took that more than one
  // tracked base path covers: their frames come from several entries, in an
  // order the module leaves open.
  const std::vector<std::wstring>& SharedNotificationSubjects() const noexcept { return m_sharedSubjects; }

 private:
  void Write(const ChangeStep& step);
  void Delete(const ChangeStep& step);
  void Notify(const DXNodePtr& notification);
  void ProcessReported();
  void CheckServerCall(HRESULT hr, const ChangeStep& step) const;
  bool IsTracked(const std::wstring& path) const;
  void NoteSharedNotification(const DXNodePtr& notification);

  IDXConfigServer* m_server;
  ModificationReporter& m_reporter;
  const MaintainerHost& m_maintainer;
  std::wstring m_defaultSubject;
  std::vector<std::wstring> m_trackedBasePaths;
  StepCounts m_counts;
  std::vector<std::wstring> m_sharedSubjects;
  uint32_t m_stepNumber = 0;
};

}  // namespace KestrovaHost
