// The tool's arguments:
//   kestrova-resolve RULES SOURCE [--format tree|xml]
//   kestrova-resolve --check RULES [--strict]
//   kestrova-resolve --test FILE... [--update] [--junit FILE]
#pragma once

#include "FrameTestRun.h"

#include <string>
#include <vector>

namespace KestrovaResolve {

enum class OutputFormat { Tree, Xml };

struct CommandLine {
  std::wstring rulesPath;
  std::wstring sourcePath;
  OutputFormat format = OutputFormat::Tree;
  bool check = false;   // check RULES instead of resolving; no SOURCE
  bool strict = false;  // with check: warnings fail too
  bool test = false;    // run the cases of the test files instead
  KestrovaTools::FrameTestOptions testOptions;
  bool helpRequested = false;

  // Raises ToolError with kExitUsage for anything else.
  static CommandLine Parse(const std::vector<std::wstring>& arguments);
  static const wchar_t* UsageText();
};

}  // namespace KestrovaResolve
