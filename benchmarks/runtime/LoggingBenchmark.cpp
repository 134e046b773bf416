// Measures what logging costs its callers:
//  - a statement whose severity is disabled, beside an empty loop of the same
//    length and the parts of the severity test (the tick count it reads for
//    the 5-second settings refresh);
//  - the cost of one line without the file: building the text and
//    formatting the line (a function-tracing line, as the rules write them);
//  - the cost of writing a formatted line on its own: into a handle kept
//    open, with a handle duplicate per line (what the FileLogger does), and
//    through the FileLogger;
//  - lines per second into the log file, with the default keep-open interval
//    and with "KeepOpenInterval" 0, on one thread and on four.
#include "logging/FileLogger.h"
#include "logging/FunctionTracer.h"
#include "logging/LogStatement.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
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

// The best of several runs, in nanoseconds per iteration.
double BestNs(int64_t iterations, const std::function<void(int64_t)>& run, int runs = 5) {
  double best = 1e300;
  for (int attempt = 0; attempt < runs; ++attempt) {
    const int64_t start = Now();
    run(iterations);
    best = std::min(best, Seconds(Now() - start) * 1e9 / static_cast<double>(iterations));
  }
  return best;
}

volatile uint64_t g_sink = 0;

void SeverityTestParts() {
  constexpr int64_t kIterations = 20'000'000;
  SetVariable(L"GS_Logger_MaxSeverity", L"ERR");
  const double tick = BestNs(kIterations, [](int64_t n) {
    uint64_t sum = 0;
    for (int64_t i = 0; i < n; ++i) sum += ::GetTickCount64();
    g_sink = sum;
  });
  const double instance = BestNs(kIterations, [](int64_t n) {
    uint64_t sum = 0;
    for (int64_t i = 0; i < n; ++i) sum += LogManager::Instance().MaxSeverity();
    g_sink = sum;
  });
  const double enabled = BestNs(kIterations, [](int64_t n) {
    uint64_t sum = 0;
    for (int64_t i = 0; i < n; ++i) sum += LogManager::Instance().IsEnabled(LogSeverity::Dbg) ? 1 : 0;
    g_sink = sum;
  });
  std::printf(
      "parts of the severity test: GetTickCount64 %.2f ns; LogManager::Instance + max severity %.2f ns; "
      "IsEnabled(DBG) %.2f ns\n",
      tick, instance, enabled);
}

// A discarding logger: the line is built and formatted, not written.
class NullLogger final : public ILogger {
 public:
  void Write(const wchar_t*, int length) noexcept override { m_characters += static_cast<uint64_t>(length); }
  uint64_t m_characters = 0;
};

void LineCost() {
  constexpr int64_t kIterations = 200'000;
  const wchar_t* const kTraced = L"UsageStatistics::CUsageActivityItem::ResolveActivityEntry";
  LineFormatter formatter;
  const FILETIME now = CurrentLogTime();
  const double format = BestNs(kIterations, [&](int64_t n) {
    for (int64_t i = 0; i < n; ++i) {
      g_sink = g_sink +
               formatter.Format(LogSeverity::Dbg, KLOG_FILE, 27, std::wstring(L"Entering: ") + kTraced, 3, &now).size();
    }
  });
  const double formatNow = BestNs(kIterations, [&](int64_t n) {
    for (int64_t i = 0; i < n; ++i) {
      g_sink = g_sink + formatter.Format(LogSeverity::Dbg, KLOG_FILE, 27, std::wstring(L"Entering: ") + kTraced, 3,
                                         nullptr)
                            .size();
    }
  });

  SetVariable(L"GS_Logger_MaxSeverity", L"DBG");
  NullLogger sink;
  LogManager::Instance().Register(&sink);
  const double statement = BestNs(kIterations, [&](int64_t n) {
    for (int64_t i = 0; i < n; ++i) KLOG_DBG(L"Entering: " << kTraced);
  });
  const double numbers = BestNs(kIterations, [&](int64_t n) {
    for (int64_t i = 0; i < n; ++i) KLOG_DBG(L"line " << i << L" of " << n);
  });
  const double traced = BestNs(kIterations, [&](int64_t n) {
    for (int64_t i = 0; i < n; ++i) {
      KTRACE_SCOPE(LogSeverity::Dbg, LogSeverity::Dbg, L"UsageStatistics::CUsageActivityItem::ResolveActivityEntry");
    }
  });
  LogManager::Instance().Unregister(&sink);
  std::printf(
      "line without the file: LineFormatter::Format %.0f ns (given time), %.0f ns (time read); "
      "KLOG_DBG with a text %.0f ns, with numbers %.0f ns; KTRACE_SCOPE (two lines) %.0f ns\n",
      format, formatNow, statement, numbers, traced);
}

