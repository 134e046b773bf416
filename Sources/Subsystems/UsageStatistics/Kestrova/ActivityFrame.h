// The activity frame: a node without name, of type "UsageActivityFrame",
// with a text "Name", an optional "Value" and child frames.
#pragma once

#include "node/DXNodePtr.h"

#include <vector>

namespace UsageStatistics {

inline constexpr wchar_t kActivityFrameType[] = L"UsageActivityFrame";
inline constexpr wchar_t kFrameName[] = L"Name";
inline constexpr wchar_t kFrameValue[] = L"Value";
inline constexpr wchar_t kFrameIsMultiValue[] = L"IsMultiValue";

// Frames in the order their receiver attaches them.
using ActivityFrameList = std::vector<DXNodePtr>;

// A new parentless frame with its "Name".
DXNodePtr MakeActivityFrame(TerminatedText name);
// An activity item: a frame with a text "Name" and a text "Value".
DXNodePtr MakeActivityItem(TerminatedText name, TerminatedText value);

}  // namespace UsageStatistics
