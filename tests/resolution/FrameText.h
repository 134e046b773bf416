// A compact text of activity frames for assertions:
//   Name=value, Name=[a,b] (text list), Name=#3 (64-bit integer),
//   Name(multi=0){child; child} (set frames), frames joined by "; ".
#pragma once

#include "node/DXNodePtr.h"

#include <string>
#include <vector>

namespace KestrovaTest {

inline std::wstring FrameText(const DXNodePtr& frame) {
  std::wstring text = frame.GetString(L"Name", L"<no name>");
  if (frame.HasAttribute(L"Value")) {
    switch (frame.GetAttributeType(L"Value")) {
      case DXNodePtr::kTypeText:
        text += L"=" + frame.GetString(L"Value");
        break;
      case DXNodePtr::kTypeInt64:
        text += L"=#" + std::to_wstring(frame.GetInt64(L"Value"));
        break;
      case DXNodePtr::kTypeTextList: {
        std::vector<std::wstring> list;
        frame.TryGetStringList(L"Value", list);
        text += L"=[";
        for (size_t i = 0; i < list.size(); ++i) text += (i ? L"," : L"") + list[i];
        text += L"]";
        break;
      }
      default:
        text += L"=?";
    }
  }
  if (frame.HasAttribute(L"IsMultiValue")) text += frame.GetBool(L"IsMultiValue", false) ? L"(multi=1)" : L"(multi=0)";
  if (frame.GetChildCount() > 0) {
    text += L"{";
    bool first = true;
    frame.ForEachChild([&](const DXNodePtr& child) {
      text += (first ? L"" : L"; ") + FrameText(child);
      first = false;
    });
    text += L"}";
  }
  return text;
}

inline std::wstring FramesText(const std::vector<DXNodePtr>& frames) {
  std::wstring text;
  for (size_t i = 0; i < frames.size(); ++i) text += (i ? L"; " : L"") + FrameText(frames[i]);
  return text;
}

}  // namespace KestrovaTest
