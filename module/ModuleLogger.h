// The module's one file logger: created and registered at load, unregistered
// and closed at unload.
#pragma once

#include "logging/FileLogger.h"

#include <memory>

class CModuleLogger {
 public:
  CModuleLogger() noexcept;
  ~CModuleLogger();
  CModuleLogger(const CModuleLogger&) = delete;
  CModuleLogger& operator=(const CModuleLogger&) = delete;

 private:
  std::unique_ptr<FileLogger> m_logger;
};
