// A verify-only context of the platform's RSA/AES provider, with the
// algorithm pair it is used with.
#pragma once

#include <windows.h>
// after windows.h
#include <wincrypt.h>

#include <cstdint>

namespace DataEncryption {

// Algorithm selectors: 0 is RC4 keyed through MD5, 1 AES-256 (CBC) keyed
// through SHA-256.
namespace AlgorithmSelector {
inline constexpr uint32_t Rc4Md5 = 0;
inline constexpr uint32_t Aes256Sha256 = 1;
}  // namespace AlgorithmSelector

// The hash and cipher of a selector; 0x8007000D for any other selector.
ALG_ID HashAlgorithmOf(uint32_t selector);
ALG_ID CipherAlgorithmOf(uint32_t selector);

class CryptContext {
 public:
  // CryptAcquireContextW(no container, default provider, PROV_RSA_AES,
  // CRYPT_VERIFYCONTEXT | CRYPT_SILENT); raises on failure.
  explicit CryptContext(uint32_t selector);
  ~CryptContext();
  CryptContext(const CryptContext&) = delete;
  CryptContext& operator=(const CryptContext&) = delete;

  HCRYPTPROV Handle() const noexcept { return m_provider; }
  uint32_t Selector() const noexcept { return m_selector; }

 private:
  HCRYPTPROV m_provider = 0;
  uint32_t m_selector;
};

}  // namespace DataEncryption
