#include "TransientStorage.h"

#include "CheckpointFileNames.h"

#include "Sources/Common/ErrorHandling/ErrorReporting.h"
#include "Sources/Common/ErrorHandling/HRES.h"
#include "Sources/Common/Helpers/FaultPoint.h"
#include "logging/LogStatement.h"
#include "node/NodeSerialization.h"
#include "settings/FileSystem.h"
#include "settings/ImpersonationRevertGuard.h"
#include "settings/PrivateAccess.h"

#include <windows.h>
// after windows.h
#include <ntsecapi.h>

#include <cwchar>
#include <cwctype>
#include <exception>
#include <new>

namespace UsageStatistics::Detail {
namespace {

constexpr uint32_t kSerializeFlags = 257;
constexpr uint32_t kDeserializeFlags = 0;
constexpr wchar_t kTemporarySuffix[] = L".tmp";

std::vector<IDXNode*> HandlesOf(const std::vector<DXNodePtr>& nodes) {
  std::vector<IDXNode*> handles;
  handles.reserve(nodes.size());
  for (const DXNodePtr& node : nodes) handles.push_back(node.Get());
  return handles;
}

std::wstring RandomHex() {
  uint32_t value[2] = {};
  if (!RtlGenRandom(value, sizeof(value))) ThrowHr(E_FAIL);
  wchar_t text[17];
  swprintf(text, 17, L"%08X%08X", value[0], value[1]);
  return text;
}

// The directory part up to and including the last separator; empty when none.
std::wstring ParentDirectoryOf(const std::wstring& path) {
  const size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator + 1);
}

}  // namespace

CTransientStorage::CTransientStorage(std::wstring path, const DataEncryption::CNodeEncryptor& encryptor,
                                     size_t maxRestoredFrames)
    : m_path(std::move(path)), m_encryptor(encryptor), m_maxRestoredFrames(maxRestoredFrames) {}

std::wstring CTransientStorage::LegacyTemporaryPath() const { return m_path + kTemporarySuffix; }

std::wstring CTransientStorage::NewTemporaryPath() const { return m_path + L"." + RandomHex() + kTemporarySuffix; }

std::vector<DXNodePtr> CTransientStorage::ReadFile(const std::wstring& path,
                                                   const DataEncryption::CNodeEncryptor& encryptor) {
  return ReadFile(path, encryptor, NodeUtils::CDeserializationContext::kNoLimit, nullptr);
}

namespace {

// The file opened for reading, checked: no link, within the size bound.
// Measured on the handle that is read: a file swapped in after a check by
// name cannot escape the bound.
CFile OpenStorageFile(const std::wstring& path) {
  // A link at the file's name is opened as itself, and refused: the module
  // follows none.
  CFile file;
  ThrowIfFailed(file.Create(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT));
  BY_HANDLE_FILE_INFORMATION information{};
  ThrowIfFailed(HRES(::GetFileInformationByHandle(file.Get(), &information)));
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    ThrowHr(ReportError(HrFromWin32(ERROR_CANT_ACCESS_FILE), L" Transient storage files behind a link are not read."));
  }
  LARGE_INTEGER size{};
  ThrowIfFailed(HRES(::GetFileSizeEx(file.Get(), &size)));
  if (static_cast<uint64_t>(size.QuadPart) > CTransientStorage::kMaxFileBytes) {
    ThrowHr(ReportError(HrFromWin32(ERROR_FILE_TOO_LARGE), L" Transient storage files above 64 MB are not read."));
  }
  return file;
}

}  // namespace

