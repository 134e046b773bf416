// The records of a configuration modification notification, read into
// TNodeModification values.
#pragma once

#include "node/DXNodePtr.h"

#include <Kestrova/HostServices.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace NodeModifyUtils {

// One modification: the modified node's path, its change bits and, when the
// record carries one, the node's new content (the record's child 0).
struct TNodeModification {
  std::wstring path;
  uint32_t changesMask = 0;
  DXNodePtr node;
};

// The records in delivery order. A null enumerator or record raises
// E_POINTER; a record without "ModifiedNodePath" or "ChangesMask" raises
// 0x80070490. The walk ends silently at the first result other than S_OK.
std::vector<TNodeModification> GetModifications(IDXNodeModifyEnum* modifications);
// The same walk, handing each record to callback as it is read.
void ForEachModification(IDXNodeModifyEnum* modifications, const std::function<void(TNodeModification&&)>& callback);

}  // namespace NodeModifyUtils
