// A folder of a scenario's own for the files its run makes (the pending
// frames file and its checkpoints), removed with everything in it when the
// scenario ends: no scenario restores frames another run left, or leaves
// any for the next one.
#pragma once

#include <string>

namespace KestrovaHost {

class ScenarioFolder {
 public:
  // Raises ToolError (kExitFailure) when the folder cannot be made.
  ScenarioFolder();
  ~ScenarioFolder();
  ScenarioFolder(const ScenarioFolder&) = delete;
  ScenarioFolder& operator=(const ScenarioFolder&) = delete;

  // With a trailing backslash.
  const std::wstring& Path() const noexcept { return m_path; }

 private:
  std::wstring m_path;
};

}  // namespace KestrovaHost