std::vector<DXNodePtr> CTransientStorage::ReadFile(const std::wstring& path,
                                                   const DataEncryption::CNodeEncryptor& encryptor, size_t maxFrames,
                                                   bool* truncated) {
  // As the process: the file and the data protection are the module's, not
  // those of a client a host thread may impersonate.
  const ImpersonationRevertGuard asProcess;
  CFile file = OpenStorageFile(path);
  // One frame past the limit tells whether there were more, without reading on.
  const size_t readLimit = maxFrames == NodeUtils::CDeserializationContext::kNoLimit ? maxFrames : maxFrames + 1;
  std::vector<DXNodePtr> frames =
      NodeUtils::DeserializeFromFile(file, DXNSerializationType_NodeText, kDeserializeFlags, nullptr, readLimit);
  if (truncated != nullptr) *truncated = frames.size() > maxFrames;
  if (frames.size() > maxFrames) frames.resize(maxFrames);
  // An empty document holds no frame: nothing to decrypt.
  if (frames.empty()) return frames;
  const std::vector<IDXNode*> handles = HandlesOf(frames);
  encryptor.DecryptNodes(handles.data(), static_cast<uint32_t>(handles.size()),
                         DataEncryption::CNodeEncryptor::kWholeSubtree, DataEncryption::CNodeEncryptor::kModeInPlace,
                         nullptr, nullptr, nullptr);
  return frames;
}

std::vector<DXNodePtr> CTransientStorage::ReadEncrypted(const std::wstring& path) {
  const ImpersonationRevertGuard asProcess;
  CFile file = OpenStorageFile(path);
  return NodeUtils::DeserializeFromFile(file, DXNSerializationType_NodeText, kDeserializeFlags);
}

bool CTransientStorage::OwnsEntry(const std::wstring& name) const {
  const std::wstring file = m_path.substr(ParentDirectoryOf(m_path).size());
  if (file.empty()) return false;
  if (EqualNoCase(name, file) || EqualNoCase(name, file + kTemporarySuffix)) return true;
  if (CheckpointFileNames::IsCheckpointEntry(file, name)) return true;
  // <file>.<16 hex digits>.tmp, as NewTemporaryPath makes them.
  constexpr size_t kHexDigits = 16;
  if (name.size() != file.size() + 1 + kHexDigits + 4) return false;
  if (!CheckpointFileNames::SameLetters(name, 0, file) || name[file.size()] != L'.') return false;
  if (!CheckpointFileNames::SameLetters(name, name.size() - 4, kTemporarySuffix)) return false;
  for (size_t i = file.size() + 1; i < file.size() + 1 + kHexDigits; ++i) {
    if (!std::iswxdigit(name[i])) return false;
  }
  return true;
}

bool CTransientStorage::FolderUsable(std::wstring& reason) const {
  const std::wstring folder = ParentDirectoryOf(m_path);
  if (folder.empty()) return true;
  bool madePrivate = false;
  if (!EnsurePrivateFolder(
          folder, [this](const std::wstring& name) { return OwnsEntry(name); }, reason, &madePrivate)) {
    reason = L"the folder " + folder + L" is not used: " + reason;
    return false;
  }
  if (madePrivate) KLOG_WARN(L"Transient storage folder " << folder << L" was open to others: it is made private");
  return true;
}

