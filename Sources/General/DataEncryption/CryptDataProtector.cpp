#include "CryptDataProtector.h"

#include "Crc32.h"
#include "CryptSession.h"
#include "EncryptionErrors.h"

#include "Sources/Common/ErrorHandling/HRES.h"

#include <windows.h>
// after windows.h
#include <dpapi.h>

#include <algorithm>
#include <climits>
#include <memory>

namespace DataEncryption {
namespace {

DATA_BLOB ToBlob(std::span<const uint8_t> data) {
  if (data.size() > ULONG_MAX) ThrowHr(E_INVALIDARG);
  return DATA_BLOB{static_cast<DWORD>(data.size()), const_cast<BYTE*>(data.data())};
}

// Copies a blob the platform allocated and releases it with LocalFree.
// The copy is taken before the platform's block is wiped and freed.
ByteBuffer TakeBlob(DATA_BLOB& blob) {
  const auto release = [&blob](BYTE* data) {
    ::SecureZeroMemory(data, blob.cbData);
    ::LocalFree(data);
  };
  const std::unique_ptr<BYTE, decltype(release)> owner(blob.pbData, release);
  return ByteBuffer(blob.pbData, blob.pbData + blob.cbData);
}

}  // namespace

std::shared_ptr<IDataProtector> MakeProtector(const char* key, bool useAes) {
  if (key == nullptr) return std::make_shared<DpapiProtector>();
  return std::make_shared<SymmetricProtector>(key, useAes);
}

ByteBuffer DpapiProtector::Protect(std::span<const uint8_t> data) const {
  DATA_BLOB input = ToBlob(data);
  DATA_BLOB output{};
  // No dialog can come up in a service's process.
  HRX{::CryptProtectData(&input, nullptr, nullptr, nullptr, nullptr,
                         CRYPTPROTECT_LOCAL_MACHINE | CRYPTPROTECT_UI_FORBIDDEN, &output)};
  return TakeBlob(output);
}

ByteBuffer DpapiProtector::Unprotect(std::span<const uint8_t> data) const {
  DATA_BLOB input = ToBlob(data);
  DATA_BLOB output{};
  HRX{::CryptUnprotectData(&input, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &output)};
  // The plain bytes the platform allocated are wiped before they go back.
  ByteBuffer plain = TakeBlob(output);
  return plain;
}

SymmetricProtector::SymmetricProtector(std::string key, bool useAes)
    : m_key(std::move(key)), m_context(useAes ? AlgorithmSelector::Aes256Sha256 : AlgorithmSelector::Rc4Md5) {
  if (m_key.empty()) ThrowHr(E_INVALIDARG);
}

std::span<const uint8_t> SymmetricProtector::KeyBytes() const {
  if (m_key.empty()) ThrowHr(E_UNEXPECTED);
  return {reinterpret_cast<const uint8_t*>(m_key.data()), m_key.size()};
}

ByteBuffer SymmetricProtector::Protect(std::span<const uint8_t> data) const {
  const uint32_t crc = Crc32(data);
  ByteBuffer plain(4 + data.size());
  for (int i = 0; i < 4; ++i) plain[i] = static_cast<uint8_t>(crc >> (8 * i));
  std::copy(data.begin(), data.end(), plain.begin() + 4);
  detail::CCryptSession session(m_context.Handle(), KeyBytes(), m_context.Selector());
  return session.Encrypt(plain);
}

ByteBuffer SymmetricProtector::Unprotect(std::span<const uint8_t> data) const {
  detail::CCryptSession session(m_context.Handle(), KeyBytes(), m_context.Selector());
  ByteBuffer plain = session.Decrypt(data);
  // Protect never frames empty data, so 4 bytes or fewer cannot be a value of ours.
  if (plain.size() <= 4) ThrowHr(kChecksumMismatch);
  uint32_t stored = 0;
  for (int i = 0; i < 4; ++i) stored |= static_cast<uint32_t>(plain[i]) << (8 * i);
  if (Crc32(std::span<const uint8_t>(plain).subspan(4)) != stored) ThrowHr(kChecksumMismatch);
  plain.erase(plain.begin(), plain.begin() + 4);
  return plain;
}

}  // namespace DataEncryption
