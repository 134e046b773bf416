// Measures what logging costs its callers:
//  - a statement whose severity is disabled, beside an empty loop of the same length;
//  - lines per second into the log file, with the default keep-open interval
//    and with "KeepOpenInterval" 0, on one thread and on four.
#include "logging/FileLogger.h"
#include "logging/LogStatement.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

double Seconds(int64_t ticks) {
  LARGE_INTEGER frequency{};
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(ticks) / static_cast<double>(frequency.QuadPart);
}

int64_t Now() {
  LARGE_INTEGER now{};
  ::QueryPerformanceCounter(&now);
  return now.QuadPart;
}

void SetVariable(const wchar_t* name, const wchar_t* value) {
  ::SetEnvironmentVariableW(name, value);
  LogManager::Instance().RefreshSettings();
}

void DisabledStatementCost() {
  constexpr int64_t kIterations = 50'000'000;
  SetVariable(L"GS_Logger_MaxSeverity", L"ERR");

  int64_t start = Now();
  for (int64_t i = 0; i < kIterations; ++i) {
    asm volatile("" : : "r"(i) : "memory");  // keeps the loop
  }
  const double emptyNs = Seconds(Now() - start) * 1e9 / kIterations;

  start = Now();
  for (int64_t i = 0; i < kIterations; ++i) {
    asm volatile("" : : "r"(i) : "memory");
    KLOG_DBG(L"disabled statement " << i << L" " << std::wstring(L"never built"));
  }
  const double disabledNs = Seconds(Now() - start) * 1e9 / kIterations;
  std::printf("disabled DBG statement (MaxSeverity ERR): %.2f ns per statement; empty loop: %.2f ns per iteration; "
              "%lld iterations\n",
              disabledNs, emptyNs, static_cast<long long>(kIterations));
}

void FileThroughput(const wchar_t* keepOpen, int threadCount, const std::wstring& directory) {
  constexpr int kLinesPerRun = 20'000;
  SetVariable(L"GS_Logger_KeepOpenInterval", keepOpen);
  const std::wstring file = directory + L"\\bench-" + std::to_wstring(threadCount) + L"-" +
                            (keepOpen != nullptr ? keepOpen : L"default") + L".log";
  FileLogger logger(file, L"*** benchmark banner ***\r\n");
  LogManager::Instance().Register(&logger);

  const int perThread = kLinesPerRun / threadCount;
  const int64_t start = Now();
  std::vector<std::thread> threads;
  for (int t = 0; t < threadCount; ++t) {
    threads.emplace_back([perThread, t] {
      for (int i = 0; i < perThread; ++i) KLOG_INFO(L"benchmark line " << i << L" of thread " << t);
    });
  }
  for (std::thread& thread : threads) thread.join();
  const double seconds = Seconds(Now() - start);

  LogManager::Instance().Unregister(&logger);
  logger.CloseCachedHandle();
  std::printf("log file, KeepOpenInterval %ls, %d thread%s: %.0f lines/s (%d lines in %.3f s)\n",
              keepOpen != nullptr ? keepOpen : L"default (5000 ms)", threadCount, threadCount == 1 ? "" : "s",
              perThread * threadCount / seconds, perThread * threadCount, seconds);
  ::DeleteFileW(file.c_str());
}

}  // namespace

int main() {
  wchar_t temp[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, temp);
  const std::wstring directory = std::wstring(temp) + L"kestrova-bench-" + std::to_wstring(::GetCurrentProcessId());
  ::CreateDirectoryW(directory.c_str(), nullptr);

  DisabledStatementCost();
  SetVariable(L"GS_Logger_MaxSeverity", L"INFO");
  for (const wchar_t* keepOpen : {static_cast<const wchar_t*>(nullptr), L"0"}) {
    for (int threads : {1, 4}) FileThroughput(keepOpen, threads, directory);
  }
  ::RemoveDirectoryW(directory.c_str());
  return 0;
}
