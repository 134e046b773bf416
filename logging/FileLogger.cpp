#include "FileLogger.h"

#include "InternalReport.h"
#include "Sources/Common/ErrorHandling/HRES.h"
#include "settings/FileSystem.h"
#include "settings/ImpersonationRevertGuard.h"

#include <cwchar>
#include <optional>

namespace {
constexpr uint32_t kDefaultKeepOpenMs = 5000;
constexpr uint32_t kDefaultSizeThresholdMB = 1024;
constexpr int kOpenAttempts = 4;
constexpr DWORD kSharingRetryDelayMs = 10;
constexpr bool kRevertImpersonation = true;

constexpr HRESULT kSharingViolation = HrFromWin32(ERROR_SHARING_VIOLATION);
}  // namespace

FileLogger::FileLogger(std::wstring fileName, std::wstring header)
    : m_fileName(std::move(fileName)),
      m_header(std::move(header)),
      m_isPath(m_fileName.find_first_of(L"\\/") != std::wstring::npos) {}

void FileLogger::Write(const wchar_t* text, int length) noexcept {
  if (text == nullptr) return;
  const size_t characters = length < 0 ? std::wcslen(text) : static_cast<size_t>(length);
  CFile file = AcquireHandle();
  if (!file.IsOpen()) return;
  HRESULT written = S_OK;
  {
    std::lock_guard guard(m_appendLock);
    written = file.Write(text, static_cast<DWORD>(characters * sizeof(wchar_t)));
  }
  if (written < 0) ReportInternal(L"FileLogger: cannot write (error: 0x%08x)", static_cast<unsigned>(written));
}

void FileLogger::CloseCachedHandle() noexcept {
  std::lock_guard guard(m_lock);
  m_cached.Close();
  m_openTime = 0;
}

CFile FileLogger::AcquireHandle() noexcept {
  try {
    std::lock_guard guard(m_lock);
    const uint32_t keepOpenMs = LogManager::Instance().ReadNumberSetting(L"KeepOpenInterval", kDefaultKeepOpenMs);
    if (keepOpenMs == 0) {
      m_cached.Close();
      m_openTime = 0;
      return OpenFile();
    }
    const uint64_t now = ::GetTickCount64();
    if (m_openTime == 0 || now - m_openTime >= keepOpenMs) {
      m_openTime = now;
      m_cached.Close();
      m_cached = OpenFile();
    }
    if (!m_cached.IsOpen()) return CFile();
    const HANDLE process = ::GetCurrentProcess();
    HANDLE duplicate = nullptr;
    if (!::DuplicateHandle(process, m_cached.Get(), process, &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
      ReportInternal(L"FileLogger: cannot duplicate handle (error: 0x%08x)",
                     static_cast<unsigned>(HrFromLastError()));
      return CFile();
    }
    return CFile(duplicate);
  } catch (...) {
    return CFile();
  }
}

std::wstring FileLogger::FilePath() const {
  if (m_isPath) return m_fileName;
  // No directory could be built: no file, rather than one relative to the
  // current directory (System32, for a service).
  const std::wstring directory = LogManager::Instance().GetLogDirectory();
  return directory.empty() ? std::wstring() : directory + m_fileName;
}

CFile FileLogger::OpenFile() noexcept {
  std::wstring path;
  HRESULT opened = E_FAIL;
  CFile file;
  try {
    std::optional<ImpersonationRevertGuard> guard;
    if (kRevertImpersonation) guard.emplace();
    path = FilePath();
    if (IsRelativePath(path)) {
      opened = HrFromWin32(ERROR_BAD_PATHNAME);
      ThrowHr(opened);
    }
    const uint32_t thresholdMB =
        LogManager::Instance().ReadNumberSetting(L"LogFileSizeThresholdMB", kDefaultSizeThresholdMB);

    for (int attempt = 1; attempt <= kOpenAttempts; ++attempt) {
      opened = file.Create(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
      if (opened != kSharingViolation || attempt == kOpenAttempts) break;
      ::Sleep(kSharingRetryDelayMs);
    }
    if (opened >= 0 && thresholdMB != 0) {
      LARGE_INTEGER size{};
      if (::GetFileSizeEx(file.Get(), &size) && (static_cast<uint64_t>(size.QuadPart) >> 20) >= thresholdMB) {
        file.Close();
        if (!m_tooBigReported) {
          ReportInternal(L"FileLogger: log file '%ls' is too big (size=%dMB threshold=%dMB)", path.c_str(),
                         static_cast<int>(size.QuadPart >> 20), static_cast<int>(thresholdMB));
          m_tooBigReported = true;
        }
        return CFile();
      }
      m_tooBigReported = false;
    }
    if (opened >= 0) WriteHeaderIfNewFile(file);
  } catch (...) {
    file.Close();
  }
  if (!file.IsOpen()) {
    ReportInternal(L"FileLogger: cannot open log file '%ls' (error: 0x%08x)", path.c_str(),
                   static_cast<unsigned>(opened));
  }
  return file;
}

void FileLogger::WriteHeaderIfNewFile(CFile& file) noexcept {
  if (m_header.empty()) return;
  BY_HANDLE_FILE_INFORMATION information{};
  if (!::GetFileInformationByHandle(file.Get(), &information)) {
    ReportInternal(L"FileLogger: cannot get file id (error: 0x%08x)",
                   static_cast<unsigned>(HrFromLastError()));
    return;
  }
  const FileId id{information.dwVolumeSerialNumber, information.nFileIndexHigh, information.nFileIndexLow};
  // An empty file is new even under a remembered id: file systems may hand
  // the index of a deleted file to the next one created.
  const bool empty = information.nFileSizeHigh == 0 && information.nFileSizeLow == 0;
  if (id == m_fileId && !empty) return;
  m_fileId = id;
  HRESULT written = S_OK;
  {
    std::lock_guard guard(m_appendLock);
    written = file.Write(m_header.data(), static_cast<DWORD>(m_header.size() * sizeof(wchar_t)));
  }
  if (written < 0) ReportInternal(L"FileLogger: cannot write (error: 0x%08x)", static_cast<unsigned>(written));
}
