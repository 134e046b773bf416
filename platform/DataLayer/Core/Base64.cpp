#include "Base64.h"

#include <array>

namespace DataLayer::Base64 {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t kInvalid = 0xFF;

constexpr std::array<uint8_t, 256> MakeDecodeTable() {
  std::array<uint8_t, 256> table{};
  for (auto& entry : table) entry = kInvalid;
  for (uint8_t index = 0; index < 64; ++index) table[static_cast<uint8_t>(kAlphabet[index])] = index;
  return table;
}

constexpr std::array<uint8_t, 256> kDecode = MakeDecodeTable();

}  // namespace

void Append(const std::byte* data, size_t size, std::string& out) {
  const size_t start = out.size();
  out.resize(start + (size + 2) / 3 * 4);
  char* at = out.data() + start;
  size_t index = 0;
  for (; index + 3 <= size; index += 3) {
    const uint32_t bits = (std::to_integer<uint32_t>(data[index]) << 16) |
                          (std::to_integer<uint32_t>(data[index + 1]) << 8) | std::to_integer<uint32_t>(data[index + 2]);
    *at++ = kAlphabet[bits >> 18];
    *at++ = kAlphabet[(bits >> 12) & 63];
    *at++ = kAlphabet[(bits >> 6) & 63];
    *at++ = kAlphabet[bits & 63];
  }
  const size_t rest = size - index;
  if (rest == 0) return;
  uint32_t bits = std::to_integer<uint32_t>(data[index]) << 16;
  if (rest == 2) bits |= std::to_integer<uint32_t>(data[index + 1]) << 8;
  *at++ = kAlphabet[bits >> 18];
  *at++ = kAlphabet[(bits >> 12) & 63];
  *at++ = rest == 2 ? kAlphabet[(bits >> 6) & 63] : '=';
  *at++ = '=';
}

bool Decode(std::string_view text, std::vector<std::byte>& out) {
  out.clear();
  if (text.size() % 4 != 0) return false;
  out.reserve(text.size() / 4 * 3);
  for (size_t index = 0; index < text.size(); index += 4) {
    const bool last = index + 4 == text.size();
    const auto symbol = [&](size_t at) { return kDecode[static_cast<uint8_t>(text[index + at])]; };
    const uint8_t a = symbol(0), b = symbol(1), c = symbol(2), d = symbol(3);
    if (a == kInvalid || b == kInvalid) return false;
    if (last && text[index + 2] == '=' && text[index + 3] == '=') {
      if ((b & 15) != 0) return false;
      out.push_back(std::byte((a << 2) | (b >> 4)));
      return true;
    }
    if (c == kInvalid) return false;
    if (last && text[index + 3] == '=') {
      if ((c & 3) != 0) return false;
      out.push_back(std::byte((a << 2) | (b >> 4)));
      out.push_back(std::byte(((b & 15) << 4) | (c >> 2)));
      return true;
    }
    if (d == kInvalid) return false;
    out.push_back(std::byte((a << 2) | (b >> 4)));
    out.push_back(std::byte(((b & 15) << 4) | (c >> 2)));
    out.push_back(std::byte(((c & 3) << 6) | d));
  }
  return true;
}

}  // namespace DataLayer::Base64
