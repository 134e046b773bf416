// Appends log lines to a file in the log directory. The file is opened
// briefly for each line or kept open for "KeepOpenInterval" milliseconds;
// every writer uses its own duplicate of the handle. A new file starts with
// the header. Nothing here raises: problems go to the debugger output and
// the line is lost.
#pragma once

#include "LogManager.h"
#include "settings/File.h"

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>

class FileLogger final : public ILogger {
 public:
  // fileName: placed in the log directory unless it holds "\" or "/".
  FileLogger(std::wstring fileName, std::wstring header);
  ~FileLogger() override = default;
  FileLogger(const FileLogger&) = delete;
  FileLogger& operator=(const FileLogger&) = delete;

  void Write(const wchar_t* text, int length) noexcept override;
  // Closes the cached handle; the next line opens the file again.
  void CloseCachedHandle() noexcept;

 private:
  struct FileId {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    bool operator==(const FileId&) const = default;
  };

  // The handle for one write, owned by the caller; not open when none.
  CFile AcquireHandle() noexcept;
  // Opens the file, checks its size and writes the header to a new file.
  CFile OpenFile() noexcept;
  std::wstring FilePath() const;
  void WriteHeaderIfNewFile(CFile& file) noexcept;

  const std::wstring m_fileName;
  const std::wstring m_header;
  const bool m_isPath;

  std::mutex m_lock;
  // Serialises the appends themselves: Wine, like network and non-NTFS file
  // systems, appends by reading the size and writing there, so appends through
  // separate handles can overwrite each other.
  std::mutex m_appendLock;
  uint64_t m_openTime = 0;
  CFile m_cached;
  FileId m_fileId{};
  bool m_tooBigReported = false;
};
