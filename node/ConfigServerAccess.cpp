#include "ConfigServerAccess.h"

#include "NodeErrors.h"

#include "Sources/Common/ErrorHandling/HRES.h"

DXNodePtr MakeFilterByPath(const std::wstring& path, bool isParent, int64_t maxDepth) {
  DXNodePtr filter = DXNodePtr::Create(nullptr, L"FilterByPath");
  filter.SetString(L"NodePath", path);
  filter.SetBool(L"IsParent", isParent);
  filter.SetInt64(L"MaxDepth", maxDepth);
  return filter;
}

DXNodePtr ReadConfigNode(IDXConfigServer* server, const std::wstring& path, bool required) {
  if (server == nullptr) ThrowHr(E_POINTER);
  const DXNodePtr filter = MakeFilterByPath(path, false, DXNodePtr::kWholeSubtree);
  DXNodePtr node;
  uint32_t count = 0;
  ThrowIfFailed(server->ReadNodes(filter.Get(), 0, node.Out(), 1, &count));
  if (count == 0) {
    if (required) ThrowHr(NodeErrors::kNotFound);
    return DXNodePtr();
  }
  return node;
}

void WriteConfigNode(IDXConfigServer* server, const DXNodePtr& node) {
  if (server == nullptr) ThrowHr(E_POINTER);
  IDXNode* const handles[] = {node.Get()};
  ThrowIfFailed(server->WriteNodes(nullptr, 0, handles, 1));
}
