// The findings of one check, in the order they were found.
#pragma once

#include "CheckFinding.h"

#include <cstddef>
#include <string>
#include <vector>

namespace UsageStatistics::Checking {

class CheckReport {
 public:
  void AddError(std::wstring path, std::wstring subject, HRESULT hr, std::wstring text);
  // An error the engine meets only when a resolution reaches it.
  void AddResolutionError(std::wstring path, std::wstring subject, HRESULT hr, std::wstring text);
  void AddWarning(std::wstring path, std::wstring subject, std::wstring text);

  const std::vector<CheckFinding>& Findings() const noexcept { return m_findings; }
  size_t ErrorCount() const noexcept { return m_errors; }
  size_t WarningCount() const noexcept { return m_findings.size() - m_errors; }
  // No error; with strict, no warning either.
  bool Passed(bool strict) const noexcept { return m_errors == 0 && (!strict || WarningCount() == 0); }

  // Every finding on its own line ("\n"), then the summary line.
  std::wstring Text() const;
  // "2 errors, 1 warning" or "no problems".
  std::wstring Summary() const;

 private:
  std::vector<CheckFinding> m_findings;
  size_t m_errors = 0;
};

}  // namespace UsageStatistics::Checking
