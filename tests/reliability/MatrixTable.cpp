#include "MatrixTable.h"

#include <algorithm>
#include <cwchar>

namespace Reliability {

namespace {
std::wstring Padded(std::wstring text, size_t width) {
  if (text.size() < width) text.append(width - text.size(), L' ');
  return text;
}
}  // namespace

MatrixTable::MatrixTable(std::vector<std::wstring> rows, std::vector<std::wstring> columns)
    : m_rows(std::move(rows)), m_columns(std::move(columns)) {}

void MatrixTable::Record(size_t row, size_t column, CellVerdict verdict, double seconds) {
  m_cells[{row, column}] = {verdict, seconds};
}

size_t MatrixTable::Count(CellVerdict verdict) const {
  return static_cast<size_t>(
      std::count_if(m_cells.begin(), m_cells.end(), [&](const auto& cell) { return cell.second.first == verdict; }));
}

std::wstring MatrixTable::Render(double totalSeconds) const {
  size_t rowWidth = 9;
  for (const std::wstring& row : m_rows) rowWidth = std::max(rowWidth, row.size());
  size_t columnWidth = 11;
  for (const std::wstring& column : m_columns) columnWidth = std::max(columnWidth, column.size());

  std::wstring table = L"| " + Padded(L"operation", rowWidth) + L" |";
  for (const std::wstring& column : m_columns) table += L" " + Padded(column, columnWidth) + L" |";
  table += L"\n|" + std::wstring(rowWidth + 2, L'-') + L"|";
  for (size_t column = 0; column < m_columns.size(); ++column) table += std::wstring(columnWidth + 2, L'-') + L"|";
  table += L"\n";
  for (size_t row = 0; row < m_rows.size(); ++row) {
    bool any = false;
    std::wstring line = L"| " + Padded(m_rows[row], rowWidth) + L" |";
    for (size_t column = 0; column < m_columns.size(); ++column) {
      const auto found = m_cells.find({row, column});
      std::wstring text = L"-";
      if (found != m_cells.end()) {
        any = true;
        wchar_t seconds[32];
        std::swprintf(seconds, 32, L" %.1fs", found->second.second);
        text = std::wstring(VerdictName(found->second.first)) + seconds;
      }
      line += L" " + Padded(text, columnWidth) + L" |";
    }
    if (any) table += line + L"\n";
  }
  wchar_t totals[160];
  std::swprintf(totals, 160, L"%zu cells: %zu passed, %zu failed, %zu crashed, %zu hung; %.1f s in all\n",
                m_cells.size(), Count(CellVerdict::Passed), Count(CellVerdict::Failed), Count(CellVerdict::Crashed),
                Count(CellVerdict::Hung), totalSeconds);
  return table + totals;
}

}  // namespace Reliability
