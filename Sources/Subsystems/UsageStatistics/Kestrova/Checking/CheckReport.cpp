#include "CheckReport.h"

#include <cwchar>
#include <utility>

namespace UsageStatistics::Checking {

namespace {

std::wstring Counted(size_t count, const wchar_t* singular, const wchar_t* plural) {
  return std::to_wstring(count) + L" " + (count == 1 ? singular : plural);
}

}  // namespace

std::wstring CheckFinding::Line() const {
  std::wstring line = path + L": " + subject + L": ";
  if (severity == Severity::Error) {
    wchar_t code[32];
    std::swprintf(code, std::size(code), L"error 0x%08X: ", static_cast<unsigned>(hr));
    line += code;
  } else {
    line += L"warning: ";
  }
  return line + text;
}

void CheckReport::AddError(std::wstring path, std::wstring subject, HRESULT hr, std::wstring text) {
  m_findings.push_back({std::move(path), std::move(subject), CheckFinding::Severity::Error, hr,
                        CheckFinding::Stage::Construction, std::move(text)});
  ++m_errors;
}

void CheckReport::AddResolutionError(std::wstring path, std::wstring subject, HRESULT hr, std::wstring text) {
  m_findings.push_back({std::move(path), std::move(subject), CheckFinding::Severity::Error, hr,
                        CheckFinding::Stage::Resolution, std::move(text)});
  ++m_errors;
}

void CheckReport::AddWarning(std::wstring path, std::wstring subject, std::wstring text) {
  m_findings.push_back({std::move(path), std::move(subject), CheckFinding::Severity::Warning, S_OK,
                        CheckFinding::Stage::Construction, std::move(text)});
}

std::wstring CheckReport::Summary() const {
  if (m_findings.empty()) return L"no problems";
  return Counted(ErrorCount(), L"error", L"errors") + L", " + Counted(WarningCount(), L"warning", L"warnings");
}

std::wstring CheckReport::Text() const {
  std::wstring text;
  for (const CheckFinding& finding : m_findings) text += finding.Line() + L"\n";
  return text + Summary() + L"\n";
}

}  // namespace UsageStatistics::Checking
