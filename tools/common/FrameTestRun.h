// The test mode the tools share:
//   TOOL --test FILE... [--update] [--junit FILE]
// Every case of every file is run by the tool and its frames compared with
// the expected ones; a failing case prints its first difference and both
// frame trees; the last line is "N passed, M failed". --update writes the
// actual frames as the expected ones of every failing or new case, keeping
// the rest of the file byte for byte; --junit writes a JUnit XML report.
// Exit status: 0 all passed (or, with --update, all recorded), 1 a case
// failed (or the report or an update could not be written), 2 a file or a
// case could not be read or is malformed.
#pragma once

#include "FrameComparison.h"
#include "FrameTestFile.h"
#include "NodeHandle.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace KestrovaTools {

struct FrameTestOptions {
  std::vector<std::wstring> files;
  bool update = false;
  std::optional<std::wstring> junitPath;
};

// What running one case gives: its frames, as the children of a node, and
// where their order is left open.
struct FrameTestResult {
  NodeHandle frames;
  FrameOrder order;
};

// What a tool's test mode is made of.
struct FrameTestKind {
  const wchar_t* tool;  // the name the report carries
  FrameTestSchema schema;
  // Runs one case. A ToolError with kExitUsage is an input error of the
  // case; any other failure fails the case with its message.
  std::function<FrameTestResult(const FrameTestCase&)> run;
};

int RunFrameTests(const FrameTestKind& kind, const FrameTestOptions& options);

}  // namespace KestrovaTools
