#include "NodeModifyEnum.h"

namespace ComponentsLib {

HRESULT NodeEnum::Restart() {
  std::lock_guard lock(m_lock);
  m_position = 0;
  return S_OK;
}

HRESULT NodeEnum::Next(IDXNode** node) {
  if (node == nullptr) return E_POINTER;
  *node = nullptr;
  return Guarded([&] {
    std::lock_guard lock(m_lock);
    if (m_position >= m_nodes->size()) return S_FALSE;
    *node = Node((*m_nodes)[m_position]).Detach();
    ++m_position;
    return S_OK;
  });
}

HRESULT NodeModifyEnum::GetNodeEnumerator(IDXNodeEnum** enumerator) {
  if (enumerator == nullptr) return E_POINTER;
  return Guarded([&] {
    *enumerator = new NodeEnum(m_records);
    return S_OK;
  });
}

Node MakeModificationRecord(const std::wstring& path, uint64_t changesMask, const Node& content) {
  Node record = Node::Create(nullptr, L"ConfigNodeModification");
  record.SetText(L"ModifiedNodePath", path);
  record.SetInt64(L"ChangesMask", static_cast<int64_t>(changesMask));
  if (content) record.AddChild(content.CopyToDepth(DXN_DEPTH_SUBTREE));
  return record;
}

}  // namespace ComponentsLib
