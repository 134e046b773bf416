#include "StoreRequestShape.h"

#include "Failure.h"

#include <Kestrova/ComponentsLib.h>

namespace ComponentsLib::StoreRequestShape {
namespace {

bool IsFrame(const Node& node, uint32_t depth) {
  if (depth > kMaxFrameDepth || node.Type() != L"UsageActivityFrame") return false;
  const auto name = node.GetRaw(L"Name");
  if (!name || name->type != DXN_TYPE_TEXT) return false;
  const uint32_t count = node.ChildCount();
  for (uint32_t index = 0; index < count; ++index) {
    if (!IsFrame(node.Child(index), depth + 1)) return false;
  }
  return true;
}

}  // namespace

HRESULT Check(IDXNode* request) noexcept {
  if (request == nullptr) return E_POINTER;
  return Guarded([&] {
    const Node node = Node::Share(request);
    if (node.Name() != L"StoreRequest" || !node.Type().empty() || node.ChildCount() != 1) return CL_E_INVALID_DATA;
    return IsFrame(node.Child(0), 1) ? S_OK : CL_E_INVALID_DATA;
  });
}

}  // namespace ComponentsLib::StoreRequestShape
