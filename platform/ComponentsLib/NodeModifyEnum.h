// The records of one notification (IDXNodeModifyEnum) and cursors over
// them (IDXNodeEnum).
#pragma once

#include "HostObject.h"
#include "Node.h"

#include <memory>
#include <mutex>
#include <vector>

namespace ComponentsLib {

using NodeList = std::vector<Node>;

class NodeEnum final : public HostObject<IDXNodeEnum> {
 public:
  explicit NodeEnum(std::shared_ptr<const NodeList> nodes) : m_nodes(std::move(nodes)) {}

  HRESULT Restart() override;
  HRESULT Next(IDXNode** node) override;

 private:
  const std::shared_ptr<const NodeList> m_nodes;
  std::mutex m_lock;
  size_t m_position = 0;
};

class NodeModifyEnum final : public HostObject<IDXNodeModifyEnum> {
 public:
  explicit NodeModifyEnum(NodeList records) : m_records(std::make_shared<const NodeList>(std::move(records))) {}

  HRESULT GetNodeEnumerator(IDXNodeEnum** enumerator) override;

 private:
  const std::shared_ptr<const NodeList> m_records;
};

// A modification record: a node of type "ConfigNodeModification" with
// "ModifiedNodePath" (text), "ChangesMask" (64-bit integer) and, when
// given, a copy of the content as its only child.
Node MakeModificationRecord(const std::wstring& path, uint64_t changesMask, const Node& content);

}  // namespace ComponentsLib
