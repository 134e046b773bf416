// Data protectors: plain bytes to protected bytes and back, either through
// the platform's machine-bound data protection or with a key derived from a
// caller's key text (IV + ciphertext of CRC-32 + data).
#pragma once

#include "Sources/Common/Lifetime/WipingAllocator.h"

#include "CryptContext.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace DataEncryption {

// Wiped before it is freed: it carries plaintext and key material.
using ByteBuffer = std::vector<uint8_t, WipingAllocator<uint8_t>>;

class IDataProtector {
 public:
  virtual ~IDataProtector() = default;
  virtual ByteBuffer Protect(std::span<const uint8_t> data) const = 0;
  virtual ByteBuffer Unprotect(std::span<const uint8_t> data) const = 0;
};

// No key: the platform data protection; else the symmetric protector.
std::shared_ptr<IDataProtector> MakeProtector(const char* key, bool useAes);

// CryptProtectData with CRYPTPROTECT_LOCAL_MACHINE / CryptUnprotectData.
class DpapiProtector final : public IDataProtector {
 public:
  ByteBuffer Protect(std::span<const uint8_t> data) const override;
  ByteBuffer Unprotect(std::span<const uint8_t> data) const override;
};

class SymmetricProtector final : public IDataProtector {
 public:
  // E_INVALIDARG for an empty key text.
  SymmetricProtector(std::string key, bool useAes);
  ~SymmetricProtector() override { WipeText(m_key); }

  // E_INVALIDARG for empty data (its checksum cannot be taken).
  ByteBuffer Protect(std::span<const uint8_t> data) const override;
  // 0x80040903 when the checksum does not match.
  ByteBuffer Unprotect(std::span<const uint8_t> data) const override;

 private:
  std::span<const uint8_t> KeyBytes() const;

  std::string m_key;
  CryptContext m_context;
};

}  // namespace DataEncryption
