#include "NodeEncryptorImpl.h"

#include "CryptDataProtector.h"
#include "EncryptionErrors.h"

#include "Sources/Common/ErrorHandling/ErrorReporting.h"
#include "Sources/Common/ErrorHandling/HRES.h"
#include "logging/LogStatement.h"
#include "node/NodeErrors.h"
#include "node/NodeTreeWalk.h"

#include <algorithm>
#include <memory>
#include <optional>

namespace DataEncryption {
namespace {

constexpr uint8_t kMagic[4] = {0xCD, 0xAB, 0xCD, 0xAB};
constexpr size_t kHeaderSize = 6;  // magic and plain type
constexpr uint16_t kEncryptedType = DXNodePtr::kTypeBinary;

bool StartsWithMagic(const ByteBuffer& bytes) {
  return bytes.size() >= sizeof(kMagic) && std::equal(std::begin(kMagic), std::end(kMagic), bytes.begin());
}

// Every attribute name of the node. Unlike DXNodePtr::GetAttributeNames a
// failing read raises: a skipped attribute would be stored in clear.
std::vector<std::wstring> ReadAttributeNames(const DXNodePtr& node) {
  std::vector<wchar_t> buffer(256);
  for (;;) {
    uint32_t size = static_cast<uint32_t>(buffer.size());
    const HRESULT hr = DxnGetAttributeNames(node.Get(), buffer.data(), &size);
    if (hr == NodeErrors::kInsufficientBuffer && size > buffer.size()) {
      buffer.resize(size);
      continue;
    }
    ThrowIfFailed(hr);
    std::vector<std::wstring> names;
    for (size_t start = 0; start < size && buffer[start] != L'\0';) {
      const size_t end = std::find(buffer.begin() + start, buffer.begin() + size, L'\0') - buffer.begin();
      names.emplace_back(buffer.data() + start, end - start);
      start = end + 1;
    }
    return names;
  }
}

void WriteAttribute(const DXNodePtr& node, const std::wstring& name, uint16_t type, const ByteBuffer& bytes) {
  ThrowIfFailed(DxnSetAttribute(node.Get(), name.c_str(), type, bytes.empty() ? nullptr : bytes.data(),
                                static_cast<uint32_t>(bytes.size())));
}

// Depth 0 and 1 both mean the node alone; n reaches n - 1 levels below it.
bool DescendsBelow(uint32_t depth) { return depth > 1; }

}  // namespace

// One EncryptNodes or DecryptNodes call: the protector and the key live as
// long as it does.
class CNodeEncryptor::Walk {
 public:
  Walk(const CNodeEncryptor& owner, bool encrypt, IKeySource* keySource, IOldVersionSource* oldVersionSource)
      : m_owner(owner), m_encrypt(encrypt), m_keySource(keySource), m_oldVersionSource(oldVersionSource) {}
  // The key text does not outlive the walk in freed memory; the values it
  // read (m_value) wipe themselves.
  ~Walk() {
    if (m_key) WipeText(*m_key);
  }
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;

  // The node and its descendants within depth, in document order, without
  // recursion: restored files and frames may be arbitrarily deep.
  void ProcessTree(const DXNodePtr& root, uint32_t depth) {
    NodeUtils::WalkNodeTree(
        root, LevelsBelow(depth),
        [&](const DXNodePtr& node, const NodeUtils::NodePosition&) {
          ProcessNode(node);
          return true;
        },
        [](const DXNodePtr&, const NodeUtils::NodePosition&) { return true; });
  }

  // Whether the node or a descendant within depth has a selected attribute.
  bool HasWork(const DXNodePtr& root, uint32_t depth) const {
    bool found = false;
    NodeUtils::WalkNodeTree(
        root, LevelsBelow(depth),
        [&](const DXNodePtr& node, const NodeUtils::NodePosition&) {
          for (const std::wstring& name : SelectedAttributes(node)) {
            if (node.HasAttribute(name.c_str())) found = true;
          }
          return !found;
        },
        [](const DXNodePtr&, const NodeUtils::NodePosition&) { return true; });
    return found;
  }

