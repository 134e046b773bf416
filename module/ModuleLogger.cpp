#include "ModuleLogger.h"

#include "Sources/Common/ErrorHandling/ErrorText.h"
#include "Sources/Common/ErrorHandling/HRES.h"
#include "logging/InternalReport.h"
#include "logging/ModuleBanner.h"
#include "settings/FileSystem.h"
#include "settings/GlobalSettings.h"

namespace {
constexpr wchar_t kModuleDescription[] = L"Kestrova64";
}  // namespace

CModuleLogger::CModuleLogger() noexcept {
  try {
    // Created here, before anything can log, in the order they are needed;
    // none of them is ever destroyed.
    GlobalSettings::Instance();
    LogManager::Instance();
    TouchErrorTextCache();

    const HMODULE module = CurrentModuleHandle();
    std::wstring banner;
    try {
      banner = BuildModuleBanner(module, kModuleDescription);
    } catch (const HRX& failure) {
      // Logging goes on without a banner rather than failing the load.
      ReportInternal(L"FileLogger: cannot build the module banner (error: 0x%08x)",
                     static_cast<unsigned>(failure.Code()));
    }
    m_logger = std::make_unique<FileLogger>(DefaultLogFileName(module), std::move(banner));
    LogManager::Instance().Register(m_logger.get());
  } catch (...) {
    m_logger.reset();
  }
}

void CModuleLogger::Close() noexcept {
  if (!m_logger) return;
  LogManager::Instance().Unregister(m_logger.get());
  m_logger->CloseCachedHandle();
  // The logger object stays: a statement that read its slot just before the
  // unregistration may still be writing through it.
}