void CTransientStorage::RemoveLeftoverTemporaries() noexcept {
  // Stores interrupted before their move leave their temporary files behind,
  // and a planted one (a file or a folder) must not stand in the way.
  const auto remove = [](const std::wstring& leftover) {
    const std::wstring path = ExtendedLengthPath(leftover);
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    // A folder (or a link to one) is removed itself, never what it holds.
    const bool removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? ::RemoveDirectoryW(path.c_str()) != FALSE
                                                                      : ::DeleteFileW(path.c_str()) != FALSE;
    if (removed) return;
    const HRES failure = HrFromLastError();
    KLOG_WARN(L"Failed removing leftover temporary file " << leftover << L" due to " << failure);
  };
  try {
    remove(LegacyTemporaryPath());
    const std::wstring directory = ParentDirectoryOf(m_path);
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileW(ExtendedLengthPath(m_path + L".*" + kTemporarySuffix).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
      const std::wstring name = found.cFileName;
      // Only the storage's own <file>.<16 hex digits>.tmp: the search
      // pattern also matches short names and other programs' files.
      if (name != m_path.substr(directory.size()) && OwnsEntry(name)) remove(directory + name);
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
  } catch (...) {
  }
}

void CTransientStorage::ImportPending(std::vector<DXNodePtr>& queue, std::recursive_mutex& queueLock) noexcept {
  if (m_path.empty()) return;
  const ImpersonationRevertGuard asProcess;
  // A folder that others could have planted files in, or pointed elsewhere,
  // is neither swept nor read from: nothing is deleted through it.
  try {
    std::wstring reason;
    if (!FolderUsable(reason)) {
      m_keptFile = FileExists(m_path);
      if (m_keptFile) KLOG_WARN(L"Pending activity frames file " << m_path << L" is left as it is: " << reason);
      return;
    }
  } catch (...) {
    return;
  }
  RemoveLeftoverTemporaries();
  if (!FileExists(m_path)) return;
  try {
    bool truncated = false;
    std::vector<DXNodePtr> frames = ReadFile(m_path, m_encryptor, m_maxRestoredFrames, &truncated);
    if (truncated) {
      KLOG_WARN(L"Transient storage file " << m_path << L" holds more than " << m_maxRestoredFrames
                                           << L" frames: the first are restored, the rest dropped");
    }
    {
      const std::lock_guard guard(queueLock);
      queue.reserve(queue.size() + frames.size());
      for (DXNodePtr& frame : frames) queue.push_back(std::move(frame));
    }
    KLOG_DBG2(static_cast<int>(frames.size()) << L" Usage statistics frames restored from transient storage");
  } catch (...) {
    const HRES failure = CurrentFailure();
    if (IsPassingReadFailure(failure.Code())) {
      // Held by another program for now: the stop or the next start reads it.
      m_keptFile = true;
      KLOG_WARN(L"Failed to import pending activity frames from file " << m_path << L" due to " << failure
                                                                       << L"; the file is kept for the next start");
      return;
    }
    KLOG_DBG(L"Failed to import pending activity frames from file " << m_path << L" due to " << failure);
  }
  DeleteStorageFile();
}

void CTransientStorage::DeleteStorageFile() noexcept {
  if (DeleteFileAt(m_path)) return;
  const HRES failure = HrFromLastError();
  KLOG_DBG(L"Failed deleting pending activity frames file " << m_path << L" due to" << failure);
}

bool CTransientStorage::ExportPending(std::vector<DXNodePtr>& frames, bool* encrypted) noexcept {
  if (encrypted != nullptr) *encrypted = false;
  const ImpersonationRevertGuard asProcess;
  try {
    if (m_path.empty()) {
      if (!frames.empty())
        KLOG_DBG(static_cast<int>(frames.size()) << L" Usage statistics frames dropped due to stopping");
      return true;
    }
    // Nothing is deleted or written through a folder that is not private.
    // (A folder not made yet is made private by the store.)
    std::wstring reason;
    const std::wstring folder = ParentDirectoryOf(m_path);
    const bool folderExists =
        !folder.empty() && ::GetFileAttributesW(ExtendedLengthPath(folder).c_str()) != INVALID_FILE_ATTRIBUTES;
    if (folderExists && !FolderUsable(reason)) ThrowHr(ReportError(E_ACCESSDENIED, L" The " + reason + L"."));
    // A file the start left unread (another program held it) comes first.
    TakeKeptFrames(frames);
    // Nothing to store: no file. Frames to store replace the file only once
    // they are safely written (Store), so a failed store keeps the old one.
    if (frames.empty()) {
      if (FileExists(m_path)) ThrowIfFailed(HRES(DeleteFileAt(m_path)));
      return true;
    }
    Store(frames, encrypted, folderExists);
    KLOG_DBG2(static_cast<int>(frames.size()) << L" Usage statistics frames accumulated in transient storage");
    return true;
  } catch (...) {
    const HRES failure = CurrentFailure();
    KLOG_WARN(L"Failed storing pending activity frames to file " << m_path << L" due to" << failure);
    return false;
  }
}

// Serializes into a temporary file of its own, private from its creation,
// and moves it over the path: a failed or interrupted store never leaves a
// partial file at the path, and the previous file stays until the move.
void CTransientStorage::Store(std::vector<DXNodePtr>& frames, bool* encrypted, bool folderChecked) {
  const std::wstring folder = ParentDirectoryOf(m_path);
  if (!folder.empty() && !folderChecked) {
    CreatePrivateDirectories(folder);
    std::wstring reason;
    if (!FolderUsable(reason)) ThrowHr(ReportError(E_ACCESSDENIED, L" The " + reason + L"."));
  }
  const DWORD existing = ::GetFileAttributesW(ExtendedLengthPath(m_path).c_str());
  if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    ThrowHr(ReportError(HrFromWin32(ERROR_CANT_ACCESS_FILE), L" A link at the file's name is not replaced."));
  }
  const std::vector<IDXNode*> handles = HandlesOf(frames);
  // Set before: an encryption that fails part-way has changed some values.
  if (encrypted != nullptr) *encrypted = true;
  m_encryptor.EncryptNodes(handles.data(), static_cast<uint32_t>(handles.size()),
                           DataEncryption::CNodeEncryptor::kWholeSubtree, DataEncryption::CNodeEncryptor::kModeInPlace,
                           nullptr, nullptr, nullptr);
  WriteAtomically(m_path, frames);
}

