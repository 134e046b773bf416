#include "ActivityFrame.h"

namespace UsageStatistics {

DXNodePtr MakeActivityFrame(const std::wstring& name) {
  DXNodePtr frame = DXNodePtr::Create(nullptr, kActivityFrameType);
  frame.SetString(kFrameName, name);
  return frame;
}

DXNodePtr MakeActivityItem(const std::wstring& name, const std::wstring& value) {
  DXNodePtr item = MakeActivityFrame(name);
  item.SetString(kFrameValue, value);
  return item;
}

}  // namespace UsageStatistics
