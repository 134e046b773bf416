// A failure that ends the run with a given exit status and a message for
// standard error.
#pragma once

#include <string>
#include <utility>

namespace KestrovaTools {

enum ExitStatus : int {
  kExitSuccess = 0,
  kExitFailure = 1,  // the module or the node store returned a failure, or output failed
  kExitUsage = 2,    // bad command line, unreadable or malformed input file
};

class ToolError {
 public:
  ToolError(ExitStatus status, std::wstring message) : m_status(status), m_message(std::move(message)) {}

  ExitStatus Status() const noexcept { return m_status; }
  const std::wstring& Message() const noexcept { return m_message; }

 private:
  ExitStatus m_status;
  std::wstring m_message;
};

}  // namespace KestrovaTools
