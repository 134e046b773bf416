// The module's log file as text: the module writes UTF-16 lines into
// "Kestrova.log" in the folder the environment gives it.
#pragma once

#include <cstddef>
#include <string>

namespace Reliability {

class ModuleLogFile {
 public:
  // Points the module's logger at folder with every severity on; must run
  // before Kestrova.dll is loaded or within its settings refresh.
  static void Direct(const std::wstring& folder);

  explicit ModuleLogFile(std::wstring folder);

  // The whole file; empty when it does not exist yet.
  std::wstring Text() const;
  // The text written since the previous Mark().
  std::wstring SinceMark() const;
  void Mark();

  static size_t Count(const std::wstring& text, const std::wstring& part);
  static bool Contains(const std::wstring& text, const std::wstring& part) { return Count(text, part) != 0; }

 private:
  std::wstring m_path;
  size_t m_mark = 0;
};

}  // namespace Reliability
