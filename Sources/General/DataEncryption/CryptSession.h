// Thin owners of CryptoAPI hash and key objects: a hasher that derives a key
// from hashed bytes, and a session that encrypts and decrypts with it.
#pragma once

#include "Sources/Common/Lifetime/WipingAllocator.h"

#include <windows.h>
// after windows.h
#include <wincrypt.h>

#include <cstdint>
#include <span>
#include <vector>

namespace DataEncryption::detail {

class CCryptHasher {
 public:
  // CryptCreateHash with the selector's hash algorithm.
  CCryptHasher(HCRYPTPROV provider, uint32_t selector);
  ~CCryptHasher() { Cleanup(); }
  CCryptHasher(const CCryptHasher&) = delete;
  CCryptHasher& operator=(const CCryptHasher&) = delete;

  // Both raise 0x8007139F once the hash is finalized.
  void UpdateHash(std::span<const uint8_t> bytes);
  HCRYPTKEY DeriveKey(ALG_ID cipher);
  // Destroys the hash and marks it finalized; a failure is only logged.
  void Cleanup() noexcept;
  bool IsFinalized() const noexcept { return m_hash == 0; }

 protected:
  HCRYPTPROV m_provider;
  uint32_t m_selector;

 private:
  void EnsureNotFinalized() const;

  HCRYPTHASH m_hash = 0;
};

// A key derived from key bytes for one protect or unprotect call.
class CCryptSession : public CCryptHasher {
 public:
  CCryptSession(HCRYPTPROV provider, std::span<const uint8_t> key, uint32_t selector);
  ~CCryptSession();

  // Bytes of IV in front of the ciphertext: 0 for RC4, 16 for AES.
  uint32_t BlockLength() const noexcept { return m_blockLength; }
  // IV (random) followed by the ciphertext of data.
  std::vector<uint8_t, WipingAllocator<uint8_t>> Encrypt(std::span<const uint8_t> data);
  // The plain bytes of IV + ciphertext.
  std::vector<uint8_t, WipingAllocator<uint8_t>> Decrypt(std::span<const uint8_t> data);

 private:
  uint32_t m_blockLength = 0;
  HCRYPTKEY m_key = 0;
};

}  // namespace DataEncryption::detail
