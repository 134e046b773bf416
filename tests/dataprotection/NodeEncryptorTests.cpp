// The node attribute encryptor over real node trees of the node store.
#include "Sources/General/DataEncryption/CryptDataProtector.h"
#include "Sources/General/DataEncryption/EncryptionErrors.h"
#include "Sources/General/DataEncryption/NodeEncryptorImpl.h"

#include "Sources/Common/ErrorHandling/ErrorDescription.h"
#include "dataprotection/DataProtectionTestSupport.h"
#include "node/NodeTreeComparison.h"
#include "support/HresultOf.h"
#include "support/NodeBuilder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace DataEncryption;
using DataProtectionTest::Bytes;
using DataProtectionTest::Contains;
using DataProtectionTest::ScopedLog;
using KestrovaTest::Build;
using KestrovaTest::HresultOf;
using KestrovaTest::NodeSpec;
using KestrovaTest::RawValue;
using KestrovaTest::ReadRawValue;
using KestrovaTest::SetRaw;
using KestrovaTest::Text;
using KestrovaTest::TreeDifference;

constexpr uint32_t kWhole = CNodeEncryptor::kWholeSubtree;
const std::vector<uint8_t> kMagic = {0xCD, 0xAB, 0xCD, 0xAB};

void Encrypt(const CNodeEncryptor& encryptor, const DXNodePtr& node, uint32_t depth = kWhole,
             IKeySource* keys = nullptr, IOldVersionSource* old = nullptr) {
  IDXNode* handle = node.Get();
  encryptor.EncryptNodes(&handle, 1, depth, CNodeEncryptor::kModeInPlace, nullptr, keys, old);
}

void Decrypt(const CNodeEncryptor& encryptor, const DXNodePtr& node, uint32_t depth = kWhole,
             IKeySource* keys = nullptr) {
  IDXNode* handle = node.Get();
  encryptor.DecryptNodes(&handle, 1, depth, CNodeEncryptor::kModeInPlace, nullptr, keys, nullptr);
}

bool IsEncrypted(const DXNodePtr& node, const wchar_t* name) {
  const RawValue value = ReadRawValue(node, name);
  return value.type == 12 && value.bytes.size() >= 6 && std::equal(kMagic.begin(), kMagic.end(), value.bytes.begin());
}

DXNodePtr Settings(bool encryptAll, bool useAes = false) {
  DXNodePtr settings = DXNodePtr::Create(L"EncryptSettings", nullptr);
  settings.SetBool(L"EncryptAll", encryptAll);
  if (useAes) settings.SetBool(L"UseAES", true);
  return settings;
}

struct TypedValue {
  const char* label;
  uint16_t type;
  std::vector<uint8_t> bytes;
};

std::vector<uint8_t> Utf16(const std::wstring& text) {
  const auto* begin = reinterpret_cast<const uint8_t*>(text.data());
  return std::vector<uint8_t>(begin, begin + text.size() * sizeof(wchar_t));
}

std::vector<TypedValue> EveryType() {
  const int32_t int32 = -123456;
  const int64_t int64 = 0x0123456789ABCDEF;
  const auto* int32Bytes = reinterpret_cast<const uint8_t*>(&int32);
  const auto* int64Bytes = reinterpret_cast<const uint8_t*>(&int64);
  return {
      {"text", 2, Utf16(L"abc")},
      {"legacy text", 1, Utf16(L"legacy")},
      {"int32", 4, std::vector<uint8_t>(int32Bytes, int32Bytes + 4)},
      {"int64", 6, std::vector<uint8_t>(int64Bytes, int64Bytes + 8)},
      {"bool", 7, {1}},
      {"binary", 12, {0x00, 0xFF, 0x10, 0x20}},
      {"binary starting like the magic", 12, {0xCD, 0xAB, 0xCD}},
      {"text list", 258, Utf16(std::wstring(L"one\0two\0", 8))},
      {"type 0", 0, {}},
      {"empty text", 2, {}},
      {"empty binary", 12, {}},
      {"empty text list", 258, {}},
  };
}

