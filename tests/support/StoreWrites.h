// Writes to the reference configuration server the way the tests and
// benchmarks set up a store: one node at its own full path (merged into the
// store), and a switch node carrying "Enabled". No test framework, so plain
// programs use them too.
#pragma once

#include "node/DXNodePtr.h"

#include <Kestrova/HostServices.h>

namespace KestrovaTest {

inline HRESULT WriteNode(IDXConfigServer* server, const DXNodePtr& node) {
  IDXNode* handles[] = {node.Get()};
  return server->WriteNodes(nullptr, 0, handles, 1);
}

inline HRESULT WriteSwitch(IDXConfigServer* server, const wchar_t* path, bool enabled) {
  const DXNodePtr node = DXNodePtr::Create(path, nullptr);
  node.SetBool(L"Enabled", enabled);
  return WriteNode(server, node);
}

}  // namespace KestrovaTest
