// Names of the checkpoint files beside a transient storage file <file>:
//   <file>.<lo>-<hi>.ckpt  a checkpoint: frames of the checkpoint generations
//                          lo to hi (16 hex digits each), in the storage
//                          file's own format
//   <file>.done            the record of checkpointed frames delivered or dropped
//   <file>.lock            held open, unshared, by the process that checkpoints
#pragma once

#include <cstdint>
#include <cwchar>
#include <cwctype>
#include <string>

namespace UsageStatistics::Detail::CheckpointFileNames {

inline constexpr wchar_t kCheckpointSuffix[] = L".ckpt";
inline constexpr wchar_t kDoneSuffix[] = L".done";
inline constexpr wchar_t kLeaseSuffix[] = L".lock";
inline constexpr size_t kHexDigits = 16;

inline std::wstring Hex16(uint64_t value) {
  wchar_t text[kHexDigits + 1];
  std::swprintf(text, kHexDigits + 1, L"%016llX", static_cast<unsigned long long>(value));
  return text;
}

inline std::wstring Checkpoint(const std::wstring& path, uint64_t lo, uint64_t hi) {
  return path + L"." + Hex16(lo) + L"-" + Hex16(hi) + kCheckpointSuffix;
}
inline std::wstring DoneRecord(const std::wstring& path) { return path + kDoneSuffix; }
inline std::wstring Lease(const std::wstring& path) { return path + kLeaseSuffix; }

// Reads digits hex digits at text (either letter case); false when they are not there.
template <typename Char>
bool ParseHex(const Char* text, size_t digits, uint64_t& value) {
  value = 0;
  for (size_t i = 0; i < digits; ++i) {
    const Char c = text[i];
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else {
      return false;
    }
    value = (value << 4) | digit;
  }
  return true;
}

// Reads 16 hex digits at text[at]; false when they are not there.
inline bool ParseHex16(const std::wstring& text, size_t at, uint64_t& value) {
  return text.size() >= at + kHexDigits && ParseHex(text.data() + at, kHexDigits, value);
}

// File names compare as the file system does: without regard to letter case.
inline bool SameLetters(const std::wstring& text, size_t at, const std::wstring& part) {
  if (text.size() < at + part.size()) return false;
  for (size_t i = 0; i < part.size(); ++i) {
    if (std::towupper(text[at + i]) != std::towupper(part[i])) return false;
  }
  return true;
}

// name: an entry of the storage file's folder; file: the storage file's own name.
inline bool ParseCheckpoint(const std::wstring& file, const std::wstring& name, uint64_t& lo, uint64_t& hi) {
  const size_t suffix = sizeof(kCheckpointSuffix) / sizeof(wchar_t) - 1;
  if (name.size() != file.size() + 1 + 2 * kHexDigits + 1 + suffix) return false;
  if (!SameLetters(name, 0, file) || name[file.size()] != L'.') return false;
  if (name[file.size() + 1 + kHexDigits] != L'-') return false;
  if (!SameLetters(name, name.size() - suffix, kCheckpointSuffix)) return false;
  return ParseHex16(name, file.size() + 1, lo) && ParseHex16(name, file.size() + 2 + kHexDigits, hi) && lo <= hi;
}

inline bool IsCheckpointEntry(const std::wstring& file, const std::wstring& name) {
  uint64_t lo = 0, hi = 0;
  const auto is = [&](const wchar_t* suffix) {
    const std::wstring full = file + suffix;
    return name.size() == full.size() && SameLetters(name, 0, full);
  };
  return is(kDoneSuffix) || is(kLeaseSuffix) || ParseCheckpoint(file, name, lo, hi);
}

}  // namespace UsageStatistics::Detail::CheckpointFileNames