TEST(NodeEncryptor, EveryAttributeTypeRoundTrips) {
  const CNodeEncryptor encryptor = CNodeEncryptor::EncryptAll();
  for (const TypedValue& value : EveryType()) {
    SCOPED_TRACE(value.label);
    const DXNodePtr node = DXNodePtr::Create(L"Frame", L"UsageActivityFrame");
    SetRaw(node, L"A", value.type, value.bytes.empty() ? nullptr : value.bytes.data(),
           static_cast<uint32_t>(value.bytes.size()));
    Encrypt(encryptor, node);
    const RawValue encrypted = ReadRawValue(node, L"A");
    ASSERT_TRUE(IsEncrypted(node, L"A"));
    EXPECT_EQ(encrypted.bytes[4] | (encrypted.bytes[5] << 8), value.type);
    if (value.bytes.empty() || value.type == 0) {
      EXPECT_EQ(encrypted.bytes.size(), 6u) << "magic and plain type only";
    } else {
      EXPECT_GT(encrypted.bytes.size(), 6u + value.bytes.size());
      // (A value of a few bytes may turn up in random ciphertext by chance.)
      if (value.bytes.size() >= 4) {
        EXPECT_FALSE(Contains(encrypted.bytes, value.bytes));
      }
    }
    Decrypt(encryptor, node);
    const RawValue decrypted = ReadRawValue(node, L"A");
    EXPECT_EQ(decrypted.type, value.type);
    EXPECT_EQ(decrypted.bytes, value.bytes);
  }
}

TEST(NodeEncryptor, WholeTreeKeepsNamesTypesAndShape) {
  const CNodeEncryptor encryptor = CNodeEncryptor::EncryptAll();
  const DXNodePtr tree = Build(
      NodeSpec{L"",
               L"UsageActivityFrame",
               {Text(L"Name", L"abc"), KestrovaTest::Int64(L"FailureCounter", 2)},
               {{L"", L"UsageActivityFrame", {Text(L"Name", L"child"), Text(L"Value", L"v")}}, {L"Empty", L"Other"}}});
  const DXNodePtr before = tree.Clone();
  Encrypt(encryptor, tree);
  EXPECT_TRUE(IsEncrypted(tree, L"Name"));
  EXPECT_TRUE(IsEncrypted(tree, L"FailureCounter"));
  EXPECT_TRUE(IsEncrypted(tree.GetChild(0u), L"Value"));
  EXPECT_EQ(tree.GetAttributeNames(), before.GetAttributeNames()) << "attributes keep their order";
  EXPECT_EQ(tree.GetChild(1u).GetName(), L"Empty");
  EXPECT_EQ(tree.GetChild(0u).GetType(), L"UsageActivityFrame");
  Decrypt(encryptor, tree);
  EXPECT_EQ(TreeDifference(before, tree), L"");
  int32_t counter = 0;
  EXPECT_TRUE(tree.TryGetInt32(L"FailureCounter", counter));
  EXPECT_EQ(counter, 2);
}

TEST(NodeEncryptor, DepthLimitsTheWalk) {
  const CNodeEncryptor encryptor = CNodeEncryptor::EncryptAll();
  struct Case {
    uint32_t depth;
    bool child;
    bool grandchild;
  };
  for (const Case& c : {Case{0, false, false}, Case{1, false, false}, Case{2, true, false}, Case{3, true, true},
                        Case{kWhole, true, true}}) {
    SCOPED_TRACE("depth " + std::to_string(c.depth));
    const DXNodePtr tree = Build(NodeSpec{
        L"Root", L"T", {Text(L"A", L"0")}, {{L"C", L"T", {Text(L"A", L"1")}, {{L"G", L"T", {Text(L"A", L"2")}}}}}});
    Encrypt(encryptor, tree, c.depth);
    EXPECT_TRUE(IsEncrypted(tree, L"A"));
    EXPECT_EQ(IsEncrypted(tree.GetChild(0u), L"A"), c.child);
    EXPECT_EQ(IsEncrypted(tree.GetChild(0u).GetChild(0u), L"A"), c.grandchild);
  }
}

