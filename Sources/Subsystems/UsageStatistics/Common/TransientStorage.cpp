#include "TransientStorage.h"

#include "Sources/Common/ErrorHandling/ErrorReporting.h"
#include "Sources/Common/ErrorHandling/HRES.h"
#include "logging/LogStatement.h"
#include "node/NodeSerialization.h"
#include "settings/FileSystem.h"
#include "settings/ImpersonationRevertGuard.h"

#include <windows.h>

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

// The directory part up to and including the last separator; empty when none.
std::wstring ParentDirectoryOf(const std::wstring& path) {
  const size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator + 1);
}

}  // namespace

CTransientStorage::CTransientStorage(std::wstring path, const DataEncryption::CNodeEncryptor& encryptor,
                                     size_t maxRestoredFrames)
    : m_path(std::move(path)), m_encryptor(encryptor), m_maxRestoredFrames(maxRestoredFrames) {}

std::wstring CTransientStorage::TemporaryPath() const { return m_path + kTemporarySuffix; }

std::vector<DXNodePtr> CTransientStorage::ReadFile(const std::wstring& path,
                                                   const DataEncryption::CNodeEncryptor& encryptor) {
  return ReadFile(path, encryptor, NodeUtils::CDeserializationContext::kNoLimit, nullptr);
}

std::vector<DXNodePtr> CTransientStorage::ReadFile(const std::wstring& path,
                                                   const DataEncryption::CNodeEncryptor& encryptor, size_t maxFrames,
                                                   bool* truncated) {
  // As the process: the file and the data protection are the module's, not
  // those of a client a host thread may impersonate.
  const ImpersonationRevertGuard asProcess;
  WIN32_FILE_ATTRIBUTE_DATA attributes{};
  ThrowIfFailed(HRES(::GetFileAttributesExW(ExtendedLengthPath(path).c_str(), GetFileExInfoStandard, &attributes)));
  const uint64_t size = (uint64_t{attributes.nFileSizeHigh} << 32) | attributes.nFileSizeLow;
  if (size > kMaxFileBytes) {
    ThrowHr(ReportError(HrFromWin32(ERROR_FILE_TOO_LARGE), L" Transient storage files above 64 MB are not read."));
  }
  // One frame past the limit tells whether there were more, without reading on.
  const size_t readLimit = maxFrames == NodeUtils::CDeserializationContext::kNoLimit ? maxFrames : maxFrames + 1;
  std::vector<DXNodePtr> frames =
      NodeUtils::DeserializeFromFile(path, DXNSerializationType_NodeText, kDeserializeFlags, nullptr, readLimit);
  if (truncated != nullptr) *truncated = frames.size() > maxFrames;
  if (frames.size() > maxFrames) frames.resize(maxFrames);
  const std::vector<IDXNode*> handles = HandlesOf(frames);
  encryptor.DecryptNodes(handles.data(), static_cast<uint32_t>(handles.size()),
                         DataEncryption::CNodeEncryptor::kWholeSubtree, DataEncryption::CNodeEncryptor::kModeInPlace,
                         nullptr, nullptr, nullptr);
  return frames;
}

void CTransientStorage::ImportPending(std::vector<DXNodePtr>& queue, std::recursive_mutex& queueLock) noexcept {
  if (m_path.empty()) return;
  const ImpersonationRevertGuard asProcess;
  // A store interrupted before its move leaves its temporary file behind.
  try {
    const std::wstring temporary = TemporaryPath();
    if (FileExists(temporary) && !DeleteFileAt(temporary)) {
      const HRES failure = HrFromLastError();
      KLOG_DBG(L"Failed deleting pending activity frames file " << temporary << L" due to" << failure);
    }
  } catch (...) {
  }
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
    if (!m_path.empty() && FileExists(m_path)) ThrowIfFailed(HRES(DeleteFileAt(m_path)));
    if (frames.empty()) return true;
    if (m_path.empty()) {
      KLOG_DBG(static_cast<int>(frames.size()) << L" Usage statistics frames dropped due to stopping");
      return true;
    }
    Store(frames, encrypted);
    KLOG_DBG2(static_cast<int>(frames.size()) << L" Usage statistics frames accumulated in transient storage");
    return true;
  } catch (...) {
    const HRES failure = CurrentFailure();
    KLOG_WARN(L"Failed storing pending activity frames to file " << m_path << L" due to" << failure);
    return false;
  }
}

// Serializes into the temporary file and moves it over the path, so that a
// failed or interrupted store never leaves a partial file at the path.
void CTransientStorage::Store(std::vector<DXNodePtr>& frames, bool* encrypted) {
  CreateDirectories(ParentDirectoryOf(m_path));
  const std::vector<IDXNode*> handles = HandlesOf(frames);
  // Set before: an encryption that fails part-way has changed some values.
  if (encrypted != nullptr) *encrypted = true;
  m_encryptor.EncryptNodes(handles.data(), static_cast<uint32_t>(handles.size()),
                           DataEncryption::CNodeEncryptor::kWholeSubtree, DataEncryption::CNodeEncryptor::kModeInPlace,
                           nullptr, nullptr, nullptr);
  const std::wstring temporary = TemporaryPath();
  try {
    NodeUtils::SerializeToFile(temporary, handles.data(), static_cast<uint32_t>(handles.size()),
                               DXNSerializationType_NodeText, kSerializeFlags,
                               DataEncryption::CNodeEncryptor::kWholeSubtree);
    ThrowIfFailed(HRES(MoveFileAt(temporary, m_path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)));
  } catch (...) {
    DeleteFileAt(temporary);
    throw;
  }
}

}  // namespace UsageStatistics::Detail
