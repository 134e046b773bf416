// Runs kestrova-resolve.exe from the test's own folder as a separate
// process, with its standard output and error captured byte for byte.
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

// Launches the tool with the arguments (quoted as the C runtime parses
// them) and waits for it; fails the current test when it cannot start.
ToolRun RunTool(const std::vector<std::wstring>& arguments);

}  // namespace KestrovaTest