TEST(NodeEncryptor, NodeTypeListsSelectAttributes) {
  DXNodePtr settings = Settings(false);
  DXNodePtr frames = DXNodePtr::Create(L"UsageActivityFrame", L"NodeType");
  frames.SetStringList(L"NodeAttributes", {L"Value"});
  settings.AddChild(frames);
  // Adds nothing: no list, an empty list, another child type.
  settings.AddChild(DXNodePtr::Create(L"Other", L"NodeType"));
  DXNodePtr emptyList = DXNodePtr::Create(L"Other2", L"NodeType");
  emptyList.SetStringList(L"NodeAttributes", {});
  settings.AddChild(emptyList);
  DXNodePtr ignored = DXNodePtr::Create(L"Other", L"SomethingElse");
  ignored.SetStringList(L"NodeAttributes", {L"Value"});
  settings.AddChild(ignored);
  const CNodeEncryptor encryptor(settings);
  EXPECT_FALSE(encryptor.EncryptsAll());
  EXPECT_EQ(encryptor.AttributesOf(L"Other"), nullptr);

  const DXNodePtr tree = Build(NodeSpec{L"",
                                        L"UsageActivityFrame",
                                        {Text(L"Name", L"n"), Text(L"Value", L"v")},
                                        {{L"", L"UsageActivityFrame", {Text(L"Value", L"child")}},
                                         {L"", L"Other", {Text(L"Value", L"other")}},
                                         {L"", L"usageactivityframe", {Text(L"Value", L"case")}}}});
  const DXNodePtr before = tree.Clone();
  Encrypt(encryptor, tree);
  EXPECT_FALSE(IsEncrypted(tree, L"Name"));
  EXPECT_TRUE(IsEncrypted(tree, L"Value"));
  EXPECT_TRUE(IsEncrypted(tree.GetChild(0u), L"Value"));
  EXPECT_FALSE(IsEncrypted(tree.GetChild(1u), L"Value"));
  EXPECT_FALSE(IsEncrypted(tree.GetChild(2u), L"Value")) << "node types compare case-sensitively";
  Decrypt(encryptor, tree);
  EXPECT_EQ(TreeDifference(before, tree), L"");
}

TEST(NodeEncryptor, SettingsRefusals) {
  DXNodePtr settings = Settings(false);
  for (int i = 0; i < 2; ++i) {
    DXNodePtr type = DXNodePtr::Create(L"UsageActivityFrame", L"NodeType");
    type.SetStringList(L"NodeAttributes", {L"Value"});
    settings.AddChild(type);
  }
  EXPECT_EQ(HresultOf([&] { CNodeEncryptor encryptor(settings); }), kDuplicateNodeType);
  settings.SetBool(L"EncryptAll", true);
  EXPECT_EQ(HresultOf([&] { CNodeEncryptor encryptor(settings); }), S_OK) << "lists are not read when all is encrypted";
  EXPECT_NE(HresultOf([] { CNodeEncryptor encryptor{DXNodePtr()}; }), S_OK);
}

