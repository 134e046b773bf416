#include "ActivityFrame.h"

namespace UsageStatistics {

DXNodePtr MakeActivityFrame(TerminatedText name) {
  DXNodePtr frame = DXNodePtr::Create(nullptr, kActivityFrameType);
  frame.SetString(kFrameName, name);
  return frame;
}

DXNodePtr MakeActivityItem(TerminatedText name, TerminatedText value) {
  DXNodePtr item = MakeActivityFrame(name);
  item.SetString(kFrameValue, value);
  return item;
}

}  // namespace UsageStatistics
