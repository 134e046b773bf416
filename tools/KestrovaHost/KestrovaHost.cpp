// The reference host: loads Kestrova.dll the way a component host does and
// drives it through its export.
#include <Kestrova/ComponentInterfaces.h>

#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <string>

namespace {

std::wstring GuidText(const GUID& id) {
  wchar_t text[40] = {};
  ::StringFromGUID2(id, text, 40);
  return text;
}

std::wstring ModuleDirectory() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring directory(path, length);
  const auto slash = directory.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : directory.substr(0, slash + 1);
}

uint32_t InUse(IComponentsModule* module) {
  uint32_t inUse = 0;
  module->IsModuleInUse(&inUse);
  return inUse;
}

bool CreateAndRelease(IComponentsModule* module, const wchar_t* name, const GUID& clsid, const GUID& iid) {
  void* object = nullptr;
  const HRESULT hr = module->CreateInstance(clsid, iid, &object);
  std::wprintf(L"CreateInstance %ls %ls -> 0x%08lX\n", name, GuidText(clsid).c_str(), static_cast<unsigned long>(hr));
  if (FAILED(hr)) return false;
  std::wprintf(L"  interface %ls, IsModuleInUse = %u\n", GuidText(iid).c_str(), InUse(module));
  const uint32_t remaining = static_cast<IComponentObject*>(object)->Release();
  std::wprintf(L"  released (count %u), IsModuleInUse = %u\n", remaining, InUse(module));
  return true;
}

}  // namespace

int wmain() {
  const std::wstring modulePath = ModuleDirectory() + L"Kestrova.dll";
  HMODULE library = ::LoadLibraryW(modulePath.c_str());
  if (library == nullptr) {
    std::fwprintf(stderr, L"Cannot load %ls: error %lu\n", modulePath.c_str(), ::GetLastError());
    return 2;
  }
  auto getModule = reinterpret_cast<PFN_GetComponentsModuleObject>(
      reinterpret_cast<void*>(::GetProcAddress(library, "GetComponentsModuleObject")));
  if (getModule == nullptr) {
    std::fwprintf(stderr, L"Kestrova.dll has no GetComponentsModuleObject export\n");
    return 2;
  }

  IComponentsModule* module = nullptr;
  const HRESULT hr = getModule(reinterpret_cast<void**>(&module));
  std::wprintf(L"GetComponentsModuleObject -> 0x%08lX\n", static_cast<unsigned long>(hr));
  if (FAILED(hr)) return 1;
  std::wprintf(L"IsModuleInUse = %u\n", InUse(module));

  bool ok = CreateAndRelease(module, L"ConfigSnapshotsMaintainer", CLSID_ConfigSnapshotsMaintainer,
                             IID_IConfigurableComponent);
  ok = CreateAndRelease(module, L"UsageActivityItemsResolver", CLSID_UsageActivityItemsResolver,
                        IID_IUsageActivityItemsResolver) && ok;
  std::wprintf(L"IsModuleInUse = %u\n", InUse(module));

  ::FreeLibrary(library);
  return ok ? 0 : 1;
}