TEST(NodeEncryptor, CopyModesLeaveTheInputAlone) {
  const CNodeEncryptor encryptor = CNodeEncryptor::EncryptAll();
  const DXNodePtr withValues = Build(NodeSpec{L"F", L"T", {Text(L"A", L"secret")}, {{L"C", L"T", {Text(L"B", L"x")}}}});
  const DXNodePtr bare = Build(NodeSpec{L"Bare", L"T", {}, {{L"C", L"T"}}});
  IDXNode* inputs[] = {withValues.Get(), bare.Get()};
  const DXNodePtr before = withValues.Clone();

  for (const uint32_t mode : {CNodeEncryptor::kModeCopyWhenNeeded, CNodeEncryptor::kModeCopy}) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    IDXNode* output[2] = {};
    encryptor.EncryptNodes(inputs, 2, kWhole, mode, output, nullptr, nullptr);
    const DXNodePtr encrypted(output[0], DXNodePtr::Handle::Adopt);
    const DXNodePtr second(output[1], DXNodePtr::Handle::Adopt);
    EXPECT_EQ(TreeDifference(before, withValues), L"");
    EXPECT_TRUE(IsEncrypted(encrypted, L"A"));
    EXPECT_TRUE(IsEncrypted(encrypted.GetChild(0u), L"B"));
    EXPECT_EQ(second.GetName(), L"Bare");
    // Mode 1 hands back the node itself when it has nothing to process.
    second.SetString(L"Marker", L"m");
    EXPECT_EQ(bare.HasAttribute(L"Marker"), mode == CNodeEncryptor::kModeCopyWhenNeeded);
    bare.DeleteAttribute(L"Marker", false);

    IDXNode* decryptedOut = nullptr;
    IDXNode* encryptedHandle = encrypted.Get();
    encryptor.DecryptNodes(&encryptedHandle, 1, kWhole, mode, &decryptedOut, nullptr, nullptr);
    const DXNodePtr decrypted(decryptedOut, DXNodePtr::Handle::Adopt);
    EXPECT_EQ(TreeDifference(before, decrypted), L"");
    EXPECT_TRUE(IsEncrypted(encrypted, L"A"));
  }
  // Mode 1 without output: the copies are dropped, the input stays.
  encryptor.EncryptNodes(inputs, 2, kWhole, CNodeEncryptor::kModeCopyWhenNeeded, nullptr, nullptr, nullptr);
  EXPECT_EQ(TreeDifference(before, withValues), L"");
}

TEST(NodeEncryptor, ArgumentRefusals) {
  const CNodeEncryptor encryptor = CNodeEncryptor::EncryptAll();
  const DXNodePtr node = Build(NodeSpec{L"F", L"T", {Text(L"A", L"a")}});
  IDXNode* handle = node.Get();
  IDXNode* nullNode = nullptr;
  IDXNode* output = nullptr;
  EXPECT_EQ(HresultOf([&] { encryptor.EncryptNodes(nullptr, 0, kWhole, 0, nullptr, nullptr, nullptr); }), E_INVALIDARG);
  EXPECT_EQ(HresultOf([&] { encryptor.DecryptNodes(&handle, 1, kWhole, 2, nullptr, nullptr, nullptr); }), E_INVALIDARG);
  EXPECT_EQ(HresultOf([&] { encryptor.EncryptNodes(&handle, 1, kWhole, 3, &output, nullptr, nullptr); }), E_INVALIDARG);
  EXPECT_EQ(HresultOf([&] { encryptor.EncryptNodes(&nullNode, 1, kWhole, 0, nullptr, nullptr, nullptr); }),
            E_INVALIDARG);
  EXPECT_EQ(HresultOf([&] { encryptor.EncryptNodes(&handle, 0, kWhole, 2, &output, nullptr, nullptr); }), S_OK);
  EXPECT_FALSE(IsEncrypted(node, L"A"));
}

// A store can be repeated (the accumulator may stop twice): encrypting again
// keeps the values, the empty ones included.
TEST(NodeEncryptor, EncryptingTwiceEqualsOnce) {
  ScopedLog log(L"DBG");
  const CNodeEncryptor encryptor = CNodeEncryptor::EncryptAll();
  const DXNodePtr tree = Build(NodeSpec{
      L"", L"UsageActivityFrame", {Text(L"Name", L"abc"), Text(L"Empty", L"")}, {{L"C", L"T", {Text(L"B", L"b")}}}});
  SetRaw(tree, L"None", 0, nullptr, 0);
  const DXNodePtr plain = tree.Clone();
  Encrypt(encryptor, tree);
  const DXNodePtr once = tree.Clone();
  log.Clear();
  Encrypt(encryptor, tree);
  EXPECT_EQ(TreeDifference(once, tree), L"");
  EXPECT_EQ(log.Count(L"Attribute Name value is already encrypted. Trying to decrypt it for validation"), 1u)
      << log.All();
  EXPECT_EQ(log.Count(L"Attribute Name encrypted value validation passed"), 1u);
  EXPECT_EQ(log.Count(L"Attribute Empty encrypted value validation passed"), 1u);
  Decrypt(encryptor, tree);
  EXPECT_EQ(TreeDifference(plain, tree), L"");
}

