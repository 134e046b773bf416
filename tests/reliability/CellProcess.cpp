#include "CellProcess.h"

#include <string>
#include <thread>
#include <vector>

namespace Reliability {

CellProcess::CellProcess(const std::wstring& commandLine) : m_started(::GetTickCount64()) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE writeEnd = nullptr;
  if (!::CreatePipe(&m_output, &writeEnd, &inherit, 0)) return;
  ::SetHandleInformation(m_output, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION process{};
  std::wstring mutableLine = commandLine;
  if (::CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    m_process = process.hProcess;
    ::CloseHandle(process.hThread);
  }
  ::CloseHandle(writeEnd);
}

CellProcess::~CellProcess() {
  if (m_process != nullptr) ::CloseHandle(m_process);
  if (m_output != nullptr) ::CloseHandle(m_output);
}

CellVerdict CellProcess::Finish(uint32_t timeoutMs, std::wstring& output) {
  if (m_process == nullptr) {
    output = L"cannot start the cell process";
    return CellVerdict::Failed;
  }
  // The pipe is drained on a thread of its own: a child that fills it must
  // not stall while this thread waits for it to end.
  std::string bytes;
  std::thread reader([&] {
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(m_output, buffer, sizeof(buffer), &read, nullptr) && read != 0) bytes.append(buffer, read);
  });
  const ULONGLONG elapsed = ::GetTickCount64() - m_started;
  const DWORD remaining = elapsed >= timeoutMs ? 0 : static_cast<DWORD>(timeoutMs - elapsed);
  const bool ended = ::WaitForSingleObject(m_process, remaining) == WAIT_OBJECT_0;
  if (!ended) {
    ::TerminateProcess(m_process, 0xDEAD);
    ::WaitForSingleObject(m_process, INFINITE);
  }
  m_ended = ::GetTickCount64();
  reader.join();
  DWORD exitCode = 1;
  ::GetExitCodeProcess(m_process, &exitCode);

  const int length = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  output.assign(static_cast<size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), output.data(), length);
  while (!output.empty() && (output.back() == L'\n' || output.back() == L'\r')) output.pop_back();

  if (!ended) return CellVerdict::Hung;
  if (exitCode == 0) return CellVerdict::Passed;
  if (exitCode == 1) return CellVerdict::Failed;
  wchar_t code[32];
  swprintf(code, 32, L" (exit 0x%08X)", static_cast<unsigned>(exitCode));
  output += code;
  return CellVerdict::Crashed;
}

double CellProcess::Seconds() const {
  return static_cast<double>((m_ended != 0 ? m_ended : ::GetTickCount64()) - m_started) / 1000.0;
}

const wchar_t* VerdictName(CellVerdict verdict) {
  switch (verdict) {
    case CellVerdict::Passed:
      return L"PASS";
    case CellVerdict::Failed:
      return L"FAIL";
    case CellVerdict::Crashed:
      return L"CRASH";
    case CellVerdict::Hung:
      return L"HANG";
  }
  return L"?";
}

}  // namespace Reliability
