// Reads one setting with the very node wrapper call the engine's constructor
// uses, so that a value the checker accepts is one the engine accepts, and a
// failure comes with the engine's HRESULT.
#pragma once

#include "RuleVocabulary.h"

#include "node/DXNodePtr.h"

#include <cstdint>
#include <string>

namespace UsageStatistics::Checking {

struct SettingValue {
  HRESULT failure = S_OK;  // the HRESULT the engine's read raises; S_OK when it succeeds
  bool present = false;    // the read found a value (not the default)
  std::wstring text;       // text reads
  int64_t number = 0;      // number reads
};

class SettingReader {
 public:
  static SettingValue Read(const DXNodePtr& node, const wchar_t* name, SettingRead read);

  // Why a read failed, for a finding: "required setting is missing", or the
  // stored type against the read one.
  static std::wstring FailureText(const DXNodePtr& node, const wchar_t* name, SettingRead read, HRESULT failure);

  // "text", "int32", "int64", "bool", "binary", "textlist" (the node text
  // names), "untyped" for 0, else the code.
  static std::wstring TypeName(uint16_t type);
};

}  // namespace UsageStatistics::Checking
