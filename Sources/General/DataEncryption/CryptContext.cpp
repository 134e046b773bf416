#include "CryptContext.h"

#include "EncryptionErrors.h"

#include "Sources/Common/ErrorHandling/HRES.h"
#include "logging/LogStatement.h"

namespace DataEncryption {

ALG_ID HashAlgorithmOf(uint32_t selector) {
  switch (selector) {
    case AlgorithmSelector::Rc4Md5:
      return CALG_MD5;
    case AlgorithmSelector::Aes256Sha256:
      return CALG_SHA_256;
    default:
      ThrowHr(kInvalidData);
  }
}

ALG_ID CipherAlgorithmOf(uint32_t selector) {
  switch (selector) {
    case AlgorithmSelector::Rc4Md5:
      return CALG_RC4;
    case AlgorithmSelector::Aes256Sha256:
      return CALG_AES_256;
    default:
      ThrowHr(kInvalidData);
  }
}

CryptContext::CryptContext(uint32_t selector) : m_selector(selector) {
  HashAlgorithmOf(selector);  // refuses an unknown selector before acquiring anything
  HRX{::CryptAcquireContextW(&m_provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT | CRYPT_SILENT)};
}

CryptContext::~CryptContext() {
  if (m_provider == 0) return;
  const HRES released = ::CryptReleaseContext(m_provider, 0);
  if (released.Failed()) KLOG_ERR(L"ReleaseContext failed due to " << released);
}

}  // namespace DataEncryption
