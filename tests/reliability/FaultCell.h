// One cell of the fault matrix: a fault of the reference services on one
// operation in one mode, and the snapshot maintainer run end to end against
// it in this process, with every check of the cell.
#pragma once

#include <Kestrova/ComponentsLib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Reliability {

enum class FaultTarget { ConfigServer, ServiceClient, UsageStatisticsService };

struct OperationInfo {
  CLOperation operation;
  const wchar_t* name;
  FaultTarget target;
};

enum class FaultKind { Always, NextCalls, AfterCalls, Delay };

struct ModeInfo {
  FaultKind kind;
  const wchar_t* name;
};

// The failure every firing call returns: ERROR_NETWORK_UNREACHABLE, a code
// nothing else in the scenario produces.
inline constexpr HRESULT kInjectedFailure = HRESULT(0x800704CF);
// The count of the "next N" and "after N" modes, and the wait of the delay mode.
inline constexpr uint32_t kModeCount = 1;
inline constexpr uint32_t kDelayMs = 50;

const std::vector<OperationInfo>& AllOperations();
const std::vector<ModeInfo>& AllModes();

struct CellOutcome {
  bool passed = false;
  // One line: what happened and, on failure, which checks broke.
  std::wstring line;
};

class FaultCell {
 public:
  FaultCell(const OperationInfo& operation, const ModeInfo& mode, std::wstring folder);
  // Never raises: failures of the scenario itself are failures of the cell.
  CellOutcome Run() noexcept;

 private:
  CellOutcome RunScenario();

  OperationInfo m_operation;
  ModeInfo m_mode;
  std::wstring m_folder;
};

}  // namespace Reliability
