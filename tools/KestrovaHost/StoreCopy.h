// The store file the configuration server loads: a private temporary copy
// of the user's store (or of the embedded demo store), so the file given
// with --store is only ever read, whatever the server does with its own.
#pragma once

#include <string>
#include <string_view>

namespace KestrovaHost {

class StoreCopy {
 public:
  // A copy of the file; raises ToolError (kExitUsage) when it cannot be read.
  static StoreCopy OfFile(const std::wstring& path);
  // A file holding the text; raises ToolError (kExitFailure) when it cannot be written.
  static StoreCopy OfText(std::string_view text);

  StoreCopy(StoreCopy&& other) noexcept : m_path(std::move(other.m_path)) { other.m_path.clear(); }
  StoreCopy& operator=(StoreCopy&&) = delete;
  StoreCopy(const StoreCopy&) = delete;
  ~StoreCopy();

  const std::wstring& Path() const noexcept { return m_path; }

 private:
  explicit StoreCopy(std::wstring path) : m_path(std::move(path)) {}
  static std::wstring NewTemporaryPath();

  std::wstring m_path;
};

}  // namespace KestrovaHost
