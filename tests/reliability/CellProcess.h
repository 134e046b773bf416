// A cell of the fault matrix run in a child process of its own, so that a
// crash or a hang is that cell's result and the other cells still run.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace Reliability {

enum class CellVerdict { Passed, Failed, Crashed, Hung };

class CellProcess {
 public:
  // Starts commandLine with its standard output captured.
  explicit CellProcess(const std::wstring& commandLine);
  ~CellProcess();
  CellProcess(const CellProcess&) = delete;
  CellProcess& operator=(const CellProcess&) = delete;

  HANDLE Handle() const { return m_process; }
  // Once the process has ended or timeoutMs passed since the start (then it
  // is killed): the verdict, with the child's output in output.
  CellVerdict Finish(uint32_t timeoutMs, std::wstring& output);
  double Seconds() const;

 private:
  HANDLE m_process = nullptr;
  HANDLE m_output = nullptr;
  ULONGLONG m_started = 0;
  ULONGLONG m_ended = 0;
};

const wchar_t* VerdictName(CellVerdict verdict);

}  // namespace Reliability
