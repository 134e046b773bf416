// The shape of a "StoreRequest" node: named "StoreRequest", no type, one
// child that is an activity frame (type "UsageActivityFrame" with a text
// "Name"), whose children are activity frames in turn.
#pragma once

#include "Node.h"

namespace ComponentsLib::StoreRequestShape {

// Deepest frame nesting accepted.
inline constexpr uint32_t kMaxFrameDepth = 64;

// S_OK, E_POINTER for a null node, or 0x8007000D for any other shape.
HRESULT Check(IDXNode* request) noexcept;

}  // namespace ComponentsLib::StoreRequestShape
