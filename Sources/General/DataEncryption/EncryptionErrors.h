// HRESULTs raised by the data protection code.
#pragma once

#include <windows.h>

namespace DataEncryption {
// The encryptor settings name the same node type twice.
inline constexpr HRESULT kDuplicateNodeType = static_cast<HRESULT>(0x80040901);
// Decrypted symmetric data whose checksum does not match.
inline constexpr HRESULT kChecksumMismatch = static_cast<HRESULT>(0x80040903);
// An attribute value that looks encrypted but is invalid or cannot be decrypted.
inline constexpr HRESULT kInvalidEncryptedValue = static_cast<HRESULT>(0x80040904);
// HRESULT_FROM_WIN32(ERROR_INVALID_DATA): an unknown algorithm selector.
inline constexpr HRESULT kInvalidData = static_cast<HRESULT>(0x8007000D);
// HRESULT_FROM_WIN32(ERROR_INVALID_STATE): a finalized hash used again.
inline constexpr HRESULT kInvalidState = static_cast<HRESULT>(0x8007139F);
}  // namespace DataEncryption
