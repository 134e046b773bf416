#include "DeliveryWatch.h"

#include <Kestrova/ComponentsLib.h>

#include <windows.h>

#include <algorithm>

namespace KestrovaHost {

DeliveryWatch::DeliveryWatch(IComponentObject* service) : m_service(service) {}

uint64_t DeliveryWatch::SinceStart() const {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_start).count());
}

uint32_t DeliveryWatch::FrameCount() const {
  uint32_t count = 0;
  // A failing count reads as no change; the run's result does not depend on it.
  ::CLUsageStatisticsGetFrameCount(m_service, &count);
  return count;
}

void DeliveryWatch::StepsStarting() { m_start = Clock::now(); }

void DeliveryWatch::StepsEnded() {
  m_times.stepsMs = SinceStart();
  m_frames = FrameCount();
}

void DeliveryWatch::Settle(uint32_t settleMs) {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(settleMs);
  for (Clock::time_point now = Clock::now(); now < end; now = Clock::now()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
    ::Sleep(static_cast<DWORD>(std::min<long long>(left, kPollMs)));
    if (const uint32_t frames = FrameCount(); frames != m_frames) {
      m_frames = frames;
      m_times.lastFrameMs = SinceStart();
    }
  }
}

}  // namespace KestrovaHost
