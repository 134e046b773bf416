// A host built from the release package alone (CheckPackage.sh builds it):
// the headers of include/Kestrova and, linked directly (MinGW's linker reads
// a DLL's export table), bin/DataLayer.dll and bin/ComponentsLib.dll. It
// loads Kestrova.dll from its own folder as a host does, creates the items
// resolver, releases it and unloads the module; it reads a text of the
// module's message DLL. Prints "package host: ok" when every step
// worked; otherwise the failing step and its HRESULT on standard error, and
// exit status 1.
#include <Kestrova/ComponentInterfaces.h>
#include <Kestrova/ComponentsLib.h>
#include <Kestrova/DataLayer.h>
#include <Kestrova/HostServices.h>

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

int Failed(const char* step, HRESULT result) {
  std::fprintf(stderr, "%s failed: 0x%08lX\n", step, static_cast<unsigned long>(result));
  return 1;
}

std::wstring OwnFolder() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

}  // namespace

int wmain() {
  // The node store, through its import of bin/DataLayer.dll.
  IDXNode* node = nullptr;
  HRESULT result = DxnCreateNode(L"Probe", L"PackageHost", &node);
  if (FAILED(result)) return Failed("DxnCreateNode", result);
  wchar_t path[16] = {};
  uint32_t size = 16;
  result = DxnGetNodeName(node, DXN_NAME_FORM_FULL_PATH, path, &size);
  DxnCloseNodeHandle(node);
  if (FAILED(result)) return Failed("DxnGetNodeName", result);
  if (std::wstring(path) != L"\\Probe") return Failed("DxnGetNodeName (the path)", E_UNEXPECTED);

  // The host services, through bin/ComponentsLib.dll.
  IDXConfigServer* server = nullptr;
  result = CLCreateConfigServer(nullptr, 0, &server);
  if (FAILED(result)) return Failed("CLCreateConfigServer", result);
  server->Release();

  // The module, loaded from the program's folder.
  const HMODULE module = ::LoadLibraryW((OwnFolder() + L"Kestrova.dll").c_str());
  if (module == nullptr) return Failed("LoadLibraryW(Kestrova.dll)", HRESULT_FROM_WIN32(::GetLastError()));
  const auto getModuleObject = reinterpret_cast<PFN_GetComponentsModuleObject>(
      reinterpret_cast<void*>(::GetProcAddress(module, "GetComponentsModuleObject")));
  if (getModuleObject == nullptr) return Failed("GetProcAddress(GetComponentsModuleObject)", E_NOINTERFACE);
  IComponentsModule* moduleObject = nullptr;
  result = getModuleObject(reinterpret_cast<void**>(&moduleObject));
  if (FAILED(result)) return Failed("GetComponentsModuleObject", result);
  IUsageActivityItemsResolver* resolver = nullptr;
  result = moduleObject->CreateInstance(CLSID_UsageActivityItemsResolver, IID_IUsageActivityItemsResolver,
                                        reinterpret_cast<void**>(&resolver));
  if (FAILED(result)) return Failed("CreateInstance(CLSID_UsageActivityItemsResolver)", result);
  resolver->Release();
  // Released on this thread, so the module may go (docs/ReferenceHost.md, 11).
  uint32_t inUse = 1;
  result = moduleObject->IsModuleInUse(&inUse);
  if (FAILED(result)) return Failed("IsModuleInUse", result);
  if (inUse != 0) return Failed("IsModuleInUse (0 after the release)", E_UNEXPECTED);
  if (!::FreeLibrary(module)) return Failed("FreeLibrary(Kestrova.dll)", HRESULT_FROM_WIN32(::GetLastError()));

  // The texts of the module's own codes, read as FormatMessageW reads a
  // message module.
  const HMODULE messages = ::LoadLibraryExW((OwnFolder() + L"CoreErrorMessages.dll").c_str(), nullptr,
                                            LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (messages == nullptr) return Failed("LoadLibraryExW(CoreErrorMessages.dll)", HRESULT_FROM_WIN32(::GetLastError()));
  wchar_t* text = nullptr;
  const DWORD length =
      ::FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                       messages, 0x80040201, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  if (length == 0) return Failed("FormatMessageW(0x80040201)", HRESULT_FROM_WIN32(::GetLastError()));
  std::printf("0x80040201: %ls\n", std::wstring(text, length).c_str());
  ::LocalFree(text);
  ::FreeLibrary(messages);

  std::printf("package host: ok\n");
  return 0;
}
