// The fault matrix: every fault-injection operation of ComponentsLib.dll
// crossed with every fault mode, each cell running the snapshot maintainer
// of Kestrova.dll end to end in a child process of its own.
//
//   FaultMatrix [operation[/mode]]   runs the matrix (or the matching cells)
//   FaultMatrix --cell <operation index> <mode index> <folder>
//                                    runs one cell in this process
// Environment: KESTROVA_MATRIX_JOBS, cells run at once (default 2).
#include "CellProcess.h"
#include "FaultCell.h"
#include "MatrixTable.h"

#include <shellapi.h>
#include <windows.h>

#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace Reliability;

constexpr uint32_t kCellTimeoutMs = 60000;

void Print(const std::wstring& text) {
  const int length =
      ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(length), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), length, nullptr, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}

std::wstring ExecutablePath() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::wstring(path, length);
}

void RemoveTree(const std::wstring& path) {
  WIN32_FIND_DATAW found{};
  const HANDLE search = ::FindFirstFileW((path + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = path + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(child);
      } else {
        ::DeleteFileW(child.c_str());
      }
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
  }
  ::RemoveDirectoryW(path.c_str());
}

int RunCell(size_t operation, size_t mode, const std::wstring& folder) {
  if (operation >= AllOperations().size() || mode >= AllModes().size()) return 2;
  ::CreateDirectoryW(folder.c_str(), nullptr);
  const CellOutcome outcome = FaultCell(AllOperations()[operation], AllModes()[mode], folder).Run();
  Print(outcome.line + L"\n");
  // The library stays loaded: its unload would race the process's end for nothing.
  std::fflush(stdout);
  ::ExitProcess(outcome.passed ? 0 : 1);
}

struct Cell {
  size_t operation;
  size_t mode;
  std::wstring name;
  std::wstring folder;
};

int RunMatrix(const std::wstring& filter) {
  wchar_t temp[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, temp);
  const std::wstring root = std::wstring(temp) + L"kestrova-matrix-" + std::to_wstring(::GetCurrentProcessId());
  ::CreateDirectoryW(root.c_str(), nullptr);

  std::vector<std::wstring> rows;
  std::vector<std::wstring> columns;
  for (const OperationInfo& operation : AllOperations()) rows.push_back(operation.name);
  for (const ModeInfo& mode : AllModes()) columns.push_back(mode.name);
  MatrixTable table(rows, columns);

  std::deque<Cell> waiting;
  for (size_t operation = 0; operation < rows.size(); ++operation) {
    for (size_t mode = 0; mode < columns.size(); ++mode) {
      const std::wstring name = rows[operation] + L"/" + columns[mode];
      if (!filter.empty() && name != filter && rows[operation] != filter) continue;
      waiting.push_back({operation, mode, name, root + L"\\" + rows[operation] + L"-" + columns[mode]});
    }
  }
  wchar_t jobsText[16] = {};
  const DWORD jobsLength = ::GetEnvironmentVariableW(L"KESTROVA_MATRIX_JOBS", jobsText, 16);
  const size_t jobs = jobsLength != 0 && _wtoi(jobsText) > 0 ? static_cast<size_t>(_wtoi(jobsText)) : 2;

  const ULONGLONG started = ::GetTickCount64();
  const std::wstring executable = ExecutablePath();
  struct Running {
    Cell cell;
    std::unique_ptr<CellProcess> process;
  };
  std::vector<Running> running;
  while (!waiting.empty() || !running.empty()) {
    while (!waiting.empty() && running.size() < jobs) {
      Cell cell = std::move(waiting.front());
      waiting.pop_front();
      const std::wstring commandLine = L"\"" + executable + L"\" --cell " + std::to_wstring(cell.operation) + L" " +
                                       std::to_wstring(cell.mode) + L" \"" + cell.folder + L"\"";
      running.push_back({std::move(cell), std::make_unique<CellProcess>(commandLine)});
    }
    std::vector<HANDLE> handles;
    for (const Running& item : running) handles.push_back(item.process->Handle());
    const DWORD signalled = ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, 200);
    for (size_t index = 0; index < running.size(); ++index) {
      Running& item = running[index];
      const bool ended = signalled == WAIT_OBJECT_0 + index || item.process->Handle() == nullptr ||
                         ::WaitForSingleObject(item.process->Handle(), 0) == WAIT_OBJECT_0;
      if (!ended && item.process->Seconds() * 1000 < kCellTimeoutMs) continue;
      std::wstring output;
      const CellVerdict verdict = item.process->Finish(kCellTimeoutMs, output);
      table.Record(item.cell.operation, item.cell.mode, verdict, item.process->Seconds());
      wchar_t head[160];
      std::swprintf(head, 160, L"[%-5ls] %-30ls %5.1fs  ", VerdictName(verdict), item.cell.name.c_str(),
                    item.process->Seconds());
      std::wstring line = head + output;
      if (verdict == CellVerdict::Passed) {
        RemoveTree(item.cell.folder);
      } else {
        line += L"  (log: " + item.cell.folder + L")";
      }
      Print(line + L"\n");
      running.erase(running.begin() + static_cast<std::ptrdiff_t>(index));
      break;
    }
  }
  const double total = static_cast<double>(::GetTickCount64() - started) / 1000.0;
  Print(L"\n" + table.Render(total));
  const bool passed =
      table.Count(CellVerdict::Passed) != 0 &&
      table.Count(CellVerdict::Failed) + table.Count(CellVerdict::Crashed) + table.Count(CellVerdict::Hung) == 0;
  if (passed) ::RemoveDirectoryW(root.c_str());
  return passed ? 0 : 1;
}

}  // namespace

int main() {
  int count = 0;
  wchar_t** arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  std::vector<std::wstring> args(arguments, arguments + count);
  ::LocalFree(arguments);
  if (args.size() == 5 && args[1] == L"--cell") {
    return RunCell(std::stoul(args[2]), std::stoul(args[3]), args[4]);
  }
  return RunMatrix(args.size() > 1 ? args[1] : std::wstring());
}
