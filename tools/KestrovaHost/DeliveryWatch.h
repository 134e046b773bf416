// Times a run's delivery: from the start of the first step to the end of
// the steps, and to the last frame the service received while the host
// settled. The service's frame count is looked at every few milliseconds
// during the settle time only, so the steps themselves run undisturbed.
#pragma once

#include <Kestrova/HostServices.h>

#include <chrono>
#include <cstdint>
#include <optional>

namespace KestrovaHost {

struct DeliveryTimes {
  uint64_t stepsMs = 0;
  // None: no frame arrived after the steps ended.
  std::optional<uint64_t> lastFrameMs;
};

class DeliveryWatch {
 public:
  static constexpr uint32_t kPollMs = 5;

  explicit DeliveryWatch(IComponentObject* service);

  void StepsStarting();
  void StepsEnded();
  // Waits settleMs, watching the frame count.
  void Settle(uint32_t settleMs);

  const DeliveryTimes& Times() const noexcept { return m_times; }

 private:
  using Clock = std::chrono::steady_clock;
  uint64_t SinceStart() const;
  uint32_t FrameCount() const;

  IComponentObject* m_service;
  Clock::time_point m_start = Clock::now();
  uint32_t m_frames = 0;
  DeliveryTimes m_times;
};

}  // namespace KestrovaHost
