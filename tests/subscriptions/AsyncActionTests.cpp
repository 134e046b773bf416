// CAsyncAction: the initial wait, runs spaced from the end of the previous
// one, period 0, Stop during a run, failures of the action, and an action
// that destroys its own worker.
#include "SubscriptionTestSupport.h"

#include "Sources/Common/ErrorHandling/HRES.h"
#include "Sources/Common/Helpers/AsyncAction.h"
#include "Sources/Common/Lifetime/ModuleUsage.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using SubscriptionTest::WaitUntil;

struct RunTimes {
  std::mutex lock;
  std::vector<Clock::time_point> starts, ends;
  size_t Count() {
    std::lock_guard guard(lock);
    return ends.size();
  }
};

TEST(AsyncActionTest, FirstRunWaitsForTheInitialDelay) {
  struct Case {
    std::chrono::milliseconds delay;
    std::chrono::milliseconds notBefore;
    std::chrono::milliseconds notAfter;
  };
  // Delay 0 runs at once; the sink's form (delay equal to the period) runs
  // one period after construction.
  for (const Case& c : {Case{0ms, 0ms, 200ms}, Case{80ms, 80ms, 400ms}}) {
    SCOPED_TRACE(c.delay.count());
    std::promise<Clock::time_point> firstRun;
    std::atomic<int> runs{0};
    const Clock::time_point created = Clock::now();
    CAsyncAction<> action(c.delay, c.delay, [&] {
      if (runs++ == 0) firstRun.set_value(Clock::now());
    });
    auto future = firstRun.get_future();
    ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
    const auto elapsed = future.get() - created;
    EXPECT_GE(elapsed, c.notBefore);
    EXPECT_LE(elapsed, c.notAfter);
  }
}

