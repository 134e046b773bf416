// The module's one file logger: created and registered at load, unregistered
// and closed by Close at unload. Kept in static storage that is never
// destroyed, so nothing of it runs at process exit.
#pragma once

#include "logging/FileLogger.h"

#include <memory>

class CModuleLogger {
 public:
  CModuleLogger() noexcept;
  ~CModuleLogger() { Close(); }
  CModuleLogger(const CModuleLogger&) = delete;
  CModuleLogger& operator=(const CModuleLogger&) = delete;

  // Unregisters the file logger and closes its handle; later calls do nothing.
  void Close() noexcept;

 private:
  std::unique_ptr<FileLogger> m_logger;
};
