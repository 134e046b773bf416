#include "CryptSession.h"

#include "CryptContext.h"
#include "EncryptionErrors.h"

#include "Sources/Common/ErrorHandling/HRES.h"
#include "logging/FunctionTracer.h"
#include "logging/LogStatement.h"

#include <algorithm>
#include <climits>

namespace DataEncryption::detail {
namespace {

DWORD ToDword(size_t size) {
  if (size > ULONG_MAX) ThrowHr(E_INVALIDARG);
  return static_cast<DWORD>(size);
}

}  // namespace

CCryptHasher::CCryptHasher(HCRYPTPROV provider, uint32_t selector) : m_provider(provider), m_selector(selector) {
  try {
    HRX{::CryptCreateHash(provider, HashAlgorithmOf(selector), 0, 0, &m_hash)};
  } catch (const HRX& failure) {
    m_hash = 0;
    KLOG_ERR(L"DataEncryption::detail::CCryptHasher::CCryptHasher failed: " << failure);
    throw;
  }
}

void CCryptHasher::EnsureNotFinalized() const {
  if (!IsFinalized()) return;
  KLOG_ERR(L"CryptHash is already finalized");
  ThrowHr(kInvalidState);
}

void CCryptHasher::UpdateHash(std::span<const uint8_t> bytes) {
  try {
    EnsureNotFinalized();
    HRX{::CryptHashData(m_hash, bytes.data(), ToDword(bytes.size()), 0)};
  } catch (const HRX& failure) {
    KLOG_ERR(L"DataEncryption::detail::CCryptHasher::UpdateHash failed: " << failure);
    throw;
  }
}

HCRYPTKEY CCryptHasher::DeriveKey(ALG_ID cipher) {
  EnsureNotFinalized();
  HCRYPTKEY key = 0;
  HRX{::CryptDeriveKey(m_provider, cipher, m_hash, 0, &key)};
  return key;
}

void CCryptHasher::Cleanup() noexcept {
  if (m_hash == 0) return;
  const HRES destroyed = ::CryptDestroyHash(m_hash);
  m_hash = 0;
  if (destroyed.Failed()) KLOG_ERR(L"DataEncryption::detail::CCryptHasher::Cleanup failed: " << destroyed);
}

CCryptSession::CCryptSession(HCRYPTPROV provider, std::span<const uint8_t> key, uint32_t selector)
    : CCryptHasher(provider, selector) {
  KTRACE_SCOPE(LogSeverity::Dbg3, LogSeverity::Dbg3, L"DataEncryption::detail::CCryptSession::CCryptSession");
  try {
    if (provider == 0) ThrowHr(E_INVALIDARG);
    UpdateHash(key);
    m_key = DeriveKey(CipherAlgorithmOf(selector));
    if (selector == AlgorithmSelector::Aes256Sha256) {
      DWORD mode = CRYPT_MODE_CBC;
      HRX{::CryptSetKeyParam(m_key, KP_MODE, reinterpret_cast<BYTE*>(&mode), 0)};
      DWORD blockBits = 0;
      DWORD size = sizeof(blockBits);
      HRX{::CryptGetKeyParam(m_key, KP_BLOCKLEN, reinterpret_cast<BYTE*>(&blockBits), &size, 0)};
      m_blockLength = blockBits / 8;
    }
  } catch (const HRX& failure) {
    // The destructor does not run for a half-built session.
    if (m_key != 0) ::CryptDestroyKey(m_key);
    m_key = 0;
    KLOG_ERR(L"DataEncryption::detail::CCryptSession::CCryptSession failed: " << failure);
    throw;
  }
}

CCryptSession::~CCryptSession() {
  if (m_key != 0) ::CryptDestroyKey(m_key);
  Cleanup();
}

std::vector<uint8_t, WipingAllocator<uint8_t>> CCryptSession::Encrypt(std::span<const uint8_t> data) {
  const DWORD plainLength = ToDword(data.size());
  std::vector<uint8_t, WipingAllocator<uint8_t>> output(m_blockLength + static_cast<size_t>(plainLength));
  if (m_blockLength != 0) {
    HRX{::CryptGenRandom(m_provider, m_blockLength, output.data())};
    HRX{::CryptSetKeyParam(m_key, KP_IV, output.data(), 0)};
  }
  std::copy(data.begin(), data.end(), output.begin() + m_blockLength);
  DWORD length = plainLength;
  if (!::CryptEncrypt(m_key, 0, TRUE, 0, output.data() + m_blockLength, &length, plainLength)) {
    const DWORD error = ::GetLastError();
    if (error != ERROR_MORE_DATA) ThrowHr(HrFromWin32(static_cast<LONG>(error)));
    // A block cipher pads: make the room it asks for and start again from the plain bytes.
    output.resize(m_blockLength + static_cast<size_t>(length));
    std::copy(data.begin(), data.end(), output.begin() + m_blockLength);
    const DWORD capacity = length;
    length = plainLength;
    HRX{::CryptEncrypt(m_key, 0, TRUE, 0, output.data() + m_blockLength, &length, capacity)};
  }
  output.resize(m_blockLength + static_cast<size_t>(length));
  return output;
}

std::vector<uint8_t, WipingAllocator<uint8_t>> CCryptSession::Decrypt(std::span<const uint8_t> data) {
  if (data.size() < m_blockLength) ThrowHr(E_INVALIDARG);
  if (m_blockLength != 0) {
    std::vector<uint8_t> iv(data.begin(), data.begin() + m_blockLength);
    HRX{::CryptSetKeyParam(m_key, KP_IV, iv.data(), 0)};
  }
  std::vector<uint8_t, WipingAllocator<uint8_t>> plain(data.begin() + m_blockLength, data.end());
  DWORD length = ToDword(plain.size());
  HRX{::CryptDecrypt(m_key, 0, TRUE, 0, plain.data(), &length)};
  plain.resize(length);
  return plain;
}

}  // namespace DataEncryption::detail
