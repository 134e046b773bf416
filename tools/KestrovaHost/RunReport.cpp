#include "RunReport.h"

#include "FrameTreePrinter.h"
#include "NodeHandle.h"
#include "Utf8Text.h"

#include "Sources/Common/ErrorHandling/HRES.h"

namespace KestrovaHost {

namespace {

std::string PendingText(const PendingCount& pending) {
  if (!pending.path) return "0 (no transient storage file configured)";
  const std::string file = KestrovaTools::ToUtf8(*pending.path);
  if (!pending.frames) return "unknown: " + KestrovaTools::ToUtf8(pending.readFailure);
  return std::to_string(*pending.frames) + " (" + file + ")";
}

}  // namespace

// The sender's figures, from its status node ("?" for one the node lacks).
std::string DeliveryText(const DXNodePtr& status) {
  const auto figure = [&status](const wchar_t* name) {
    try {
      int64_t value = 0;
      if (status.TryGetInt64(name, value)) return std::to_string(value);
    } catch (const HRX&) {
    }
    return std::string("?");
  };
  return "delivery: " + figure(L"FramesStored") + " stored, " + figure(L"FramesDiscardedWhileOff") +
         " discarded while off, " + figure(L"FramesSent") + " sent, " + figure(L"FailedSendAttempts") +
         " failed attempts, " + figure(L"FramesDroppedAfterFailures") + " dropped after MaxSendFailures, " +
         figure(L"FramesDroppedByQueueLimit") + " dropped by MaxQueuedFrames, " + figure(L"FramesRestored") +
         " restored, " + figure(L"FramesWrittenToFile") + " written to the pending file\n";
}

std::string FramesTree(const std::vector<DXNodePtr>& frames) {
  // The printer shows the children of a container: one of copies, so the
  // caller's frames keep their own place.
  const DXNodePtr container = DXNodePtr::Create(nullptr, nullptr);
  for (const DXNodePtr& frame : frames) container.AddChild(frame.Clone());
  return KestrovaTools::FrameTreePrinter::Print(KestrovaTools::NodeHandle(DXNodePtr(container).Detach()));
}

std::string RunReport::Text(bool withFrames) const {
  std::string text;
  text += "entries configured: " + std::to_string(entriesConfigured) + "\n";
  text += "steps run: " + std::to_string(counts.steps) + "\n";
  text += "notifications: " + std::to_string(counts.notifications) +
          " (not tracked by any entry: " + std::to_string(counts.untracked) +
          ", refused: " + std::to_string(counts.refused) + ")\n";
  text += "frames delivered: " + std::to_string(delivered.size()) + "\n";
  text += "frames left for the pending file: " + PendingText(pending) + "\n";
  if (deliveryStatus) text += DeliveryText(deliveryStatus);
  if (times) {
    text += "steps took: " + std::to_string(times->stepsMs) + " ms\n";
    text += "last frame received: " +
            (times->lastFrameMs ? std::to_string(*times->lastFrameMs) + " ms after the first step"
                                : std::string("none after the steps ended")) +
            "\n";
  }
  if (withFrames && !delivered.empty()) {
    text += "\ndelivered frames, in order of arrival:\n";
    text += FramesTree(delivered);
  }
  return text;
}

}  // namespace KestrovaHost
