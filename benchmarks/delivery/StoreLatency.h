// StoreFrame latency from producer threads, for the delivery benchmarks.
#pragma once

#include "Sources/Subsystems/UsageStatistics/Common/TransientUsageStatsAccumulator.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

// The sample at fraction of the sorted samples (1.0: the largest).
inline double Percentile(std::vector<double> samples, double fraction) {
  std::sort(samples.begin(), samples.end());
  return samples[std::min(samples.size() - 1, static_cast<size_t>(fraction * static_cast<double>(samples.size())))];
}

// Each of threads producers stores perThread frames, made beforehand by
// makeFrame(index), pausing for pause after each: the time of every
// StoreFrame call, in microseconds.
template <typename MakeFrame>
std::vector<double> StoreLatencies(UsageStatistics::CTransientUsageStatsAccumulator& accumulator, int threads,
                                   int perThread, MakeFrame&& makeFrame,
                                   std::chrono::microseconds pause = std::chrono::microseconds(0)) {
  using Clock = std::chrono::steady_clock;
  std::vector<std::vector<double>> samples(static_cast<size_t>(threads));
  std::vector<std::thread> producers;
  for (int thread = 0; thread < threads; ++thread) {
    producers.emplace_back([&, thread] {
      std::vector<DXNodePtr> frames;
      for (int index = 0; index < perThread; ++index) frames.push_back(makeFrame(index));
      std::vector<double>& own = samples[static_cast<size_t>(thread)];
      own.reserve(static_cast<size_t>(perThread));
      for (const DXNodePtr& frame : frames) {
        const auto start = Clock::now();
        accumulator.StoreFrame(frame);
        own.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        if (pause.count() > 0) std::this_thread::sleep_for(pause);
      }
    });
  }
  for (auto& producer : producers) producer.join();
  std::vector<double> all;
  for (const auto& own : samples) all.insert(all.end(), own.begin(), own.end());
  return all;
}
