#include "PendingFrames.h"

#include "FailureText.h"
#include "ToolError.h"

#include "Sources/Common/ErrorHandling/ErrorDescription.h"
#include "Sources/Subsystems/UsageStatistics/Common/FrameJournal.h"
#include "Sources/Subsystems/UsageStatistics/Common/TransientStorage.h"

#include <windows.h>

namespace KestrovaHost::PendingFrames {

using KestrovaTools::kExitUsage;
using KestrovaTools::ToolError;

namespace {

std::wstring ExpandEnvironment(const std::wstring& text) {
  std::wstring expanded(260, L'\0');
  for (;;) {
    const DWORD needed =
        ::ExpandEnvironmentStringsW(text.c_str(), expanded.data(), static_cast<DWORD>(expanded.size()));
    if (needed == 0) return text;
    if (needed <= expanded.size()) {
      expanded.resize(needed - 1);
      return expanded;
    }
    expanded.resize(needed);
  }
}

}  // namespace

std::optional<std::wstring> StorageSetting(const DXNodePtr& settings, const wchar_t* name) {
  try {
    const DXNodePtr storage = settings.GetChild(L"TransientStorage", false);
    std::wstring text;
    if (!storage || !storage.TryGetString(name, text) || text.empty()) return std::nullopt;
    return text;
  } catch (const HRX&) {
    // Settings of the wrong shape name nothing; the module says what is wrong with them.
    return std::nullopt;
  }
}

std::optional<std::wstring> StoragePath(const DXNodePtr& settings) {
  const std::optional<std::wstring> path = StorageSetting(settings, L"TransientStoragePath");
  if (!path) return std::nullopt;
  return ExpandEnvironment(*path);
}

bool FileExists(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::vector<DXNodePtr> Read(const std::wstring& path) {
  // Checkpoints a running or killed host keeps beside the file: the frames a
  // start would restore, in its order (the checkpoints, then the file).
  if (UsageStatistics::Detail::CFrameJournal::HasCheckpointFiles(path)) {
    try {
      return UsageStatistics::Detail::CFrameJournal::ReadPending(path, DataEncryption::CNodeEncryptor::EncryptAll());
    } catch (const HRX& failure) {
      throw ToolError(kExitUsage, L"cannot read the checkpoints of PENDING file '" + path + L"': " +
                                      FormatError(failure, ErrorFormat::NoLocation));
    }
  }
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    throw ToolError(kExitUsage, L"cannot open PENDING file '" + path + L"': " +
                                    KestrovaTools::FailureText::Describe(HRESULT_FROM_WIN32(::GetLastError())));
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    throw ToolError(kExitUsage, L"PENDING file '" + path + L"' is a directory");
  }
  try {
    return UsageStatistics::Detail::CTransientStorage::ReadFile(path, DataEncryption::CNodeEncryptor::EncryptAll());
  } catch (const HRX& failure) {
    throw ToolError(kExitUsage,
                    L"cannot read PENDING file '" + path + L"': " + FormatError(failure, ErrorFormat::NoLocation));
  }
}

}  // namespace KestrovaHost::PendingFrames
