#include "ErrorMessageModules.h"
#include "Sources/Common/Lifetime/NoDestroy.h"

#include "settings/FileSystem.h"
#include "settings/GlobalSettings.h"
#include "settings/ImpersonationRevertGuard.h"

#include <atomic>
#include <utility>
#include <vector>

namespace {
constexpr wchar_t kSection[] = L"ErrorHandling";
constexpr wchar_t kDefaultMessageFile[] = L"CoreErrorMessages.dll";
constexpr DWORD kLoadAsData = LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE;

thread_local bool t_loading = false;
// The process-wide lists once loaded, for the unload to free.
std::atomic<ErrorMessageModules*> g_processModules{nullptr};
// Where load failures go: the log installs it. Error handling neither logs
// nor formats, so that it depends on nothing above it.
std::atomic<ErrorMessageModules::LoadFailureSink> g_loadFailureSink{nullptr};

void TellLoadFailure(const std::wstring& path, const HRES& failure, bool noMoreSlots) noexcept {
  const ErrorMessageModules::LoadFailureSink sink = g_loadFailureSink.load(std::memory_order_acquire);
  if (sink == nullptr) return;
  try {
    sink(ErrorMessageModules::LoadFailure{path, failure, noMoreSlots});
  } catch (...) {
  }
}

std::vector<std::wstring> SplitNames(const std::wstring& names) {
  std::vector<std::wstring> pieces;
  size_t start = 0;
  while (start <= names.size()) {
    size_t end = names.find_first_of(L",|;", start);
    if (end == std::wstring::npos) end = names.size();
    if (end > start) pieces.push_back(names.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

// Marks the loading thread, so that error texts it needs meanwhile do not
// wait for the lists it is building.
class LoadingScope {
 public:
  LoadingScope() noexcept { t_loading = true; }
  ~LoadingScope() { t_loading = false; }
  LoadingScope(const LoadingScope&) = delete;
  LoadingScope& operator=(const LoadingScope&) = delete;
};

ErrorMessageModules* CreateProcessModules() {
  // Never destroyed: the unload frees the modules explicitly (FreeAll).
  static NoDestroy<ErrorMessageModules> storage;
  ErrorMessageModules& modules = storage.Get();
  LoadingScope loading;
  // As the process: the first error may be met on a thread that impersonates.
  const ImpersonationRevertGuard asProcess;
  try {
    GlobalSettings& settings = GlobalSettings::Instance();
    std::wstring primary;
    if (!settings.TryReadSetting(kSection, L"MessageFile", primary)) primary = kDefaultMessageFile;
    modules.LoadPrimary(primary, DirectoryOf(GetModulePath(CurrentModuleHandle())));
    std::wstring fallback;
    if (settings.TryReadSetting(kSection, L"FallbackMessageFile", fallback)) modules.LoadFallback(fallback);
  } catch (const HRX& failure) {
    TellLoadFailure(std::wstring(), failure, false);
  } catch (...) {
    // Out of memory while splitting: keep what was loaded.
  }
  g_processModules.store(&modules, std::memory_order_release);
  return &modules;
}
}  // namespace

const ErrorMessageModules& ErrorMessageModules::Instance() {
  static ErrorMessageModules* const instance = CreateProcessModules();
  return *instance;
}

bool ErrorMessageModules::LoadingOnThisThread() noexcept { return t_loading; }

void ErrorMessageModules::SetLoadFailureSink(LoadFailureSink sink) noexcept {
  g_loadFailureSink.store(sink, std::memory_order_release);
}

ErrorMessageModules::~ErrorMessageModules() { FreeAll(); }

void ErrorMessageModules::FreeAll() noexcept {
  const size_t primary = std::exchange(m_primaryCount, 0);
  const size_t fallback = std::exchange(m_fallbackCount, 0);
  for (size_t i = 0; i < primary; ++i) ::FreeLibrary(std::exchange(m_primary[i], nullptr));
  for (size_t i = 0; i < fallback; ++i) ::FreeLibrary(std::exchange(m_fallback[i], nullptr));
}

void ErrorMessageModules::FreeProcessModules() noexcept {
  if (ErrorMessageModules* modules = g_processModules.exchange(nullptr, std::memory_order_acq_rel)) modules->FreeAll();
}

void ErrorMessageModules::LoadPrimary(const std::wstring& names, const std::wstring& directory) {
  Load(names, directory, m_primary, m_primaryCount);
}

void ErrorMessageModules::LoadFallback(const std::wstring& names) {
  Load(names, std::wstring(), m_fallback, m_fallbackCount);
}

void ErrorMessageModules::Load(const std::wstring& names, const std::wstring& directory, Slots& slots, size_t& count) {
  for (const std::wstring& name : SplitNames(names)) {
    const std::wstring path =
        name.find_first_of(L"\\/") == std::wstring::npos && !directory.empty() ? directory + name : name;
    const HMODULE module = ::LoadLibraryExW(path.c_str(), nullptr, kLoadAsData);
    if (module == nullptr) {
      const HRES failure = HRES(HrFromLastError());
      TellLoadFailure(path, failure, false);
      continue;
    }
    if (count == kSlots) {
      ::FreeLibrary(module);
      TellLoadFailure(path, HRES(S_OK), true);
      continue;
    }
    slots[count++] = module;
  }
}