 private:
  // Depth 0 and 1 both mean the node alone; n reaches n - 1 levels below it.
  static uint32_t LevelsBelow(uint32_t depth) {
    if (!DescendsBelow(depth)) return 0;
    return depth == CNodeEncryptor::kWholeSubtree ? depth : depth - 1;
  }

  void ProcessNode(const DXNodePtr& node) {
    const std::vector<std::wstring> names = SelectedAttributes(node);
    bool oldVersionAsked = false;
    for (const std::wstring& name : names) {
      uint16_t type = 0;
      if (!DXNodePtr::GetRawAttribute(node, name.c_str(), m_value, &type)) continue;
      if (m_encrypt) {
        if (!oldVersionAsked) {
          QueryOldVersion(node);
          oldVersionAsked = true;
        }
        EncryptAttribute(node, name, type);
      } else {
        DecryptAttribute(node, name, type);
      }
    }
  }

  std::vector<std::wstring> SelectedAttributes(const DXNodePtr& node) const {
    if (m_owner.m_encryptAll) return ReadAttributeNames(node);
    const std::vector<std::wstring>* listed = m_owner.AttributesOf(node.GetType());
    return listed != nullptr ? *listed : std::vector<std::wstring>();
  }

  const IDataProtector& Protector() {
    if (!m_protector) {
      if (m_keySource != nullptr && !m_key) m_key = m_keySource->GetKey();
      m_protector = MakeProtector(m_key ? m_key->c_str() : nullptr, m_owner.m_useAes);
    }
    return *m_protector;
  }

  // The stored version is not used: every value is encrypted afresh.
  void QueryOldVersion(const DXNodePtr& node) {
    if (m_oldVersionSource == nullptr) return;
    try {
      m_oldVersionSource->GetOldVersion(node);
    } catch (const HRX& failure) {
      KLOG_WARN(L"Querying for old version for node " << node.GetPath() << L" failed: " << failure);
    }
  }

  void EncryptAttribute(const DXNodePtr& node, const std::wstring& name, uint16_t type) {
    const IDataProtector& protector = Protector();
    KLOG_DBG3(L"Encrypting attribute with name " << name);
    if (type == kEncryptedType && m_value.size() >= 5 && StartsWithMagic(m_value)) {
      KLOG_DBG(L"Attribute " << name << L" value is already encrypted. Trying to decrypt it for validation");
      Validate(protector, name);
      KLOG_DBG(L"Attribute " << name << L" encrypted value validation passed");
      return;
    }
    ByteBuffer encrypted(std::begin(kMagic), std::end(kMagic));
    encrypted.push_back(static_cast<uint8_t>(type & 0xFF));
    encrypted.push_back(static_cast<uint8_t>(type >> 8));
    if (!m_value.empty() && type != DXNodePtr::kTypeNone) {
      const ByteBuffer protectedBytes = protector.Protect(m_value);
      encrypted.insert(encrypted.end(), protectedBytes.begin(), protectedBytes.end());
    }
    WriteAttribute(node, name, kEncryptedType, encrypted);
  }

  // An encrypted empty value is exactly the header; it is valid, since
  // encrypting it again must leave it as it is.
  void Validate(const IDataProtector& protector, const std::wstring& name) const {
    if (m_value.size() < kHeaderSize) {
      KLOG_ERR(L"Invalid encrypted value specified for attribute with name " << name);
      ThrowHr(kInvalidEncryptedValue);
    }
    if (m_value.size() == kHeaderSize) return;
    try {
      protector.Unprotect(std::span<const uint8_t>(m_value).subspan(kHeaderSize));
    } catch (const HRX& failure) {
      KLOG_ERR(L"Failed to decrypt value specified for attribute with name " << name << L" due to " << failure);
      HRX{ReportError(kInvalidEncryptedValue, failure, ErrorFormat::NoLocation)};
    }
  }