bool CTransientStorage::IsPassingReadFailure(HRESULT hr) noexcept {
  return hr == HrFromWin32(ERROR_SHARING_VIOLATION) || hr == HrFromWin32(ERROR_LOCK_VIOLATION);
}

void CTransientStorage::WriteAtomically(const std::wstring& target, const std::vector<DXNodePtr>& frames) const {
  const std::vector<IDXNode*> nodes = HandlesOf(frames);
  CPrivateSecurity security(CPrivateSecurity::Kind::File);
  const std::wstring temporary = NewTemporaryPath();
  try {
    {
      // A new name, never one that exists: nothing planted is reused.
      CFile file;
      ThrowIfFailed(file.Create(temporary.c_str(), GENERIC_WRITE, 0, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, security.Attributes()));
      NodeUtils::SerializeToFile(file, nodes.data(), static_cast<uint32_t>(nodes.size()), DXNSerializationType_NodeText,
                                 kSerializeFlags, DataEncryption::CNodeEncryptor::kWholeSubtree);
      ThrowIfFailed(file.Close());
    }
    FaultPoint(L"storage-written");
    MoveIntoPlace(temporary, target);
  } catch (...) {
    DeleteFileAt(temporary);
    throw;
  }
}

void CTransientStorage::PrepareFolder() const {
  const std::wstring folder = ParentDirectoryOf(m_path);
  if (folder.empty()) return;
  if (::GetFileAttributesW(ExtendedLengthPath(folder).c_str()) == INVALID_FILE_ATTRIBUTES) {
    CreatePrivateDirectories(folder);
  }
  std::wstring reason;
  if (!FolderUsable(reason)) ThrowHr(ReportError(E_ACCESSDENIED, L" The " + reason + L"."));
}

void CTransientStorage::TakeKeptFrames(std::vector<DXNodePtr>& frames) {
  if (!m_keptFile) return;
  if (!FileExists(m_path)) {
    m_keptFile = false;
    return;
  }
  // Raises while the file is still held: the store fails with the WARN, and
  // the kept file stays for the next start.
  std::vector<DXNodePtr> kept = ReadFile(m_path, m_encryptor, m_maxRestoredFrames, nullptr);
  frames.insert(frames.begin(), kept.begin(), kept.end());
  m_keptFile = false;
}

void CTransientStorage::MoveIntoPlace(const std::wstring& temporary, const std::wstring& target) {
  if (!MoveFileAtRetrying(temporary, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ThrowHr(HrFromLastError());
  }
}

}  // namespace UsageStatistics::Detail
