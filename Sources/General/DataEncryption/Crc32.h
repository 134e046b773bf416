// CRC-32 of a byte range through the system's RtlComputeCrc32, looked up
// once per process.
#pragma once

#include <cstdint>
#include <span>

namespace DataEncryption {

// RtlComputeCrc32(0, data, length); E_INVALIDARG for a null or empty range.
uint32_t Crc32(std::span<const uint8_t> bytes);

}  // namespace DataEncryption
