// Wall-clock time of a piece of work, from the performance counter.
#pragma once

#include <windows.h>

#include <algorithm>
#include <vector>

namespace ResolutionBenchmark {

class Stopwatch {
 public:
  Stopwatch() { ::QueryPerformanceCounter(&m_start); }

  double ElapsedSeconds() const {
    LARGE_INTEGER now;
    LARGE_INTEGER frequency;
    ::QueryPerformanceCounter(&now);
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - m_start.QuadPart) / static_cast<double>(frequency.QuadPart);
  }

 private:
  LARGE_INTEGER m_start;
};

// The median of the samples (the middle one; the upper middle for an even count).
inline double Median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

}  // namespace ResolutionBenchmark
