#include "NodeModifyUtils.h"

#include "Sources/Common/ErrorHandling/HRES.h"
#include "module/CompPtr.h"

namespace NodeModifyUtils {

void ForEachModification(IDXNodeModifyEnum* modifications, const std::function<void(TNodeModification&&)>& callback) {
  if (modifications == nullptr) ThrowHr(E_POINTER);
  CompPtr<IDXNodeEnum> enumerator;
  HRX hr = modifications->GetNodeEnumerator(enumerator.Put());
  if (!enumerator) ThrowHr(E_POINTER);
  hr = enumerator->Restart();
  for (;;) {
    IDXNode* handle = nullptr;
    // End and failure alike end the walk: what was read so far stands.
    const HRESULT next = enumerator->Next(&handle);
    const DXNodePtr record(handle, DXNodePtr::Handle::Adopt);
    if (next != S_OK) break;
    if (!record) ThrowHr(E_POINTER);
    TNodeModification modification;
    modification.path = record.GetString(L"ModifiedNodePath");
    modification.changesMask = static_cast<uint32_t>(record.GetInt64(L"ChangesMask"));
    modification.node = record.GetChild(0u, false);
    callback(std::move(modification));
  }
}

std::vector<TNodeModification> GetModifications(IDXNodeModifyEnum* modifications) {
  std::vector<TNodeModification> records;
  ForEachModification(modifications, [&](TNodeModification&& record) { records.push_back(std::move(record)); });
  return records;
}

}  // namespace NodeModifyUtils
