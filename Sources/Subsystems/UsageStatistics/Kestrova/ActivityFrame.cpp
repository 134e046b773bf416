#include "ActivityFrame.h"

#include "Sources/Common/ErrorHandling/HRES.h"

namespace UsageStatistics {

namespace {

void SetText(const DXNodePtr& frame, const wchar_t* attribute, std::wstring_view text) {
  if (text.size() >= DXNodePtr::kMeasureText) ThrowHr(E_INVALIDARG);
  frame.SetString(attribute, text.empty() ? L"" : text.data(), static_cast<uint32_t>(text.size()));
}

}  // namespace

DXNodePtr MakeActivityFrame(std::wstring_view name) {
  DXNodePtr frame = DXNodePtr::Create(nullptr, kActivityFrameType);
  SetText(frame, kFrameName, name);
  return frame;
}

DXNodePtr MakeActivityItem(std::wstring_view name, std::wstring_view value) {
  DXNodePtr item = MakeActivityFrame(name);
  SetText(item, kFrameValue, value);
  return item;
}

}  // namespace UsageStatistics
