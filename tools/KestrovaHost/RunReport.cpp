#include "RunReport.h"

#include "FrameTreePrinter.h"
#include "NodeHandle.h"
#include "Utf8Text.h"

namespace KestrovaHost {

namespace {

std::string PendingText(const PendingCount& pending) {
  if (!pending.path) return "0 (no transient storage file configured)";
  const std::string file = KestrovaTools::ToUtf8(*pending.path);
  if (!pending.frames) return "unknown: " + KestrovaTools::ToUtf8(pending.readFailure);
  return std::to_string(*pending.frames) + " (" + file + ")";
}

}  // namespace

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
