#include "SettingReader.h"

#include "node/NodeErrors.h"

#include "Sources/Common/ErrorHandling/HRES.h"

namespace UsageStatistics::Checking {

namespace {

const wchar_t* ExpectedType(SettingRead read) {
  switch (read) {
    case SettingRead::RequiredText:
    case SettingRead::OptionalText:
      return L"text (a number or boolean reads as its text)";
    case SettingRead::OptionalBool:
      return L"bool";
    case SettingRead::ItemType:
    case SettingRead::OptionalInt32:
      return L"int32 (an int64 that fits is taken)";
    case SettingRead::RequiredInt64:
    case SettingRead::OptionalInt64:
      return L"int64";
  }
  return L"?";
}

}  // namespace

SettingValue SettingReader::Read(const DXNodePtr& node, const wchar_t* name, SettingRead read) {
  SettingValue value;
  try {
    switch (read) {
      case SettingRead::RequiredText:
        value.text = node.GetString(name);
        value.present = true;
        break;
      case SettingRead::OptionalText:
        value.text = node.GetString(name, std::wstring());
        value.present = node.HasAttribute(name) && node.GetAttributeType(name) != DXNodePtr::kTypeNone;
        break;
      case SettingRead::OptionalBool:
        value.number = node.GetBool(name, false) ? 1 : 0;
        value.present = node.HasAttribute(name) && node.GetAttributeType(name) != DXNodePtr::kTypeNone;
        break;
      case SettingRead::ItemType: {
        // As CUsageActivityItem reads it: absent or untyped is 0.
        int32_t itemType = 0;
        if (node.HasAttribute(name) && node.GetAttributeType(name) != DXNodePtr::kTypeNone) {
          if (!node.TryGetInt32(name, itemType)) ThrowHr(NodeErrors::kNotFound);
          value.present = true;
        }
        value.number = itemType;
        break;
      }
      case SettingRead::RequiredInt64:
        value.number = node.GetInt64(name);
        value.present = true;
        break;
      case SettingRead::OptionalInt32: {
        int32_t number = 0;
        value.present = node.TryGetInt32(name, number);
        value.number = number;
        break;
      }
      case SettingRead::OptionalInt64:
        value.present = node.TryGetInt64(name, value.number);
        break;
    }
  } catch (const HRX& failure) {
    value.failure = failure.Code();
    value.present = false;
  }
  return value;
}

std::wstring SettingReader::TypeName(uint16_t type) {
  switch (type) {
    case DXN_TYPE_NONE:
      return L"untyped";
    case DXN_TYPE_TEXT_LEGACY:
    case DXN_TYPE_TEXT:
      return L"text";
    case DXN_TYPE_INT32:
      return L"int32";
    case DXN_TYPE_INT64:
      return L"int64";
    case DXN_TYPE_BOOL:
      return L"bool";
    case DXN_TYPE_BINARY:
      return L"binary";
    case DXN_TYPE_TEXT_LIST:
      return L"textlist";
    default:
      return L"type " + std::to_wstring(type);
  }
}

std::wstring SettingReader::FailureText(const DXNodePtr& node, const wchar_t* name, SettingRead read, HRESULT failure) {
  uint16_t type = 0;
  bool present = false;
  try {
    present = node.TryGetAttributeType(name, type);
  } catch (const HRX&) {
  }
  if (!present) return L"required setting is missing";
  if (failure == static_cast<HRESULT>(DXN_E_ARITHMETIC_OVERFLOW)) {
    return L"the " + TypeName(type) + L" value does not fit an int32";
  }
  return L"is " + TypeName(type) + L"; the engine reads " + ExpectedType(read);
}

}  // namespace UsageStatistics::Checking
