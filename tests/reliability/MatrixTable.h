// The summary of the fault matrix: one row per operation, one column per
// fault mode, each cell its verdict and run time.
#pragma once

#include "CellProcess.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace Reliability {

class MatrixTable {
 public:
  MatrixTable(std::vector<std::wstring> rows, std::vector<std::wstring> columns);

  void Record(size_t row, size_t column, CellVerdict verdict, double seconds);
  size_t Count(CellVerdict verdict) const;
  // The table as text, with a line of totals.
  std::wstring Render(double totalSeconds) const;

 private:
  std::vector<std::wstring> m_rows;
  std::vector<std::wstring> m_columns;
  std::map<std::pair<size_t, size_t>, std::pair<CellVerdict, double>> m_cells;
};

}  // namespace Reliability