TEST(NodeEncryptor, CorruptedEncryptedValuesFailValidation) {
  const CNodeEncryptor encryptor = CNodeEncryptor::EncryptAll();
  const DXNodePtr source = Build(NodeSpec{L"F", L"T", {Text(L"Name", L"abc")}});
  Encrypt(encryptor, source);
  const RawValue good = ReadRawValue(source, L"Name");

  {
    SCOPED_TRACE("protected bytes changed");
    ScopedLog log(L"ERR");
    RawValue bad = good;
    bad.bytes.back() ^= 0x5A;
    const DXNodePtr node = DXNodePtr::Create(L"F", L"T");
    SetRaw(node, L"Name", 12, bad.bytes.data(), static_cast<uint32_t>(bad.bytes.size()));
    HRESULT hr = S_OK;
    std::wstring described;
    try {
      Encrypt(encryptor, node);
    } catch (const HRX& failure) {
      hr = failure.Code();
      described = FormatError(failure, ErrorFormat::NoLocation);
    }
    EXPECT_EQ(hr, kInvalidEncryptedValue);
    // The cause's text travels in the error object, without its location.
    EXPECT_NE(described.find(L" (0x"), std::wstring::npos) << described;
    EXPECT_EQ(described.find(L"["), std::wstring::npos) << described;
    EXPECT_EQ(ReadRawValue(node, L"Name"), bad) << "not wrapped a second time";
    EXPECT_EQ(log.Count(L"Failed to decrypt value specified for attribute with name Name due to 0x"), 1u) << log.All();
  }
  {
    SCOPED_TRACE("five bytes: the magic and one byte");
    ScopedLog log(L"ERR");
    const DXNodePtr node = DXNodePtr::Create(L"F", L"T");
    const uint8_t shortValue[] = {0xCD, 0xAB, 0xCD, 0xAB, 0x02};
    SetRaw(node, L"Name", 12, shortValue, 5);
    EXPECT_EQ(HresultOf([&] { Encrypt(encryptor, node); }), kInvalidEncryptedValue);
    EXPECT_EQ(log.Count(L"Invalid encrypted value specified for attribute with name Name"), 1u) << log.All();
    // Decryption does not take five bytes for an encrypted value.
    EXPECT_EQ(HresultOf([&] { Decrypt(encryptor, node); }), S_OK);
    EXPECT_EQ(ReadRawValue(node, L"Name").bytes.size(), 5u);
  }
  {
    SCOPED_TRACE("decrypting a corrupted value raises the protector's failure");
    RawValue bad = good;
    bad.bytes.back() ^= 0x5A;
    const DXNodePtr node = DXNodePtr::Create(L"F", L"T");
    SetRaw(node, L"Name", 12, bad.bytes.data(), static_cast<uint32_t>(bad.bytes.size()));
    EXPECT_NE(HresultOf([&] { Decrypt(encryptor, node); }), S_OK);
  }
}

TEST(NodeEncryptor, DecryptingPlainTreeChangesNothing) {
  ScopedLog log(L"DBG");
  const CNodeEncryptor encryptor = CNodeEncryptor::EncryptAll();
  const DXNodePtr tree =
      Build(NodeSpec{L"F", L"T", {Text(L"A", L"a"), Text(L"B", L"b")}, {{L"C", L"T", {Text(L"D", L"d")}}}});
  const DXNodePtr before = tree.Clone();
  Decrypt(encryptor, tree);
  EXPECT_EQ(TreeDifference(before, tree), L"");
  for (const wchar_t* name : {L"A", L"B", L"D"}) {
    EXPECT_EQ(log.Count(std::wstring(L"Attribute with name ") + name +
                        L" is not encrypted. The decryption was not performed"),
              1u)
        << log.All();
  }
}

