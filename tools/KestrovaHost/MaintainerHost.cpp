#include "MaintainerHost.h"

#include "FailureText.h"
#include "ModuleDirectory.h"
#include "ToolError.h"

#include <string>

namespace KestrovaHost {

using KestrovaTools::kExitFailure;
using KestrovaTools::ToolError;
namespace FailureText = KestrovaTools::FailureText;

namespace {

constexpr wchar_t kModuleFile[] = L"Kestrova.dll";

void CheckModuleCall(HRESULT hr, const wchar_t* call) {
  if (FAILED(hr)) {
    throw ToolError(kExitFailure, std::wstring(call) + L" failed: " + FailureText::DescribeModuleFailure(hr));
  }
}

}  // namespace

MaintainerHost::MaintainerHost() {
  const std::wstring path = KestrovaTools::ModuleDirectory() + kModuleFile;
  m_library = ::LoadLibraryW(path.c_str());
  if (m_library == nullptr) {
    throw ToolError(kExitFailure,
                    L"cannot load '" + path + L"': " + FailureText::Describe(HRESULT_FROM_WIN32(::GetLastError())));
  }
  try {
    const auto getModuleObject = reinterpret_cast<PFN_GetComponentsModuleObject>(
        reinterpret_cast<void*>(::GetProcAddress(m_library, "GetComponentsModuleObject")));
    if (getModuleObject == nullptr) {
      throw ToolError(kExitFailure, L"'" + path + L"' has no export GetComponentsModuleObject: " +
                                        FailureText::Describe(HRESULT_FROM_WIN32(::GetLastError())));
    }
    CheckModuleCall(getModuleObject(reinterpret_cast<void**>(&m_module)), L"GetComponentsModuleObject");
    CheckModuleCall(
        m_module->CreateInstance(CLSID_ConfigSnapshotsMaintainer, IID_IConfigurableComponent, m_configurable.PutVoid()),
        L"CreateInstance of the snapshot maintainer");
    CheckModuleCall(m_configurable.As(m_shutdownable), L"QueryInterface for IShutdownableComponent");
    CheckModuleCall(m_configurable.As(m_processor), L"QueryInterface for IUsageActivityProcessor");
  } catch (...) {
    ReleaseMaintainer();
    ::FreeLibrary(m_library);
    throw;
  }
}

MaintainerHost::~MaintainerHost() {
  ReleaseMaintainer();
  ::FreeLibrary(m_library);
}

void MaintainerHost::ReleaseMaintainer() noexcept {
  m_processor.Reset();
  m_shutdownable.Reset();
  m_configurable.Reset();
}

uint32_t MaintainerHost::ModuleInUse() const noexcept {
  uint32_t inUse = 1;
  if (m_module == nullptr || FAILED(m_module->IsModuleInUse(&inUse))) return 1;
  return inUse;
}

}  // namespace KestrovaHost
