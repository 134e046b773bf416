// Runs the tools (kestrova-resolve.exe, kestrova-host.exe) from the test's
// own folder as separate processes, with their standard output and error
// captured byte for byte.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace KestrovaTest {

struct ToolRun {
  DWORD exitCode = 0;
  std::string output;  // standard output, raw bytes
  std::string error;   // standard error, raw bytes
};

// Launches the program of that file name with the arguments (quoted as the
// C runtime parses them) and waits for it; fails the current test when it
// cannot start.
ToolRun RunProgram(const std::wstring& fileName, const std::vector<std::wstring>& arguments);

// kestrova-resolve.exe.
inline ToolRun RunTool(const std::vector<std::wstring>& arguments) {
  return RunProgram(L"kestrova-resolve.exe", arguments);
}

}  // namespace KestrovaTest
