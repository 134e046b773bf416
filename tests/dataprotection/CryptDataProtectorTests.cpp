// The protectors, the CryptoAPI wrappers beneath the symmetric one and the
// CRC-32 function, against the platform's own services.
#include "Sources/General/DataEncryption/Crc32.h"
#include "Sources/General/DataEncryption/CryptContext.h"
#include "Sources/General/DataEncryption/CryptDataProtector.h"
#include "Sources/General/DataEncryption/CryptSession.h"
#include "Sources/General/DataEncryption/EncryptionErrors.h"

#include "dataprotection/DataProtectionTestSupport.h"
#include "support/HresultOf.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using namespace DataEncryption;
using DataProtectionTest::Bytes;
using DataProtectionTest::Contains;
using DataProtectionTest::ScopedLog;
using KestrovaTest::HresultOf;

constexpr HRESULT kNteBadData = static_cast<HRESULT>(0x80090005);

// Plain bytes as an ordinary vector, to compare with the test's own.
template <typename Allocator>
std::vector<uint8_t> Plain(const std::vector<uint8_t, Allocator>& bytes) {
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

std::span<const uint8_t> KeyBytes(const std::string& key) {
  return {reinterpret_cast<const uint8_t*>(key.data()), key.size()};
}

struct SymmetricCase {
  const char* label;
  bool useAes;
  uint32_t ivLength;
};
const SymmetricCase kSymmetricCases[] = {{"RC4/MD5", false, 0}, {"AES-256/SHA-256", true, 16}};

TEST(CryptDataProtector, FactoryChoosesByKey) {
  EXPECT_NE(dynamic_cast<DpapiProtector*>(MakeProtector(nullptr, true).get()), nullptr);
  EXPECT_NE(dynamic_cast<SymmetricProtector*>(MakeProtector("key", false).get()), nullptr);
  EXPECT_EQ(HresultOf([] { MakeProtector("", true); }), E_INVALIDARG);
}

TEST(CryptDataProtector, SymmetricSizesAndFraming) {
  const std::vector<uint8_t> data = Bytes("hello");
  for (const SymmetricCase& c : kSymmetricCases) {
    SCOPED_TRACE(c.label);
    const SymmetricProtector protector("the key", c.useAes);
    const ByteBuffer protectedBytes = protector.Protect(data);
    // RC4 keeps the length of CRC + data (9); AES pads the 9 bytes to one block after a 16-byte IV.
    EXPECT_EQ(protectedBytes.size(), c.useAes ? 32u : 9u);
    EXPECT_EQ(Plain(protector.Unprotect(protectedBytes)), data);

    const std::string key = "the key";
    const CryptContext context(c.useAes ? 1 : 0);
    const detail::CCryptSession session(context.Handle(), KeyBytes(key), context.Selector());
    EXPECT_EQ(session.BlockLength(), c.ivLength);
  }
}

TEST(CryptDataProtector, PlainFrameIsChecksumThenData) {
  const std::string key = "framing";
  const std::vector<uint8_t> data = Bytes("123456789");
  for (const SymmetricCase& c : kSymmetricCases) {
    SCOPED_TRACE(c.label);
    const SymmetricProtector protector(key, c.useAes);
    const ByteBuffer protectedBytes = protector.Protect(data);
    const CryptContext context(c.useAes ? 1 : 0);
    detail::CCryptSession session(context.Handle(), KeyBytes(key), context.Selector());
    const std::vector<uint8_t> plain = Plain(session.Decrypt(protectedBytes));
    const std::vector<uint8_t> expected = {0x26, 0x39, 0xF4, 0xCB, '1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(plain, expected);
  }
}

TEST(CryptDataProtector, AesUsesAFreshIvEachTime) {
  const SymmetricProtector protector("key", true);
  const std::vector<uint8_t> data = Bytes("same data");
  const ByteBuffer first = protector.Protect(data);
  const ByteBuffer second = protector.Protect(data);
  EXPECT_NE(first, second);
  EXPECT_NE(std::vector<uint8_t>(first.begin(), first.begin() + 16),
            std::vector<uint8_t>(second.begin(), second.begin() + 16));
  EXPECT_EQ(Plain(protector.Unprotect(first)), data);
  EXPECT_EQ(Plain(protector.Unprotect(second)), data);
}

TEST(CryptDataProtector, AnyChangedByteFailsUnprotect) {
  const std::vector<uint8_t> data = Bytes("a value worth protecting, longer than one block");
  for (const SymmetricCase& c : kSymmetricCases) {
    const SymmetricProtector protector("key", c.useAes);
    const ByteBuffer original = protector.Protect(data);
    for (size_t position = 0; position < original.size(); ++position) {
      for (const uint8_t mask : {0x01, 0x80, 0xFF}) {
        SCOPED_TRACE(std::string(c.label) + " byte " + std::to_string(position) + " mask " + std::to_string(mask));
        ByteBuffer changed = original;
        changed[position] ^= mask;
        const HRESULT hr = HresultOf([&] { protector.Unprotect(changed); });
        // The checksum catches it; with AES a change in the last two blocks may first
        // break the padding of the last one.
        if (c.useAes && position >= original.size() - 32) {
          EXPECT_TRUE(hr == kChecksumMismatch || hr == kNteBadData) << std::hex << hr;
        } else {
          EXPECT_EQ(hr, kChecksumMismatch);
        }
      }
    }
  }
}

TEST(CryptDataProtector, RefusesWhatItCannotHaveProduced) {
  for (const SymmetricCase& c : kSymmetricCases) {
    SCOPED_TRACE(c.label);
    const SymmetricProtector protector("key", c.useAes);
    EXPECT_EQ(HresultOf([&] { protector.Protect({}); }), E_INVALIDARG) << "no checksum of empty data";
    const ByteBuffer protectedBytes = protector.Protect(Bytes("x"));
    EXPECT_EQ(HresultOf([&] { SymmetricProtector("other key", c.useAes).Unprotect(protectedBytes); }) < 0, true);
    // Too short to hold a checksum and data.
    const ByteBuffer shortValue(protectedBytes.begin(), protectedBytes.begin() + (c.useAes ? 16 : 4));
    EXPECT_NE(HresultOf([&] { protector.Unprotect(shortValue); }), S_OK);
  }
  EXPECT_EQ(HresultOf([] { SymmetricProtector("key", true).Unprotect(Bytes("fifteen bytes!!")); }), E_INVALIDARG)
      << "shorter than the IV";
}

TEST(CryptDataProtector, RandomKeysAndDataRoundTrip) {
  for (const SymmetricCase& c : kSymmetricCases) {
    for (const size_t size : {1u, 15u, 16u, 17u, 1000u, 70000u}) {
      SCOPED_TRACE(std::string(c.label) + " size " + std::to_string(size));
      std::vector<uint8_t> data(size);
      for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 31 + 7);
      const SymmetricProtector protector("key " + std::to_string(size), c.useAes);
      const ByteBuffer protectedBytes = protector.Protect(data);
      EXPECT_EQ(protectedBytes.size(), c.useAes ? 16 + (size + 4 + 16) / 16 * 16 : size + 4);
      EXPECT_EQ(Plain(protector.Unprotect(protectedBytes)), data);
    }
  }
}

TEST(CryptDataProtector, DpapiRoundTripHidesTheData) {
  const DpapiProtector protector;
  const std::vector<uint8_t> data = Bytes("machine-bound secret value");
  const ByteBuffer first = protector.Protect(data);
  EXPECT_FALSE(Contains(first, data));
  EXPECT_EQ(Plain(protector.Unprotect(first)), data);
  EXPECT_NE(protector.Protect(data), first) << "each blob has its own salt";
  EXPECT_NE(HresultOf([&] { protector.Unprotect(Bytes("not a blob")); }), S_OK);
}

// Windows documents the blob as integrity-protected as a whole. Wine checks
// only its encrypted payload and signature: a changed byte in the leading
// header (provider and algorithm fields) still unprotects. Nowhere may a
// changed byte give other data than what was protected.
TEST(CryptDataProtector, DpapiNeverYieldsChangedData) {
  const DpapiProtector protector;
  const std::vector<uint8_t> data = Bytes("machine-bound secret value");
  const ByteBuffer original = protector.Protect(data);
  ASSERT_GT(original.size(), 48u);
  for (size_t position = 0; position < original.size(); ++position) {
    SCOPED_TRACE("byte " + std::to_string(position));
    ByteBuffer changed = original;
    changed[position] ^= 0x55;
    ByteBuffer result;
    const HRESULT hr = HresultOf([&] { result = protector.Unprotect(changed); });
    if (hr == S_OK) {
      EXPECT_EQ(Plain(result), data);
    }
    // The payload and signature at the end are checked on every platform.
    if (position >= original.size() - 48) {
      EXPECT_NE(hr, S_OK);
    }
  }
}

TEST(CryptContext, SelectorsAndAlgorithms) {
  EXPECT_EQ(HashAlgorithmOf(0), static_cast<ALG_ID>(CALG_MD5));
  EXPECT_EQ(CipherAlgorithmOf(0), static_cast<ALG_ID>(CALG_RC4));
  EXPECT_EQ(HashAlgorithmOf(1), static_cast<ALG_ID>(CALG_SHA_256));
  EXPECT_EQ(CipherAlgorithmOf(1), static_cast<ALG_ID>(CALG_AES_256));
  EXPECT_EQ(HresultOf([] { CryptContext context(2); }), kInvalidData);
  EXPECT_EQ(HresultOf([] { CipherAlgorithmOf(7); }), kInvalidData);
  const CryptContext context(1);
  EXPECT_NE(context.Handle(), 0u);
}

TEST(CryptHasher, FinalizedHashRefusesMoreWork) {
  ScopedLog log(L"ERR");
  const CryptContext context(0);
  detail::CCryptHasher hasher(context.Handle(), 0);
  hasher.UpdateHash(Bytes("some bytes"));
  hasher.Cleanup();
  EXPECT_TRUE(hasher.IsFinalized());
  hasher.Cleanup();  // a second cleanup does nothing
  EXPECT_EQ(HresultOf([&] { hasher.UpdateHash(Bytes("more")); }), kInvalidState);
  EXPECT_EQ(HresultOf([&] { hasher.DeriveKey(CALG_RC4); }), kInvalidState);
  EXPECT_EQ(log.Count(L"CryptHash is already finalized"), 2u) << log.All();
  EXPECT_EQ(log.Count(L"DataEncryption::detail::CCryptHasher::UpdateHash failed: 0x8007139F"), 1u) << log.All();
}

TEST(CryptSession, NullProviderFailsAndIsLogged) {
  ScopedLog log(L"ERR");
  const std::string key = "key";
  EXPECT_NE(HresultOf([&] { detail::CCryptSession session(0, KeyBytes(key), 1); }), S_OK);
  EXPECT_EQ(log.Count(L"DataEncryption::detail::CCryptHasher::CCryptHasher failed: "), 1u) << log.All();
}

TEST(Crc32, StandardCheckValueAndRefusals) {
  EXPECT_EQ(Crc32(Bytes("123456789")), 0xCBF43926u);
  EXPECT_EQ(Crc32(Bytes("a")), 0xE8B7BE43u);
  EXPECT_EQ(HresultOf([] { Crc32({}); }), E_INVALIDARG);
  const uint8_t byte = 0;
  EXPECT_EQ(HresultOf([&] { Crc32(std::span<const uint8_t>(&byte, size_t{0})); }), E_INVALIDARG);
}

}  // namespace
