// HRESULTs raised by the node model.
#pragma once

#include <windows.h>

namespace NodeErrors {
// A path climbed above the root with "..".
inline constexpr HRESULT kPathAboveRoot = static_cast<HRESULT>(0x80040201);
// HRESULT_FROM_WIN32(ERROR_NOT_FOUND): absent attribute, child or setting.
inline constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070490);
// HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER): the store asks for a larger buffer.
inline constexpr HRESULT kInsufficientBuffer = static_cast<HRESULT>(0x8007007A);
// HRESULT_FROM_WIN32(ERROR_INVALID_DATA): malformed rules or input.
inline constexpr HRESULT kInvalidData = static_cast<HRESULT>(0x8007000D);
}  // namespace NodeErrors
