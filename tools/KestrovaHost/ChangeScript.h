// The change script: the steps the host runs after Configure, read from the
// children of a node and checked as a whole before anything runs.
//
//   "Write"   optional text "Subject"; its children, each named by a full
//             path, are written in one write call.
//   "Delete"  text "Path", optional text "Subject"; one delete call.
//   "Notify"  its first child goes to ProcessUsageActivity as it is.
//   "Wait"    64-bit integer "Milliseconds".
#pragma once

#include "node/DXNodePtr.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace KestrovaHost {

enum class StepKind { Write, Delete, Notify, Wait };

struct ChangeStep {
  StepKind kind = StepKind::Wait;
  DXNodePtr node;                       // the step node itself
  std::optional<std::wstring> subject;  // Write, Delete: absent means the process user
  std::wstring path;                    // Delete
  uint32_t milliseconds = 0;            // Wait
};

class ChangeScript {
 public:
  static constexpr int64_t kMaxWaitMs = 86'400'000;  // a day

  // The steps of the script node's children, in order. source names the
  // script in messages; a step of another type or of the wrong shape raises
  // ToolError with kExitUsage naming the step.
  static std::vector<ChangeStep> Parse(const DXNodePtr& script, const std::wstring& source);

  static const wchar_t* KindName(StepKind kind);

  // An absolute configuration path as the server takes it: a leading
  // backslash, no empty element.
  static bool IsValidStorePath(const std::wstring& path);
};

}  // namespace KestrovaHost
