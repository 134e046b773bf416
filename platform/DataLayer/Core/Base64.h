// Base64 with the standard alphabet and padding, as the node text format
// carries byte values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace DataLayer::Base64 {

void Append(const std::byte* data, size_t size, std::string& out);
// Strict: length a multiple of 4, padding only at the end, unused bits zero,
// no whitespace. False on anything else.
bool Decode(std::string_view text, std::vector<std::byte>& out);

}  // namespace DataLayer::Base64
