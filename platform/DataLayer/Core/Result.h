// Result codes of the node store, as HRESULT values, without windows.h.
#pragma once

#include <cstdint>

namespace DataLayer {

using Result = int32_t;

namespace Results {
constexpr Result kOk = 0;
constexpr Result kInsufficientBuffer = static_cast<Result>(0x8007007A);
constexpr Result kNotFound = static_cast<Result>(0x80070490);
constexpr Result kInvalidData = static_cast<Result>(0x8007000D);
constexpr Result kTypeMismatch = static_cast<Result>(0x8007065D);
constexpr Result kArithmeticOverflow = static_cast<Result>(0x80070216);
constexpr Result kInvalidOperation = static_cast<Result>(0x800710DD);
constexpr Result kIllegalMethodCall = static_cast<Result>(0x8000000E);
constexpr Result kUnexpected = static_cast<Result>(0x8000FFFF);
constexpr Result kPointer = static_cast<Result>(0x80004003);
constexpr Result kInvalidArg = static_cast<Result>(0x80070057);
constexpr Result kOutOfMemory = static_cast<Result>(0x8007000E);
}  // namespace Results

constexpr bool Failed(Result result) { return result < 0; }

}  // namespace DataLayer
