// Flips the two switches a maintainer obeys — the product-wide one and the
// accumulator's own — off and on again on a fixed schedule, by writing them
// to the configuration server, and remembers when each was off. The module
// learns of a flip through its subscriptions up to about a second later, so
// a frame is only certain to be produced when its call lies outside every
// "off" window widened by a margin.
#pragma once

#include "node/DXNodePtr.h"
#include "support/StoreWrites.h"

#include <Kestrova/HostServices.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace KestrovaStress {

using Clock = std::chrono::steady_clock;

struct OffWindow {
  Clock::time_point from;  // the off write began
  Clock::time_point to;    // the on write ended
};

class SwitchFlipper {
 public:
  // How long after the on write the module may still see a switch off.
  static constexpr std::chrono::milliseconds kMargin{3000};

  SwitchFlipper(IDXConfigServer* server, std::wstring productSwitch, std::wstring accumulatorSwitch)
      : m_server(server), m_paths{std::move(productSwitch), std::move(accumulatorSwitch)} {}
  ~SwitchFlipper() { Stop(); }
  SwitchFlipper(const SwitchFlipper&) = delete;
  SwitchFlipper& operator=(const SwitchFlipper&) = delete;

  void Write(size_t which, bool enabled) const { KestrovaTest::WriteSwitch(m_server, m_paths[which].c_str(), enabled); }

  // Every period: the product-wide switch off for offTime, then, half a
  // period later, the accumulator's.
  void Start(std::chrono::milliseconds period, std::chrono::milliseconds offTime) {
    m_thread = std::thread([this, period, offTime] {
      for (size_t turn = 0;; ++turn) {
        if (!SleepFor(period / 2)) return;
        const size_t which = turn % 2;
        OffWindow window{Clock::now(), {}};
        Write(which, false);
        const bool going = SleepFor(offTime);
        Write(which, true);
        window.to = Clock::now();
        {
          const std::lock_guard lock(m_lock);
          m_windows.push_back(window);
        }
        if (!going) return;
      }
    });
  }

  void Stop() {
    {
      const std::lock_guard lock(m_lock);
      m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) m_thread.join();
  }

  // Whether a call that ran from start to end may have met a switch off.
  bool MayHaveBeenOff(Clock::time_point start, Clock::time_point end) const {
    const std::lock_guard lock(m_lock);
    for (const OffWindow& window : m_windows) {
      if (window.from <= end && start <= window.to + kMargin) return true;
    }
    return false;
  }

  size_t Flips() const {
    const std::lock_guard lock(m_lock);
    return m_windows.size();
  }

 private:
  // False when stopped meanwhile.
  bool SleepFor(std::chrono::milliseconds time) {
    std::unique_lock lock(m_lock);
    return !m_wake.wait_for(lock, time, [this] { return m_stopping; });
  }

  IDXConfigServer* m_server;
  std::wstring m_paths[2];
  mutable std::mutex m_lock;
  std::condition_variable m_wake;
  bool m_stopping = false;
  std::vector<OffWindow> m_windows;
  std::thread m_thread;
};

}  // namespace KestrovaStress
