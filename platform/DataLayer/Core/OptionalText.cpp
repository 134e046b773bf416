#include "OptionalText.h"

#include <cstring>
#include <utility>

namespace DataLayer {

namespace {

// Shared by every present empty text, so that "" costs no allocation.
constexpr char16_t kEmptyBlock[2] = {0, 0};

uint32_t BlockLength(const char16_t* block) {
  uint32_t length = 0;
  std::memcpy(&length, block, sizeof(length));
  return length;
}

}  // namespace

OptionalText::OptionalText(std::u16string_view text) {
  if (text.empty()) {
    m_block = kEmptyBlock;
    return;
  }
  const auto length = static_cast<uint32_t>(text.size());
  auto* block = new char16_t[text.size() + 2];
  std::memcpy(block, &length, sizeof(length));
  std::memcpy(block + 2, text.data(), text.size() * sizeof(char16_t));
  m_block = block;
}

OptionalText::OptionalText(const OptionalText& other) {
  if (other.IsPresent()) *this = OptionalText(other.View());
}

OptionalText& OptionalText::operator=(const OptionalText& other) {
  if (this != &other) *this = OptionalText(other);
  return *this;
}

OptionalText& OptionalText::operator=(OptionalText&& other) noexcept {
  if (this != &other) {
    Free();
    m_block = std::exchange(other.m_block, nullptr);
  }
  return *this;
}

std::u16string_view OptionalText::View() const {
  if (m_block == nullptr) return {};
  return {m_block + 2, BlockLength(m_block)};
}

void OptionalText::Free() {
  if (m_block != nullptr && m_block != kEmptyBlock) delete[] m_block;
  m_block = nullptr;
}

}  // namespace DataLayer
