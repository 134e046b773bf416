// Fixtures of the data protection tests: log lines captured in memory at a
// chosen severity, and byte helpers.
#pragma once

#include "logging/LogManager.h"
#include "runtime/RuntimeTestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace DataProtectionTest {

// Log lines of the process at the given "MaxSeverity", kept while it lives.
class ScopedLog {
 public:
  explicit ScopedLog(const wchar_t* maxSeverity = L"DBG3") : m_severity(L"GS_Logger_MaxSeverity", maxSeverity) {
    LogManager::Instance().RefreshSettings();
  }
  ~ScopedLog() {
    m_capture.reset();
    LogManager::Instance().RefreshSettings();
  }
  ScopedLog(const ScopedLog&) = delete;
  ScopedLog& operator=(const ScopedLog&) = delete;

  std::vector<std::wstring> Lines() const { return m_capture->Lines(); }
  void Clear() { m_capture->Clear(); }
  // Lines that contain the text.
  std::vector<std::wstring> Find(const std::wstring& text) const {
    std::vector<std::wstring> found;
    for (const std::wstring& line : Lines()) {
      if (line.find(text) != std::wstring::npos) found.push_back(line);
    }
    return found;
  }
  size_t Count(const std::wstring& text) const { return Find(text).size(); }
  std::wstring All() const {
    std::wstring all;
    for (const std::wstring& line : Lines()) all += line + L"\n";
    return all;
  }

 private:
  RuntimeTest::ScopedEnvironmentVariable m_severity;
  std::unique_ptr<RuntimeTest::ScopedCapture> m_capture = std::make_unique<RuntimeTest::ScopedCapture>();
};

inline std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

inline bool Contains(std::span<const uint8_t> haystack, std::span<const uint8_t> needle) {
  if (needle.empty() || needle.size() > haystack.size()) return needle.empty();
  for (size_t at = 0; at + needle.size() <= haystack.size(); ++at) {
    if (std::equal(needle.begin(), needle.end(), haystack.begin() + at)) return true;
  }
  return false;
}

}  // namespace DataProtectionTest