void WriteCost(const std::wstring& directory) {
  constexpr int64_t kIterations = 20'000;
  LineFormatter formatter;
  const std::wstring line =
      formatter.Format(LogSeverity::Dbg, KLOG_FILE, 27,
                       L"Entering: UsageStatistics::CUsageActivityItem::ResolveActivityEntry", 3, nullptr);
  const DWORD bytes = static_cast<DWORD>(line.size() * sizeof(wchar_t));
  const std::wstring path = directory + L"\\write-cost.log";
  const HANDLE file =
      ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  const HANDLE process = ::GetCurrentProcess();
  const double kept = BestNs(
      kIterations,
      [&](int64_t n) {
        DWORD written = 0;
        for (int64_t i = 0; i < n; ++i) ::WriteFile(file, line.data(), bytes, &written, nullptr);
      },
      3);
  const double duplicated = BestNs(
      kIterations,
      [&](int64_t n) {
        DWORD written = 0;
        for (int64_t i = 0; i < n; ++i) {
          HANDLE duplicate = nullptr;
          ::DuplicateHandle(process, file, process, &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS);
          ::WriteFile(duplicate, line.data(), bytes, &written, nullptr);
          ::CloseHandle(duplicate);
        }
      },
      3);
  const double duplicateOnly = BestNs(
      kIterations,
      [&](int64_t n) {
        for (int64_t i = 0; i < n; ++i) {
          HANDLE duplicate = nullptr;
          ::DuplicateHandle(process, file, process, &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS);
          ::CloseHandle(duplicate);
        }
      },
      3);
  ::CloseHandle(file);
  ::DeleteFileW(path.c_str());

  SetVariable(L"GS_Logger_KeepOpenInterval", nullptr);
  FileLogger logger(directory + L"\\write-cost-logger.log", L"*** benchmark banner ***\r\n");
  const double throughLogger = BestNs(
      kIterations,
      [&](int64_t n) {
        for (int64_t i = 0; i < n; ++i) logger.Write(line.c_str(), static_cast<int>(line.size()));
      },
      3);
  logger.CloseCachedHandle();
  ::DeleteFileW((directory + L"\\write-cost-logger.log").c_str());
  std::printf(
      "writing one formatted line (%lu bytes): WriteFile into a kept handle %.2f us; DuplicateHandle + "
      "WriteFile + CloseHandle %.2f us (DuplicateHandle + CloseHandle alone %.2f us); FileLogger::Write %.2f us\n",
      bytes, kept / 1e3, duplicated / 1e3, duplicateOnly / 1e3, throughLogger / 1e3);
}

void DisabledStatementCost() {
  constexpr int64_t kIterations = 50'000'000;
  SetVariable(L"GS_Logger_MaxSeverity", L"ERR");

  constexpr int kRounds = 7;
  // The anchor (an empty loop) and the statements alternate within each round;
  // the best round of each counts.
  double emptyNs = 1e300;
  double disabledNs = 1e300;
  for (int round = 0; round < kRounds; ++round) {
    int64_t start = Now();
    for (int64_t i = 0; i < kIterations; ++i) {
      asm volatile("" : : "r"(i) : "memory");  // keeps the loop
    }
    emptyNs = std::min(emptyNs, Seconds(Now() - start) * 1e9 / kIterations);

    start = Now();
    for (int64_t i = 0; i < kIterations; ++i) {
      asm volatile("" : : "r"(i) : "memory");
      KLOG_DBG(L"disabled statement " << i << L" " << std::wstring(L"never built"));
    }
    disabledNs = std::min(disabledNs, Seconds(Now() - start) * 1e9 / kIterations);
  }
  std::printf(
      "disabled DBG statement (MaxSeverity ERR): %.2f ns per statement; empty loop: %.2f ns per iteration; "
      "best of %d rounds of %lld iterations\n",
      disabledNs, emptyNs, kRounds, static_cast<long long>(kIterations));
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
  SeverityTestParts();
  LineCost();
  WriteCost(directory);
  std::fflush(stdout);
  SetVariable(L"GS_Logger_MaxSeverity", L"INFO");
  for (const wchar_t* keepOpen : {static_cast<const wchar_t*>(nullptr), L"0"}) {
    for (int threads : {1, 4}) FileThroughput(keepOpen, threads, directory);
  }
  ::RemoveDirectoryW(directory.c_str());
  return 0;
}
