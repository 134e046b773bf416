// One finding of a rule or settings check: where it is, what it concerns and
// what is wrong. An error is a problem the engine fails on, with the HRESULT
// it fails with; a warning is something the engine accepts but that is
// almost always a mistake.
#pragma once

#include <windows.h>

#include <string>

namespace UsageStatistics::Checking {

struct CheckFinding {
  enum class Severity { Error, Warning };
  // When the engine fails on an error: building the rules (Initialize,
  // Configure) or resolving, once an evaluation reaches it.
  enum class Stage { Construction, Resolution };

  std::wstring path;     // the node in the checked tree: Rules\UsageActivityItemsSet[0]\If[2]
  std::wstring subject;  // "node", a setting in quotes, or child "Name"
  Severity severity = Severity::Error;
  HRESULT hr = S_OK;  // errors only
  Stage stage = Stage::Construction;
  std::wstring text;

  // "<path>: <subject>: error 0x8007000D: <text>" or "<path>: <subject>: warning: <text>".
  std::wstring Line() const;
};

}  // namespace UsageStatistics::Checking
