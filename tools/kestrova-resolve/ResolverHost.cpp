#include "ResolverHost.h"

#include "FailureText.h"
#include "ModuleDirectory.h"
#include "ToolError.h"

namespace KestrovaResolve {

using KestrovaTools::kExitFailure;
using KestrovaTools::ModuleDirectory;
using KestrovaTools::ToolError;
namespace FailureText = KestrovaTools::FailureText;

namespace {

constexpr wchar_t kModuleFile[] = L"Kestrova.dll";

[[noreturn]] void ThrowModuleFailure(const wchar_t* call, HRESULT hr) {
  throw ToolError(kExitFailure, std::wstring(call) + L" failed: " + FailureText::DescribeModuleFailure(hr));
}

}  // namespace

ResolverHost::ResolverHost() {
  const std::wstring path = ModuleDirectory() + kModuleFile;
  m_module = ::LoadLibraryW(path.c_str());
  if (m_module == nullptr) {
    throw ToolError(kExitFailure,
                    L"cannot load '" + path + L"': " + FailureText::Describe(HRESULT_FROM_WIN32(::GetLastError())));
  }
  const auto getModuleObject = reinterpret_cast<PFN_GetComponentsModuleObject>(
      reinterpret_cast<void*>(::GetProcAddress(m_module, "GetComponentsModuleObject")));
  if (getModuleObject == nullptr) {
    const HRESULT hr = HRESULT_FROM_WIN32(::GetLastError());
    ::FreeLibrary(m_module);
    throw ToolError(kExitFailure,
                    L"'" + path + L"' has no export GetComponentsModuleObject: " + FailureText::Describe(hr));
  }
  try {
    // The module object is not reference counted: it is neither added to nor released.
    IComponentsModule* module = nullptr;
    if (const HRESULT hr = getModuleObject(reinterpret_cast<void**>(&module)); FAILED(hr)) {
      ThrowModuleFailure(L"GetComponentsModuleObject", hr);
    }
    if (const HRESULT hr = module->CreateInstance(CLSID_UsageActivityItemsResolver, IID_IUsageActivityItemsResolver,
                                                  reinterpret_cast<void**>(&m_resolver));
        FAILED(hr)) {
      ThrowModuleFailure(L"CreateInstance of the items resolver", hr);
    }
  } catch (...) {
    ::FreeLibrary(m_module);
    throw;
  }
}

ResolverHost::~ResolverHost() {
  if (m_resolver != nullptr) m_resolver->Release();
  ::FreeLibrary(m_module);
}

void ResolverHost::Initialize(const NodeHandle& configuration) {
  if (const HRESULT hr = m_resolver->Initialize(configuration.Get()); FAILED(hr)) ThrowModuleFailure(L"Initialize", hr);
}

NodeHandle ResolverHost::ResolveActivityItems(const NodeHandle& source) {
  NodeHandle container;
  if (const HRESULT hr = m_resolver->ResolveActivityItems(source.Get(), container.Put()); FAILED(hr)) {
    ThrowModuleFailure(L"ResolveActivityItems", hr);
  }
  return container;
}

}  // namespace KestrovaResolve
