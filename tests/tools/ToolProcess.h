// Runs the tools (kestrova-resolve.exe, kestrova-host.exe) from the test's
// own folder as separate processes, with their standard output and error
// captured byte for byte.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace KestrovaTest {

struct ToolRun {
  DWORD exitCode = 0;
  std::string output;     // standard output, raw bytes
  std::string error;      // standard error, raw bytes
  bool killed = false;    // RunProgramUntil's condition held and the program was killed
  bool timedOut = false;  // killed because the time-out passed
};

// The exit code of a program RunProgramUntil killed.
inline constexpr DWORD kKilledExitCode = 137;

// Launches the program of that file name with the arguments (quoted as the
// C runtime parses them) and waits for it; fails the current test when it
// cannot start.
ToolRun RunProgram(const std::wstring& fileName, const std::vector<std::wstring>& arguments);

// The same, but killed hard (TerminateProcess) as soon as killWhen, asked
// every 20 ms while it runs, says so, or when timeoutMs have passed.
ToolRun RunProgramUntil(const std::wstring& fileName, const std::vector<std::wstring>& arguments,
                        const std::function<bool()>& killWhen, DWORD timeoutMs);

// kestrova-resolve.exe.
inline ToolRun RunTool(const std::vector<std::wstring>& arguments) {
  return RunProgram(L"kestrova-resolve.exe", arguments);
}

}  // namespace KestrovaTest
