// Reads and writes of the configuration store through the server interface.
#pragma once

#include "DXNodePtr.h"

#include <Kestrova/HostServices.h>

#include <cstdint>
#include <string>

// A "FilterByPath" node without name: "NodePath", "IsParent", "MaxDepth".
DXNodePtr MakeFilterByPath(const std::wstring& path, bool isParent, int64_t maxDepth);

// The node at path with its whole subtree, as a parentless copy; empty when
// absent and not required, not found (0x80070490) when absent and required.
DXNodePtr ReadConfigNode(IDXConfigServer* server, const std::wstring& path, bool required);

// Merges one node, named by its full path, into the store.
void WriteConfigNode(IDXConfigServer* server, const DXNodePtr& node);