TEST(AsyncActionTest, PeriodZeroRunsOnceAndWaitsUntilStopped) {
  std::atomic<int> runs{0};
  const Clock::time_point created = Clock::now();
  {
    CAsyncAction<> action(0s, 0ms, [&] { ++runs; });
    ASSERT_TRUE(WaitUntil([&] { return runs == 1; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(runs, 1);
  }
  // The waiting worker wakes at the destructor's Stop at once.
  EXPECT_LT(Clock::now() - created, 2s);
  EXPECT_EQ(runs, 1);
}

TEST(AsyncActionTest, NextRunStartsOnePeriodAfterTheEndOfThePrevious) {
  // Runs longer than the period: measured from the start they would overlap.
  constexpr auto kPeriod = 15ms;
  constexpr auto kRun = 25ms;
  RunTimes times;
  std::atomic<int> inRun{0}, overlaps{0};
  {
    CAsyncAction<> action(kPeriod, 0ms, [&] {
      if (inRun++ != 0) ++overlaps;
      const Clock::time_point start = Clock::now();
      std::this_thread::sleep_for(kRun);
      --inRun;
      std::lock_guard guard(times.lock);
      times.starts.push_back(start);
      times.ends.push_back(Clock::now());
    });
    ASSERT_TRUE(WaitUntil([&] { return times.Count() >= 4; }));
  }
  EXPECT_EQ(overlaps, 0);
  std::lock_guard guard(times.lock);
  for (size_t i = 1; i < times.starts.size(); ++i) {
    EXPECT_GE(times.starts[i] - times.ends[i - 1], kPeriod) << "run " << i;
    EXPECT_LT(times.starts[i] - times.ends[i - 1], kPeriod + 200ms) << "run " << i;
  }
}

TEST(AsyncActionTest, StopDuringARunLetsItCompleteAndStartsNoOther) {
  std::promise<void> entered, release;
  auto released = release.get_future().share();
  std::atomic<int> runs{0}, completed{0};
  auto action = std::make_unique<CAsyncAction<>>(5ms, 0ms, [&] {
    if (runs++ == 0) {
      entered.set_value();
      released.wait();
    }
    ++completed;
  });
  ASSERT_EQ(entered.get_future().wait_for(5s), std::future_status::ready);

  const Clock::time_point stopCalled = Clock::now();
  action->Stop();
  EXPECT_LT(Clock::now() - stopCalled, 1s) << "Stop waited for the run";
  action->Stop();  // again: changes nothing

  std::thread releaser([&] {
    std::this_thread::sleep_for(30ms);
    release.set_value();
  });
  action.reset();  // joins: returns after the run
  EXPECT_EQ(completed, 1);
  releaser.join();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(runs, 1);
}

TEST(AsyncActionTest, FailingActionRunsAtEveryPeriod) {
  std::atomic<int> runs{0};
  CAsyncAction<> action(2ms, 0ms, [&] {
    ++runs;
    ThrowHr(E_ACCESSDENIED);
  });
  EXPECT_TRUE(WaitUntil([&] { return runs >= 3; }));
  std::atomic<int> otherRuns{0};
  CAsyncAction<> throwsOther(2ms, 0ms, [&] {
    ++otherRuns;
    throw std::runtime_error("not an HRX");
  });
  EXPECT_TRUE(WaitUntil([&] { return otherRuns >= 3; }));
}

TEST(AsyncActionTest, PeriodBeyondTheClockRangeWaitsInsteadOfRunningAgain) {
  // 2^32-1 hours in nanoseconds does not fit 64 bits; wrapped round it
  // would become a short or negative period.
  std::atomic<int> runs{0};
  {
    CAsyncAction<> action(std::chrono::duration<uint32_t, std::ratio<3600>>(std::numeric_limits<uint32_t>::max()), 0s,
                          [&] { ++runs; });
    ASSERT_TRUE(WaitUntil([&] { return runs == 1; }));
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(runs, 1);
  // A delay beyond the range never runs; the destructor still returns.
  std::atomic<int> delayedRuns{0};
  {
    CAsyncAction<> action(1ms, std::chrono::duration<uint64_t>(std::numeric_limits<uint64_t>::max()),
                          [&] { ++delayedRuns; });
  }
  EXPECT_EQ(delayedRuns, 0);
}

TEST(AsyncActionTest, ActionMayDestroyItsOwnWorker) {
  // The owner goes away inside a run (its last reference dropped by the
  // action): the worker must neither join itself nor touch freed state, and
  // it keeps the module in use until it has ended, so that a host that
  // unloads at a count of 0 never unmaps code the thread still runs.
  const uint32_t usersBefore = ModuleUsage::Count();
  std::unique_ptr<CAsyncAction<>> action;
  std::mutex lock;
  std::promise<void> destroyed, finish;
  std::shared_future<void> finished = finish.get_future().share();
  std::atomic<int> runs{0};
  {
    std::lock_guard guard(lock);
    action = std::make_unique<CAsyncAction<>>(1ms, 0ms, [&, finished] {
      ++runs;
      {
        std::lock_guard inner(lock);
        action.reset();
      }
      destroyed.set_value();
      finished.wait();
    });
    EXPECT_EQ(ModuleUsage::Count(), usersBefore + 1) << "the worker keeps the module in use";
  }
  ASSERT_EQ(destroyed.get_future().wait_for(5s), std::future_status::ready);
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(ModuleUsage::Count(), usersBefore + 1) << "the owner is gone, the detached thread still runs";
  finish.set_value();
  EXPECT_TRUE(WaitUntil([&] { return ModuleUsage::Count() == usersBefore; }));
  EXPECT_EQ(runs, 1);
}

TEST(AsyncActionTest, TraceScopesOfTheThreadAndEachRun) {
  SubscriptionTest::ScopedLogCapture log(L"DBG2");
  std::atomic<int> runs{0};
  {
    CAsyncAction<> action(1ms, 0ms, [&] { ++runs; });
    ASSERT_TRUE(WaitUntil([&] { return runs >= 2; }));
  }
  EXPECT_EQ(log.Count(L"Entering: AsyncAction thread"), 1u);
  EXPECT_EQ(log.Count(L"Exiting: AsyncAction thread"), 1u);
  EXPECT_GE(log.Count(L"Entering: Executing AsyncAction"), 2u);
}

}  // namespace
