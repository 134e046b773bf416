// The message-table modules consulted for error texts: a primary list for
// interface-specific codes and a fallback list, five slots each. Modules
// are loaded as data files and freed with the object.
#pragma once

#include "HRES.h"

#include <windows.h>

#include <array>
#include <span>
#include <string>

class ErrorMessageModules {
 public:
  static constexpr size_t kSlots = 5;

  // A module the lists could not take: its path (empty when the list of
  // names itself could not be read, failure then holds why), or one that
  // loaded but found every slot taken.
  struct LoadFailure {
    const std::wstring& path;
    const HRES& failure;
    bool noMoreSlots;
  };
  using LoadFailureSink = void (*)(const LoadFailure& failure);
  // Where load failures are told; the log installs its own. None: they are dropped.
  static void SetLoadFailureSink(LoadFailureSink sink) noexcept;

  // The process-wide lists, loaded once from "ErrorHandling"/"MessageFile"
  // (default "CoreErrorMessages.dll" beside this module) and
  // "ErrorHandling"/"FallbackMessageFile".
  static const ErrorMessageModules& Instance();
  // True on the thread that is loading the process-wide lists.
  static bool LoadingOnThisThread() noexcept;
  // At the module's unload: frees the modules of the process-wide lists, if
  // they were loaded, and leaves the lists empty (lookups then find the
  // system's texts only). Never at process exit, where nothing is freed.
  static void FreeProcessModules() noexcept;

  ErrorMessageModules() = default;
  ~ErrorMessageModules();
  ErrorMessageModules(const ErrorMessageModules&) = delete;
  ErrorMessageModules& operator=(const ErrorMessageModules&) = delete;

  // Names separated by ",", "|" or ";". A bare file name is looked for in
  // directory (when given); failures and a sixth module are logged and skipped.
  void LoadPrimary(const std::wstring& names, const std::wstring& directory);
  void LoadFallback(const std::wstring& names);

  std::span<const HMODULE> Primary() const noexcept { return {m_primary.data(), m_primaryCount}; }
  std::span<const HMODULE> Fallback() const noexcept { return {m_fallback.data(), m_fallbackCount}; }

  // Frees every module and empties both lists.
  void FreeAll() noexcept;

 private:
  using Slots = std::array<HMODULE, kSlots>;
  static void Load(const std::wstring& names, const std::wstring& directory, Slots& slots, size_t& count);

  Slots m_primary{};
  size_t m_primaryCount = 0;
  Slots m_fallback{};
  size_t m_fallbackCount = 0;
};