TEST(NodeEncryptor, TraceTextsAtDbg3Only) {
  const CNodeEncryptor encryptor = CNodeEncryptor::EncryptAll();
  const DXNodePtr node = Build(NodeSpec{L"F", L"T", {Text(L"Name", L"abc")}});
  {
    ScopedLog log(L"DBG2");
    Encrypt(encryptor, node);
    Decrypt(encryptor, node);
    EXPECT_EQ(log.Count(L"Encrypting attribute"), 0u);
    EXPECT_EQ(log.Count(L"Decrypting attribute"), 0u);
  }
  ScopedLog log(L"DBG3");
  Encrypt(encryptor, node);
  Decrypt(encryptor, node);
  EXPECT_EQ(log.Count(L"Encrypting attribute with name Name"), 1u) << log.All();
  // The text runs straight into the name.
  EXPECT_EQ(log.Count(L"Decrypting attribute valueName"), 1u) << log.All();
}

class CountingKeySource : public IKeySource {
 public:
  std::string GetKey() override {
    ++calls;
    return "operator key";
  }
  int calls = 0;
};

TEST(NodeEncryptor, KeySourceSelectsTheSymmetricProtector) {
  for (const bool useAes : {false, true}) {
    SCOPED_TRACE(useAes ? "AES" : "RC4");
    const CNodeEncryptor encryptor(Settings(true, useAes));
    EXPECT_EQ(encryptor.UsesAes(), useAes);
    const DXNodePtr tree =
        Build(NodeSpec{L"F", L"T", {Text(L"A", L"abc"), Text(L"B", L"def")}, {{L"C", L"T", {Text(L"A", L"x")}}}});
    const DXNodePtr before = tree.Clone();
    CountingKeySource keys;
    Encrypt(encryptor, tree, kWhole, &keys);
    EXPECT_EQ(keys.calls, 1) << "asked once per walk";
    const RawValue value = ReadRawValue(tree, L"A");
    const SymmetricProtector protector("operator key", useAes);
    const ByteBuffer plain = protector.Unprotect(std::span<const uint8_t>(value.bytes).subspan(6));
    EXPECT_EQ(std::vector<uint8_t>(plain.begin(), plain.end()), ReadRawValue(before, L"A").bytes);
    EXPECT_NE(HresultOf([&] { Decrypt(encryptor, tree); }), S_OK) << "no key: the platform protector cannot read it";
    Decrypt(encryptor, tree, kWhole, &keys);
    EXPECT_EQ(keys.calls, 2);
    EXPECT_EQ(TreeDifference(before, tree), L"");
  }
  // A walk with nothing to process never asks for the key.
  CountingKeySource keys;
  Encrypt(CNodeEncryptor(Settings(true)), DXNodePtr::Create(L"Empty", nullptr), kWhole, &keys);
  EXPECT_EQ(keys.calls, 0);
}

class OldVersionSource : public IOldVersionSource {
 public:
  explicit OldVersionSource(bool fail) : m_fail(fail) {}
  DXNodePtr GetOldVersion(const DXNodePtr& node) override {
    ++calls;
    if (m_fail) HRX{E_ACCESSDENIED};
    return node.Clone();
  }
  int calls = 0;

 private:
  bool m_fail;
};

TEST(NodeEncryptor, OldVersionFailureIsOnlyAWarning) {
  ScopedLog log(L"WARN");
  const CNodeEncryptor encryptor = CNodeEncryptor::EncryptAll();
  const DXNodePtr parent = DXNodePtr::Create(L"Root", nullptr);
  const DXNodePtr node = Build(NodeSpec{L"F", L"T", {Text(L"A", L"a"), Text(L"B", L"b")}});
  parent.AddChild(node);
  OldVersionSource failing(true);
  Encrypt(encryptor, node, kWhole, nullptr, &failing);
  EXPECT_TRUE(IsEncrypted(node, L"A"));
  EXPECT_TRUE(IsEncrypted(node, L"B"));
  EXPECT_GE(failing.calls, 1);
  const std::vector<std::wstring> warnings =
      log.Find(L"Querying for old version for node " + node.GetPath() + L" failed: 0x80070005");
  EXPECT_EQ(warnings.size(), static_cast<size_t>(failing.calls)) << log.All();

  OldVersionSource working(false);
  const DXNodePtr other = Build(NodeSpec{L"F", L"T", {Text(L"A", L"a")}});
  Encrypt(encryptor, other, kWhole, nullptr, &working);
  EXPECT_TRUE(IsEncrypted(other, L"A"));
}

}  // namespace