  void DecryptAttribute(const DXNodePtr& node, const std::wstring& name, uint16_t type) {
    const IDataProtector& protector = Protector();
    KLOG_DBG3(L"Decrypting attribute value" << name);
    if (type != kEncryptedType || m_value.size() < kHeaderSize || !StartsWithMagic(m_value)) {
      KLOG_DBG(L"Attribute with name " << name << L" is not encrypted. The decryption was not performed");
      return;
    }
    const uint16_t plainType = static_cast<uint16_t>(m_value[4] | (m_value[5] << 8));
    ByteBuffer plain;
    if (m_value.size() > kHeaderSize)
      plain = protector.Unprotect(std::span<const uint8_t>(m_value).subspan(kHeaderSize));
    WriteAttribute(node, name, plainType, plain);
  }

  const CNodeEncryptor& m_owner;
  const bool m_encrypt;
  IKeySource* const m_keySource;
  IOldVersionSource* const m_oldVersionSource;
  std::optional<std::string> m_key;
  std::shared_ptr<IDataProtector> m_protector;
  ByteBuffer m_value;
};

CNodeEncryptor::CNodeEncryptor(const DXNodePtr& settings) {
  settings.EnsureValid();
  m_encryptAll = settings.GetBool(L"EncryptAll", false);
  m_useAes = settings.GetBool(L"UseAES", false);
  if (m_encryptAll) return;
  settings.ForEachChild([&](const DXNodePtr& child) {
    if (child.GetType() != L"NodeType") return;
    std::vector<std::wstring> names;
    if (!child.TryGetStringList(L"NodeAttributes", names) || names.empty()) return;
    if (!m_attributesByType.emplace(child.GetName(), std::move(names)).second) ThrowHr(kDuplicateNodeType);
  });
}

CNodeEncryptor CNodeEncryptor::EncryptAll() {
  const DXNodePtr settings = DXNodePtr::Create(L"EncryptSettings", nullptr);
  settings.SetBool(L"EncryptAll", true);
  return CNodeEncryptor(settings);
}

const std::vector<std::wstring>* CNodeEncryptor::AttributesOf(const std::wstring& nodeType) const {
  const auto found = m_attributesByType.find(nodeType);
  return found != m_attributesByType.end() ? &found->second : nullptr;
}

void CNodeEncryptor::EncryptNodes(IDXNode* const* nodes, uint32_t count, uint32_t depth, uint32_t mode,
                                  IDXNode** output, IKeySource* keySource, IOldVersionSource* oldVersionSource) const {
  Run(true, nodes, count, depth, mode, output, keySource, oldVersionSource);
}

void CNodeEncryptor::DecryptNodes(IDXNode* const* nodes, uint32_t count, uint32_t depth, uint32_t mode,
                                  IDXNode** output, IKeySource* keySource, IOldVersionSource* oldVersionSource) const {
  Run(false, nodes, count, depth, mode, output, keySource, oldVersionSource);
}

void CNodeEncryptor::Run(bool encrypt, IDXNode* const* nodes, uint32_t count, uint32_t depth, uint32_t mode,
                         IDXNode** output, IKeySource* keySource, IOldVersionSource* oldVersionSource) const {
  if (nodes == nullptr || mode > kModeCopy || (mode == kModeCopy && output == nullptr)) ThrowHr(E_INVALIDARG);
  Walk walk(*this, encrypt, keySource, oldVersionSource);
  // Results are handed out only when every node succeeded; copies of a
  // failed call are closed with it.
  std::vector<DXNodePtr> results;
  results.reserve(output != nullptr ? count : 0);
  for (uint32_t index = 0; index < count; ++index) {
    DXNodePtr node(nodes[index], DXNodePtr::Handle::Duplicate);
    if (!node) ThrowHr(E_INVALIDARG);
    if (mode == kModeCopy || (mode == kModeCopyWhenNeeded && walk.HasWork(node, depth))) {
      node = node.Clone(DXNodePtr::kWholeSubtree);
    } else if (mode == kModeCopyWhenNeeded) {
      if (output != nullptr) results.push_back(std::move(node));
      continue;
    }
    walk.ProcessTree(node, depth);
    if (output != nullptr) results.push_back(std::move(node));
  }
  for (uint32_t index = 0; index < results.size(); ++index) output[index] = results[index].Detach();
}

}  // namespace DataEncryption
