// Encrypts and decrypts attribute values of node trees in place, attribute by
// attribute. An encrypted value keeps its name; its type becomes 12 and its
// bytes are the magic CD AB CD AB, the plain type code (16-bit little-endian)
// and the protected bytes of the plain value (none for an empty value).
#pragma once

#include "node/DXNodePtr.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace DataEncryption {

// Supplies the key text on first need of a walk.
struct IKeySource {
  virtual std::string GetKey() = 0;

 protected:
  ~IKeySource() = default;
};

// Gives the previously stored version of a node (an empty node when none).
struct IOldVersionSource {
  virtual DXNodePtr GetOldVersion(const DXNodePtr& node) = 0;

 protected:
  ~IOldVersionSource() = default;
};

class CNodeEncryptor {
 public:
  static constexpr uint32_t kWholeSubtree = 0x7FFFFFFF;
  // Modes: change the given nodes, copy only nodes with something to
  // process, always copy.
  static constexpr uint32_t kModeInPlace = 0;
  static constexpr uint32_t kModeCopyWhenNeeded = 1;
  static constexpr uint32_t kModeCopy = 2;

  // "EncryptAll" and "UseAES" booleans; when not EncryptAll, each child of
  // type "NodeType" names a node type and lists in "NodeAttributes" the
  // attributes to process. A type named twice raises 0x80040901.
  explicit CNodeEncryptor(const DXNodePtr& settings);

  // depth 0 = the given nodes only, 0x7FFFFFFF = whole subtrees, n = the nodes
  // and n - 1 further levels. Mode 0 changes the nodes; modes 1 and 2 leave them alone
  // and, when output is given, put one new handle per input node into it
  // (owned by the caller: the processed copy, or in mode 1 a second handle of
  // a node that had nothing to process). Mode 2 requires output. In mode 0 an
  // output array receives second handles of the given nodes.
  void EncryptNodes(IDXNode* const* nodes, uint32_t count, uint32_t depth, uint32_t mode, IDXNode** output,
                    IKeySource* keySource, IOldVersionSource* oldVersionSource) const;
  void DecryptNodes(IDXNode* const* nodes, uint32_t count, uint32_t depth, uint32_t mode, IDXNode** output,
                    IKeySource* keySource, IOldVersionSource* oldVersionSource) const;

  // An encryptor for the settings {"EncryptAll" = true}: what the transient storage uses.
  static CNodeEncryptor EncryptAll();

  bool EncryptsAll() const noexcept { return m_encryptAll; }
  bool UsesAes() const noexcept { return m_useAes; }
  // Attribute names listed for a node type; null when none.
  const std::vector<std::wstring>* AttributesOf(const std::wstring& nodeType) const;

 private:
  class Walk;

  void Run(bool encrypt, IDXNode* const* nodes, uint32_t count, uint32_t depth, uint32_t mode, IDXNode** output,
           IKeySource* keySource, IOldVersionSource* oldVersionSource) const;

  bool m_encryptAll = false;
  bool m_useAes = false;
  std::map<std::wstring, std::vector<std::wstring>> m_attributesByType;
};

}  // namespace DataEncryption
