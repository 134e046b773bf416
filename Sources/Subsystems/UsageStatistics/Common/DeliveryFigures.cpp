#include "DeliveryFigures.h"

#include "node/ValueFormats.h"

#include <cstdint>

namespace UsageStatistics::Detail {
namespace {
constexpr wchar_t kStatusType[] = L"UsageStatisticsDeliveryStatus";
}  // namespace

std::wstring UtcTimeText(int64_t time) {
  try {
    return ValueFormats::TimeToIsoString(time);
  } catch (...) {
    return std::to_wstring(time);
  }
}

bool DeliveryFigures::SameCounts(const DeliveryFigures& other) const noexcept {
  return stored == other.stored && discardedWhileOff == other.discardedWhileOff && sent == other.sent &&
         failedSendAttempts == other.failedSendAttempts && droppedAfterFailures == other.droppedAfterFailures &&
         droppedByQueueLimit == other.droppedByQueueLimit && restored == other.restored && written == other.written &&
         waiting == other.waiting;
}

std::wstring DeliveryFigures::Text() const {
  std::wstring text =
      L"stored " + std::to_wstring(stored) + L", discarded while off " + std::to_wstring(discardedWhileOff) +
      L", sent " + std::to_wstring(sent) + L", failed send attempts " + std::to_wstring(failedSendAttempts) +
      L", dropped after MaxSendFailures " + std::to_wstring(droppedAfterFailures) + L", dropped by MaxQueuedFrames " +
      std::to_wstring(droppedByQueueLimit) + L", restored from file " + std::to_wstring(restored) +
      L", written to file " + std::to_wstring(written) + L"; " + std::to_wstring(waiting) + L" frames waiting";
  if (oldestWaitingAgeSec) text += L", the oldest for " + std::to_wstring(*oldestWaitingAgeSec) + L" s";
  text += lastDeliveryTime ? L"; last delivery " + UtcTimeText(*lastDeliveryTime) : std::wstring(L"; no delivery yet");
  return text;
}

DXNodePtr DeliveryFigures::StatusNode(const std::wstring& path, int64_t now) const {
  const DXNodePtr node = DXNodePtr::Create(path.c_str(), kStatusType);
  const auto count = [&node](const wchar_t* name, uint64_t value) {
    node.SetInt64(name, static_cast<int64_t>(value > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : value));
  };
  count(L"FramesStored", stored);
  count(L"FramesDiscardedWhileOff", discardedWhileOff);
  count(L"FramesSent", sent);
  count(L"FailedSendAttempts", failedSendAttempts);
  count(L"FramesDroppedAfterFailures", droppedAfterFailures);
  count(L"FramesDroppedByQueueLimit", droppedByQueueLimit);
  count(L"FramesRestored", restored);
  count(L"FramesWrittenToFile", written);
  count(L"FramesWaiting", waiting);
  // Always written: a merge into the store keeps attributes a node leaves out.
  node.SetInt64(L"OldestWaitingFrameAgeSec", oldestWaitingAgeSec.value_or(0));
  node.SetString(L"LastDeliveryTime", lastDeliveryTime ? UtcTimeText(*lastDeliveryTime) : std::wstring());
  node.SetString(L"StartTime", UtcTimeText(startTime));
  node.SetString(L"StatusTime", UtcTimeText(now));
  return node;
}

}  // namespace UsageStatistics::Detail
