#include "ToolProcess.h"

#include "support/LoadedModule.h"

#include <gtest/gtest.h>

namespace KestrovaTest {

namespace {

// Quotes one argument so that CommandLineToArgvW and the C runtime give it
// back unchanged.
std::wstring QuoteArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) return argument;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

// A temporary file that a child process writes through an inherited handle;
// deleted when closed.
class CaptureFile {
 public:
  CaptureFile() {
    wchar_t directory[MAX_PATH] = {};
    wchar_t path[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, directory);
    ::GetTempFileNameW(directory, L"krt", 0, path);
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    m_handle = ::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  }
  ~CaptureFile() {
    if (m_handle != INVALID_HANDLE_VALUE) ::CloseHandle(m_handle);
  }
  CaptureFile(const CaptureFile&) = delete;
  CaptureFile& operator=(const CaptureFile&) = delete;

  HANDLE Handle() const { return m_handle; }

  std::string Contents() const {
    std::string bytes;
    ::SetFilePointer(m_handle, 0, nullptr, FILE_BEGIN);
    char buffer[65536];
    DWORD read = 0;
    while (::ReadFile(m_handle, buffer, sizeof(buffer), &read, nullptr) && read > 0) bytes.append(buffer, read);
    return bytes;
  }

 private:
  HANDLE m_handle = INVALID_HANDLE_VALUE;
};

}  // namespace

ToolRun RunProgram(const std::wstring& fileName, const std::vector<std::wstring>& arguments) {
  return RunProgramUntil(fileName, arguments, nullptr, INFINITE);
}

ToolRun RunProgramUntil(const std::wstring& fileName, const std::vector<std::wstring>& arguments,
                        const std::function<bool()>& killWhen, DWORD timeoutMs) {
  const std::wstring executable = ExecutableDirectory() + fileName;
  std::wstring commandLine = QuoteArgument(executable);
  for (const std::wstring& argument : arguments) commandLine += L" " + QuoteArgument(argument);

  CaptureFile output;
  CaptureFile error;
  SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
  const HANDLE input =
      ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = output.Handle();
  startup.hStdError = error.Handle();
  PROCESS_INFORMATION process{};
  ToolRun run;
  const BOOL started = ::CreateProcessW(executable.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &process);
  const DWORD startError = ::GetLastError();
  if (input != INVALID_HANDLE_VALUE) ::CloseHandle(input);
  if (!started) {
    ADD_FAILURE() << "cannot start " << std::string(fileName.begin(), fileName.end()) << ": error " << startError;
    run.exitCode = static_cast<DWORD>(-1);
    return run;
  }
  const ULONGLONG launchedAt = ::GetTickCount64();
  constexpr DWORD kPollMs = 20;
  for (;;) {
    const DWORD waited = ::WaitForSingleObject(process.hProcess, killWhen ? kPollMs : timeoutMs);
    if (waited == WAIT_OBJECT_0) break;
    const bool timedOut = timeoutMs != INFINITE && ::GetTickCount64() - launchedAt >= timeoutMs;
    if (timedOut || (killWhen && killWhen())) {
      // A hard kill, as a crash or a task manager's would be.
      ::TerminateProcess(process.hProcess, kKilledExitCode);
      ::WaitForSingleObject(process.hProcess, INFINITE);
      run.killed = !timedOut;
      run.timedOut = timedOut;
      break;
    }
  }
  ::GetExitCodeProcess(process.hProcess, &run.exitCode);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  run.output = output.Contents();
  run.error = error.Contents();
  return run;
}

}  // namespace KestrovaTest
