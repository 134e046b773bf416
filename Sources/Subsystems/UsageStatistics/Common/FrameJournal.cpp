#include "FrameJournal.h"

#include "CheckpointFileNames.h"

#include "Sources/Common/ErrorHandling/ErrorReporting.h"
#include "Sources/Common/ErrorHandling/HRES.h"
#include "Sources/Common/Helpers/FaultPoint.h"
#include "Sources/Common/Lifetime/NoDestroy.h"
#include "logging/LogStatement.h"
#include "settings/FileSystem.h"
#include "settings/ImpersonationRevertGuard.h"
#include "settings/PrivateAccess.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>

namespace UsageStatistics::Detail {
namespace {

namespace Names = CheckpointFileNames;

constexpr wchar_t kFailureCounter[] = L"FailureCounter";
// One done line: "<lo>-<hi> <index>\n", 16 + 1 + 16 + 1 + 8 + 1 bytes.
constexpr size_t kDoneLineBytes = 43;
// The done record is written anew once it holds this many lines about checkpoints that are gone.
constexpr uint64_t kDoneGarbageLines = 4096;

std::wstring FileNameOf(const std::wstring& path) { return path.substr(DirectoryOf(path).size()); }

bool FolderExists(const std::wstring& path) {
  const std::wstring folder = DirectoryOf(path);
  if (folder.empty()) return true;
  const DWORD attributes = ::GetFileAttributesW(ExtendedLengthPath(folder).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

uint64_t FileBytes(const std::wstring& path) noexcept {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(ExtendedLengthPath(path).c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::string DoneLine(uint64_t lo, uint64_t hi, uint32_t index) {
  char line[kDoneLineBytes + 1];
  std::snprintf(line, sizeof(line), "%016llX-%016llX %08X\n", static_cast<unsigned long long>(lo),
                static_cast<unsigned long long>(hi), static_cast<unsigned>(index));
  return std::string(line, kDoneLineBytes);
}

// A checkpoint's stored forms, trying again while another program holds it briefly.
std::vector<DXNodePtr> ReadStoredForms(const std::wstring& path) {
  constexpr int kAttempts = 6;
  constexpr DWORD kRetryDelayMs = 50;
  for (int attempt = 1;; ++attempt) {
    try {
      return CTransientStorage::ReadEncrypted(path);
    } catch (...) {
      if (attempt == kAttempts || !CTransientStorage::IsPassingReadFailure(CurrentFailure().Code())) throw;
    }
    ::Sleep(kRetryDelayMs);
  }
}

// True when the file is gone; logs at WARN otherwise.
bool DeleteOrLog(const std::wstring& path) noexcept {
  if (DeleteFileAtRetrying(path)) return true;
  const HRES failure = HrFromLastError();
  KLOG_WARN(L"Failed removing checkpoint file " << path << L" due to " << failure);
  return false;
}

// The storage files whose lease a journal of this process holds.
struct LeasesHere {
  std::mutex lock;
  std::vector<std::wstring> paths;
};

LeasesHere& Leases() {
  static NoDestroy<LeasesHere> leases;
  return leases.Get();
}

}  // namespace

// ---- Opening ------------------------------------------------------------------

CFrameJournal::CFrameJournal(const CTransientStorage& storage, const DataEncryption::CNodeEncryptor& encryptor,
                             size_t maxRestored, CFile lease)
    : m_encryptor(encryptor),
      m_storage(storage.Path(), m_encryptor, maxRestored),
      m_maxRestored(maxRestored),
      m_lease(std::move(lease)) {}

CFrameJournal::~CFrameJournal() { CloseFiles(); }

void CFrameJournal::CloseFiles() noexcept {
  m_done.Close();
  if (!m_lease.IsOpen()) return;
  // Opened to be deleted at its close: a kill releases it too.
  m_lease.Close();
  LeasesHere& leases = Leases();
  const std::lock_guard guard(leases.lock);
  const auto at = std::find_if(leases.paths.begin(), leases.paths.end(),
                               [this](const std::wstring& path) { return EqualNoCase(path, Path()); });
  if (at != leases.paths.end()) leases.paths.erase(at);
}

bool CFrameJournal::IsLeasedHere(const std::wstring& path) noexcept {
  LeasesHere& leases = Leases();
  const std::lock_guard guard(leases.lock);
  return std::any_of(leases.paths.begin(), leases.paths.end(),
                     [&path](const std::wstring& held) { return EqualNoCase(held, path); });
}

std::unique_ptr<CFrameJournal> CFrameJournal::Open(const CTransientStorage& storage,
                                                   const DataEncryption::CNodeEncryptor& encryptor, size_t maxRestored,
                                                   bool createFolder) {
  const ImpersonationRevertGuard asProcess;
  if (createFolder) {
    storage.PrepareFolder();
  } else {
    std::wstring reason;
    if (!storage.FolderUsable(reason)) ThrowHr(ReportError(E_ACCESSDENIED, L" The " + reason + L"."));
  }
  CPrivateSecurity security(CPrivateSecurity::Kind::File);
  CFile lease;
  const HRESULT opened =
      lease.Create(Names::Lease(storage.Path()).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, OPEN_ALWAYS,
                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, security.Attributes());
  if (opened == HrFromWin32(ERROR_SHARING_VIOLATION)) return nullptr;
  ThrowIfFailed(opened);
  std::unique_ptr<CFrameJournal> journal(new CFrameJournal(storage, encryptor, maxRestored, std::move(lease)));
  {
    LeasesHere& leases = Leases();
    const std::lock_guard guard(leases.lock);
    leases.paths.push_back(storage.Path());
  }
  // Only the lease holder writes here: what an interrupted write left is swept now.
  journal->m_storage.RemoveLeftoverTemporaries();
  return journal;
}

bool CFrameJournal::IsInUse(const std::wstring& path) noexcept {
  try {
    if (path.empty()) return false;
    const std::wstring lease = Names::Lease(path);
    if (::GetFileAttributesW(ExtendedLengthPath(lease).c_str()) == INVALID_FILE_ATTRIBUTES) return false;
    CFile probe;
    return probe.Create(lease.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        OPEN_EXISTING) == HrFromWin32(ERROR_SHARING_VIOLATION);
  } catch (...) {
    return false;
  }
}

bool CFrameJournal::HasCheckpointFiles(const std::wstring& path) noexcept {
  try {
    if (path.empty() || !FolderExists(path)) return false;
    if (::GetFileAttributesW(ExtendedLengthPath(Names::DoneRecord(path)).c_str()) != INVALID_FILE_ATTRIBUTES) {
      return true;
    }
    return !ListCheckpoints(path, false).empty();
  } catch (...) {
    return false;
  }
}

std::vector<CFrameJournal::CheckpointFile> CFrameJournal::ListCheckpoints(const std::wstring& path, bool remove) {
  const std::wstring folder = DirectoryOf(path);
  const std::wstring file = FileNameOf(path);
  for (;;) {
    std::vector<CheckpointFile> found;
    WIN32_FIND_DATAW entry{};
    const HANDLE search = ::FindFirstFileW(ExtendedLengthPath(path + L".*" + Names::kCheckpointSuffix).c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        CheckpointFile checkpoint;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
        if (!Names::ParseCheckpoint(file, entry.cFileName, checkpoint.lo, checkpoint.hi)) continue;
        checkpoint.path = folder + entry.cFileName;
        checkpoint.bytes = (static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
        found.push_back(std::move(checkpoint));
      } while (::FindNextFileW(search, &entry));
      ::FindClose(search);
    }
    // Widest first among equal starts: a merge's result comes before what it merged.
    std::sort(found.begin(), found.end(), [](const CheckpointFile& a, const CheckpointFile& b) {
      return a.lo != b.lo ? a.lo < b.lo : a.hi > b.hi;
    });
    std::vector<CheckpointFile> kept;
    bool listAgain = false;
    // Whether the file that covers others can be read: unless it can, what
    // it covers is all there is (a merge cut short by a power loss).
    enum class Cover { Unknown, Readable, Held };
    Cover cover = Cover::Unknown;
    for (CheckpointFile& checkpoint : found) {
      // Within the one before: a merge completed and was killed before it
      // removed its inputs. (Files that merely overlap are no merge's: both
      // are kept, so that nothing is lost.)
      if (!kept.empty() && checkpoint.lo <= kept.back().hi && checkpoint.hi <= kept.back().hi) {
        if (!remove) continue;
        if (cover == Cover::Unknown) {
          try {
            ReadStoredForms(kept.back().path);
            cover = Cover::Readable;
          } catch (...) {
            if (CTransientStorage::IsPassingReadFailure(CurrentFailure().Code())) {
              cover = Cover::Held;
            } else {
              const HRES failure = CurrentFailure();
              KLOG_DBG(L"Failed to import pending activity frames from file " << kept.back().path << L" due to "
                                                                              << failure);
              // Listed again without it; one that will not go is left as held.
              if (DeleteOrLog(kept.back().path)) {
                listAgain = true;
                break;
              }
              cover = Cover::Held;
            }
          }
          // Left unread this time, with what it covers: the next start decides.
          if (cover == Cover::Held) kept.back().held = true;
        }
        // Left alone while the cover is held: the next start decides.
        if (cover == Cover::Readable) DeleteOrLog(checkpoint.path);
        continue;
      }
      kept.push_back(std::move(checkpoint));
      cover = Cover::Unknown;
    }
    if (!listAgain) return kept;
  }
}

CFrameJournal::DoneRecord CFrameJournal::ReadDoneRecord(const std::wstring& path) {
  DoneRecord done;
  CFile file;
  if (FAILED(file.Create(Names::DoneRecord(path).c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT))) {
    return done;
  }
  std::string text;
  char buffer[64 * 1024];
  for (;;) {
    DWORD read = 0;
    if (FAILED(file.Read(buffer, sizeof(buffer), &read)) || read == 0) break;
    text.append(buffer, read);
  }
  // A line cut short by a kill, or anything else that is not a line, is skipped.
  for (size_t at = 0; at + kDoneLineBytes <= text.size();) {
    const char* line = text.data() + at;
    uint64_t lo = 0, hi = 0, index = 0;
    if (line[16] == '-' && line[33] == ' ' && line[42] == '\n' && Names::ParseHex(line, 16, lo) &&
        Names::ParseHex(line + 17, 16, hi) && Names::ParseHex(line + 34, 8, index)) {
      done[{lo, hi}].push_back(static_cast<uint32_t>(index));
      at += kDoneLineBytes;
    } else {
      const size_t next = text.find('\n', at);
      if (next == std::string::npos) break;
      at = next + 1;
    }
  }
  return done;
}

// ---- Restoring ----------------------------------------------------------------

void CFrameJournal::Restore(std::vector<DXNodePtr>& frames) noexcept {
  const ImpersonationRevertGuard asProcess;
  const size_t before = frames.size();
  size_t dropped = 0;
  bool anyRead = false;
  try {
    std::vector<CheckpointFile> found = ListCheckpoints(Path(), true);
    const DoneRecord done = ReadDoneRecord(Path());
    // New generations lie above every one named anywhere: done lines about a
    // removed checkpoint must never apply to a new one.
    for (const CheckpointFile& checkpoint : found) m_nextGeneration = std::max(m_nextGeneration, checkpoint.hi + 1);
    for (const auto& entry : done) m_nextGeneration = std::max(m_nextGeneration, entry.first.second + 1);
    // The storage file a stop left becomes the newest checkpoint, as it is.
    if (std::optional<CheckpointFile> adopted = AdoptStorageFile()) found.push_back(std::move(*adopted));
    for (CheckpointFile& checkpoint : found) {
      anyRead = RestoreCheckpoint(std::move(checkpoint), done, frames, dropped) || anyRead;
    }
    // Only the lines about the checkpoints there are now.
    RewriteDoneRecord();
  } catch (...) {
    const HRES failure = CurrentFailure();
    KLOG_WARN(L"Failed to restore checkpoints of pending activity frames at " << Path() << L" due to " << failure);
  }
  if (dropped != 0) {
    KLOG_WARN(L"Transient storage file " << Path() << L" holds more than " << m_maxRestored
                                         << L" frames: the first are restored, the rest dropped");
  }
  const size_t restored = frames.size() - before;
  if (anyRead) {
    KLOG_DBG2(static_cast<int>(restored) << L" Usage statistics frames restored from transient storage");
  }
}

std::optional<CFrameJournal::CheckpointFile> CFrameJournal::AdoptStorageFile() {
  if (!FileExists(Path())) return std::nullopt;
  const uint64_t generation = m_nextGeneration++;
  CheckpointFile checkpoint;
  checkpoint.lo = checkpoint.hi = generation;
  checkpoint.path = Names::Checkpoint(Path(), generation, generation);
  // A rename: the frames stay on disk, encrypted as they are, all along.
  if (!MoveFileAtRetrying(Path(), checkpoint.path, MOVEFILE_WRITE_THROUGH)) {
    const HRES failure = HrFromLastError();
    KLOG_WARN(L"Failed to import pending activity frames from file " << Path() << L" due to " << failure
                                                                     << L"; the file is kept for the next start");
    return std::nullopt;
  }
  checkpoint.bytes = FileBytes(checkpoint.path);
  return checkpoint;
}

bool CFrameJournal::RestoreCheckpoint(CheckpointFile&& found, const DoneRecord& done, std::vector<DXNodePtr>& frames,
                                      size_t& dropped) {
  auto checkpoint = std::make_unique<CheckpointFile>(std::move(found));
  std::vector<DXNodePtr> read;
  try {
    if (checkpoint->held) ThrowHr(HrFromWin32(ERROR_SHARING_VIOLATION));
    read = CTransientStorage::ReadFile(checkpoint->path, m_encryptor);
  } catch (...) {
    const HRES failure = CurrentFailure();
    if (failure.Code() == HrFromWin32(ERROR_SHARING_VIOLATION) || failure.Code() == HrFromWin32(ERROR_LOCK_VIOLATION)) {
      // Held by another program for now: the next start reads it. No merge
      // and no fold may cover its generations, or a start would take it for
      // a merge's leftover.
      m_keptRanges.emplace_back(checkpoint->lo, checkpoint->hi);
      // Its done lines stay in the record, for the start that reads it.
      const auto doneThere = done.find({checkpoint->lo, checkpoint->hi});
      if (doneThere != done.end()) m_keptDoneLines.insert(*doneThere);
      KLOG_WARN(L"Failed to import pending activity frames from file " << checkpoint->path << L" due to " << failure
                                                                       << L"; the file is kept for the next start");
      return false;
    }
    KLOG_DBG(L"Failed to import pending activity frames from file " << checkpoint->path << L" due to " << failure);
    DeleteOrLog(checkpoint->path);
    return false;
  }
  checkpoint->frames = std::move(read);
  const auto doneHere = done.find({checkpoint->lo, checkpoint->hi});
  if (doneHere != done.end()) {
    for (const uint32_t index : doneHere->second) {
      if (index < checkpoint->frames.size()) checkpoint->frames[index].Reset();
    }
  }
  checkpoint->live = 0;
  for (DXNodePtr& frame : checkpoint->frames) {
    if (!frame) continue;
    if (frames.size() >= m_maxRestored) {
      // Beyond the bound: dropped, and so done.
      frame.Reset();
      ++dropped;
      continue;
    }
    frames.push_back(frame);
    ++checkpoint->live;
  }
  // One with nothing left is removed; kept registered while it cannot be, so
  // that its done lines stay with it.
  if (checkpoint->live == 0) {
    // Kept aside with its done lines while its file will not go, out of every merge.
    if (!DeleteOrLog(checkpoint->path)) m_undeleted.push_back(std::move(checkpoint));
    return true;
  }
  Register(std::move(checkpoint), m_checkpoints.size());
  return true;
}

void CFrameJournal::Register(std::unique_ptr<CheckpointFile> checkpoint, size_t at) {
  CheckpointFile* const entry = checkpoint.get();
  m_checkpoints.insert(m_checkpoints.begin() + static_cast<std::ptrdiff_t>(at), std::move(checkpoint));
  for (uint32_t index = 0; index < entry->frames.size(); ++index) {
    if (entry->frames[index]) m_locations[entry->frames[index].Get()] = Location{entry, index};
  }
}

// ---- Checkpoints ----------------------------------------------------------------

bool CFrameJournal::Holds(const DXNodePtr& frame) const noexcept {
  return frame && m_locations.find(frame.Get()) != m_locations.end();
}

size_t CFrameJournal::Checkpoint(std::span<const DXNodePtr> frames, const std::atomic<bool>* stop) {
  std::vector<DXNodePtr> fresh;
  fresh.reserve(frames.size());
  for (const DXNodePtr& frame : frames) {
    if (frame && !Holds(frame)) fresh.push_back(frame);
    // Files stay small enough for a start to read: the rest go to the next one.
    if (fresh.size() == kMaxFramesPerCheckpoint) break;
  }
  if (fresh.empty()) return frames.size();
  const ImpersonationRevertGuard asProcess;
  // Encrypted copies: the frames themselves stay in clear for sending. In
  // slices, so that a stop waits for one slice, not for a whole backlog.
  constexpr size_t kSlice = 32;
  std::vector<DXNodePtr> encrypted;
  encrypted.reserve(fresh.size());
  while (encrypted.size() < fresh.size()) {
    if (stop != nullptr && stop->load() && !encrypted.empty()) break;
    const size_t count = std::min(kSlice, fresh.size() - encrypted.size());
    std::vector<IDXNode*> handles;
    handles.reserve(count);
    for (size_t i = encrypted.size(); i < encrypted.size() + count; ++i) handles.push_back(fresh[i].Get());
    std::vector<IDXNode*> copies(count, nullptr);
    m_encryptor.EncryptNodes(handles.data(), static_cast<uint32_t>(count),
                             DataEncryption::CNodeEncryptor::kWholeSubtree, DataEncryption::CNodeEncryptor::kModeCopy,
                             copies.data(), nullptr, nullptr);
    for (IDXNode* copy : copies) encrypted.emplace_back(copy, DXNodePtr::Handle::Adopt);
  }
  fresh.resize(encrypted.size());

  auto checkpoint = std::make_unique<CheckpointFile>();
  checkpoint->lo = checkpoint->hi = m_nextGeneration;
  checkpoint->path = Names::Checkpoint(Path(), checkpoint->lo, checkpoint->hi);
  m_storage.WriteAtomically(checkpoint->path, encrypted);
  ++m_nextGeneration;
  checkpoint->bytes = FileBytes(checkpoint->path);
  checkpoint->frames = std::move(fresh);
  checkpoint->live = checkpoint->frames.size();
  Register(std::move(checkpoint), m_checkpoints.size());
  MergeNewest(stop);
  // The frames given up to the last one written; those held already count as written.
  size_t written = 0;
  for (const DXNodePtr& frame : frames) {
    if (frame && !Holds(frame)) break;
    ++written;
  }
  return written;
}

void CFrameJournal::MarkDone(const DXNodePtr& frame) noexcept {
  if (!frame) return;
  const auto found = m_locations.find(frame.Get());
  if (found == m_locations.end()) return;
  const Location location = found->second;
  m_locations.erase(found);
  CheckpointFile* const checkpoint = location.checkpoint;
  checkpoint->frames[location.index].Reset();
  --checkpoint->live;
  // Nothing left in it: the file goes, and its done lines with it.
  if (checkpoint->live == 0 && DeleteOrLog(checkpoint->path)) {
    RemoveCheckpoint(checkpoint, true);
    return;
  }
  try {
    AppendDone(*checkpoint, location.index);
    FaultPoint(L"done-recorded");
  } catch (...) {
    if (!m_doneFailureLogged) {
      const HRES failure = CurrentFailure();
      KLOG_WARN(L"Failed recording delivered activity frames at " << Names::DoneRecord(Path()) << L" due to " << failure
                                                                  << L"; a restart may send them again");
      m_doneFailureLogged = true;
    }
  }
  // A file that would not go is kept aside with its done lines, out of
  // every merge, and removed by the stop.
  if (checkpoint->live == 0) RemoveCheckpoint(checkpoint, false);
}

void CFrameJournal::RemoveCheckpoint(CheckpointFile* checkpoint, bool fileGone) noexcept {
  for (uint32_t index = 0; index < checkpoint->frames.size(); ++index) {
    if (checkpoint->frames[index]) m_locations.erase(checkpoint->frames[index].Get());
  }
  const auto at =
      std::find_if(m_checkpoints.begin(), m_checkpoints.end(),
                   [checkpoint](const std::unique_ptr<CheckpointFile>& entry) { return entry.get() == checkpoint; });
  if (at == m_checkpoints.end()) return;
  std::unique_ptr<CheckpointFile> removed = std::move(*at);
  m_checkpoints.erase(at);
  if (!fileGone) {
    try {
      m_undeleted.push_back(std::move(removed));
      return;
    } catch (...) {
    }
  }
  m_liveDoneLines -= std::min(m_liveDoneLines, checkpoint->doneLines);
  try {
    if (m_doneLines - m_liveDoneLines > std::max(kDoneGarbageLines, m_liveDoneLines)) RewriteDoneRecord();
  } catch (...) {
    // The record keeps its stale lines until the next rewrite: they name no checkpoint.
  }
}

void CFrameJournal::AppendDone(CheckpointFile& checkpoint, uint32_t index) {
  if (!m_done.IsOpen()) OpenDoneRecord();
  const std::string line = DoneLine(checkpoint.lo, checkpoint.hi, index);
  DWORD written = 0;
  ThrowIfFailed(m_done.Write(line.data(), static_cast<DWORD>(line.size()), &written));
  if (written != line.size()) ThrowHr(HrFromWin32(ERROR_WRITE_FAULT));
  ++m_doneLines;
  ++m_liveDoneLines;
  ++checkpoint.doneLines;
}

void CFrameJournal::OpenDoneRecord() {
  CPrivateSecurity security(CPrivateSecurity::Kind::File);
  // Appending only; others may read it (the operators' tool), none may write.
  ThrowIfFailed(m_done.Create(Names::DoneRecord(Path()).c_str(), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                              security.Attributes()));
}

void CFrameJournal::RewriteDoneRecord() {
  std::string text;
  uint64_t lines = 0;
  std::vector<CheckpointFile*> all;
  for (const auto& checkpoint : m_checkpoints) all.push_back(checkpoint.get());
  for (const auto& checkpoint : m_undeleted) all.push_back(checkpoint.get());
  for (const auto& [range, indexes] : m_keptDoneLines) {
    for (const uint32_t index : indexes) {
      text += DoneLine(range.first, range.second, index);
      ++lines;
    }
  }
  for (CheckpointFile* checkpoint : all) {
    checkpoint->doneLines = 0;
    for (uint32_t index = 0; index < checkpoint->frames.size(); ++index) {
      if (checkpoint->frames[index]) continue;
      text += DoneLine(checkpoint->lo, checkpoint->hi, index);
      ++checkpoint->doneLines;
      ++lines;
    }
  }
  m_done.Close();
  const std::wstring record = Names::DoneRecord(Path());
  if (lines == 0) {
    if (!DeleteFileAt(record) && ::GetLastError() != ERROR_FILE_NOT_FOUND) ThrowHr(HrFromLastError());
  } else {
    CPrivateSecurity security(CPrivateSecurity::Kind::File);
    const std::wstring temporary = m_storage.NewTemporaryPath();
    try {
      CFile file;
      ThrowIfFailed(file.Create(temporary.c_str(), GENERIC_WRITE, 0, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, security.Attributes()));
      DWORD written = 0;
      ThrowIfFailed(file.Write(text.data(), static_cast<DWORD>(text.size()), &written));
      if (written != text.size()) ThrowHr(HrFromWin32(ERROR_WRITE_FAULT));
      ThrowIfFailed(file.Close());
      if (!MoveFileAt(temporary, record, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ThrowHr(HrFromLastError());
      }
    } catch (...) {
      DeleteFileAt(temporary);
      throw;
    }
  }
  m_doneLines = m_liveDoneLines = lines;
}

// ---- Merges ------------------------------------------------------------------------

bool CFrameJournal::CoversKept(uint64_t lo, uint64_t hi) const noexcept {
  return std::any_of(m_keptRanges.begin(), m_keptRanges.end(),
                     [lo, hi](const auto& kept) { return lo <= kept.first && kept.second <= hi; });
}

void CFrameJournal::MergeNewest(const std::atomic<bool>* stop) noexcept {
  while (m_checkpoints.size() >= 2) {
    // A stop waits for no merge.
    if (stop != nullptr && stop->load()) return;
    const CheckpointFile& older = *m_checkpoints[m_checkpoints.size() - 2];
    const CheckpointFile& newer = *m_checkpoints.back();
    // Sizes halving towards the newest keep the files few (logarithmic in the
    // backlog) and rewrite each frame a logarithmic number of times.
    if (newer.live * 2 < older.live) return;
    if (older.bytes + newer.bytes > kMaxMergedBytes) return;
    if (CoversKept(older.lo, newer.hi)) return;
    try {
      Merge(m_checkpoints.size() - 2);
    } catch (...) {
      const HRES failure = CurrentFailure();
      KLOG_WARN(L"Failed merging checkpoints of pending activity frames at " << Path() << L" due to " << failure);
      return;
    }
  }
}

void CFrameJournal::PutCurrentCounter(const DXNodePtr& stored, const DXNodePtr& frame) {
  int64_t failures = 0;
  if (!frame.TryGetInt64(kFailureCounter, failures)) return;
  auto cached = m_encryptedCounters.find(failures);
  if (cached == m_encryptedCounters.end()) {
    // One data-protection call per counter value, for the journal's whole life.
    DXNodePtr carrier = DXNodePtr::Create(kFailureCounter, nullptr);
    carrier.SetInt64(kFailureCounter, failures);
    IDXNode* const handle = carrier.Get();
    m_encryptor.EncryptNodes(&handle, 1, 0, DataEncryption::CNodeEncryptor::kModeInPlace, nullptr, nullptr, nullptr);
    cached = m_encryptedCounters.emplace(failures, std::move(carrier)).first;
  }
  std::vector<uint8_t> scratch;
  CopyAttribute(kFailureCounter, cached->second, stored, scratch);
}

std::vector<DXNodePtr> CFrameJournal::StoredForms(const CheckpointFile& checkpoint) {
  std::vector<DXNodePtr> stored = ReadStoredForms(checkpoint.path);
  if (stored.size() != checkpoint.frames.size()) {
    ThrowHr(ReportError(HrFromWin32(ERROR_FILE_CORRUPT),
                        L" The checkpoint file " + checkpoint.path + L" does not hold the frames written to it."));
  }
  std::vector<DXNodePtr> live;
  live.reserve(checkpoint.live);
  for (size_t index = 0; index < stored.size(); ++index) {
    if (!checkpoint.frames[index]) continue;
    PutCurrentCounter(stored[index], checkpoint.frames[index]);
    live.push_back(std::move(stored[index]));
  }
  return live;
}

void CFrameJournal::Merge(size_t first) {
  const ImpersonationRevertGuard asProcess;
  CheckpointFile* const older = m_checkpoints[first].get();
  CheckpointFile* const newer = m_checkpoints[first + 1].get();
  std::vector<DXNodePtr> stored = StoredForms(*older);
  std::vector<DXNodePtr> newerStored = StoredForms(*newer);
  stored.insert(stored.end(), newerStored.begin(), newerStored.end());

  auto merged = std::make_unique<CheckpointFile>();
  merged->lo = older->lo;
  merged->hi = newer->hi;
  merged->path = Names::Checkpoint(Path(), merged->lo, merged->hi);
  // Written whole before its inputs go: a kill in between leaves inputs that
  // lie within it, and a start removes them.
  m_storage.WriteAtomically(merged->path, stored);
  merged->bytes = FileBytes(merged->path);
  merged->frames.reserve(older->live + newer->live);
  for (CheckpointFile* input : {older, newer}) {
    for (const DXNodePtr& frame : input->frames) {
      if (frame) merged->frames.push_back(frame);
    }
  }
  merged->live = merged->frames.size();
  // The merge takes the inputs' place first (its frames' locations with it),
  // so that nothing ever points into a removed input; then they go, with no
  // rewrite of the done record in between. One that will not go lies within
  // the merge, and the stop tries it again.
  m_checkpoints.reserve(m_checkpoints.size() + 1);
  Register(std::move(merged), first);
  for (CheckpointFile* input : {older, newer}) {
    if (!DeleteOrLog(input->path)) m_leftovers.push_back(input->path);
    m_liveDoneLines -= std::min(m_liveDoneLines, input->doneLines);
    const auto at =
        std::find_if(m_checkpoints.begin(), m_checkpoints.end(),
                     [input](const std::unique_ptr<CheckpointFile>& entry) { return entry.get() == input; });
    if (at != m_checkpoints.end()) m_checkpoints.erase(at);
  }
}

// ---- Stop ------------------------------------------------------------------------------

void CFrameJournal::Close(const std::vector<DXNodePtr>& frames) {
  try {
    Fold(frames);
  } catch (...) {
    // The stop cannot make the file: the frames no checkpoint holds yet reach
    // one, so that all of them wait in the checkpoints for the next start.
    try {
      std::vector<DXNodePtr> unheld;
      for (const DXNodePtr& frame : frames) {
        if (frame && !Holds(frame)) unheld.push_back(frame);
      }
      for (size_t written = 0; written < unheld.size();) {
        written += Checkpoint(std::span<const DXNodePtr>(unheld).subspan(written), nullptr);
      }
    } catch (...) {
    }
    throw;
  }
}

void CFrameJournal::Fold(const std::vector<DXNodePtr>& frames) {
  const ImpersonationRevertGuard asProcess;
  // The stored forms of the checkpoints that hold some of the frames, read once each.
  std::unordered_map<const CheckpointFile*, std::vector<DXNodePtr>> storedByCheckpoint;
  std::vector<DXNodePtr> output(frames.size());
  std::vector<size_t> fresh;
  for (size_t position = 0; position < frames.size(); ++position) {
    const DXNodePtr& frame = frames[position];
    if (!frame) continue;
    const auto found = m_locations.find(frame.Get());
    if (found == m_locations.end()) {
      fresh.push_back(position);
      continue;
    }
    const Location location = found->second;
    auto stored = storedByCheckpoint.find(location.checkpoint);
    if (stored == storedByCheckpoint.end()) {
      std::vector<DXNodePtr> all = ReadStoredForms(location.checkpoint->path);
      if (all.size() != location.checkpoint->frames.size()) {
        ThrowHr(ReportError(HrFromWin32(ERROR_FILE_CORRUPT), L" The checkpoint file " + location.checkpoint->path +
                                                                 L" does not hold the frames written to it."));
      }
      stored = storedByCheckpoint.emplace(location.checkpoint, std::move(all)).first;
    }
    output[position] = stored->second[location.index];
    PutCurrentCounter(output[position], frame);
  }
  if (!fresh.empty()) {
    std::vector<IDXNode*> handles;
    handles.reserve(fresh.size());
    for (const size_t position : fresh) handles.push_back(frames[position].Get());
    std::vector<IDXNode*> copies(handles.size(), nullptr);
    m_encryptor.EncryptNodes(handles.data(), static_cast<uint32_t>(handles.size()),
                             DataEncryption::CNodeEncryptor::kWholeSubtree, DataEncryption::CNodeEncryptor::kModeCopy,
                             copies.data(), nullptr, nullptr);
    for (size_t i = 0; i < fresh.size(); ++i) output[fresh[i]] = DXNodePtr(copies[i], DXNodePtr::Handle::Adopt);
  }
  output.erase(std::remove_if(output.begin(), output.end(), [](const DXNodePtr& node) { return !node; }), output.end());
  if (output.empty()) {
    Discard();
    return;
  }

  // One checkpoint over every generation, written whole; then the others go
  // (a kill meanwhile leaves them within it); then it becomes the storage
  // file by a rename.
  const uint64_t generation = m_nextGeneration++;
  auto fold = std::make_unique<CheckpointFile>();
  // Over every file this journal made: a kill before they are all removed
  // leaves them within it.
  fold->lo = generation;
  for (const auto& checkpoint : m_checkpoints) fold->lo = std::min(fold->lo, checkpoint->lo);
  for (const auto& checkpoint : m_undeleted) fold->lo = std::min(fold->lo, checkpoint->lo);
  // Above a checkpoint left unread: a kill before the others are removed may
  // then send those below it twice, but never loses the unread one.
  for (const auto& kept : m_keptRanges) fold->lo = std::max(fold->lo, kept.second + 1);
  fold->hi = generation;
  fold->path = Names::Checkpoint(Path(), fold->lo, fold->hi);
  m_storage.WriteAtomically(fold->path, output);
  if (FileBytes(fold->path) > CTransientStorage::kMaxFileBytes) {
    // No start would read it: the checkpoints stay as they are instead.
    DeleteOrLog(fold->path);
    ThrowHr(ReportError(HrFromWin32(ERROR_FILE_TOO_LARGE),
                        L" The pending frames exceed 64 MB as one file: they stay in their checkpoints."));
  }
  FaultPoint(L"stop-folded");
  // From here the fold is the one checkpoint, holding the frames in order: a
  // Close tried again after a failed rename folds it into its successor.
  for (const DXNodePtr& frame : frames) {
    if (frame) fold->frames.push_back(frame);
  }
  fold->live = fold->frames.size();
  fold->bytes = FileBytes(fold->path);
  // Every file this journal made goes; one that will not is remembered and
  // tried again by the next stop, and no rename happens while one stays.
  std::vector<std::wstring> staying;
  for (const auto& checkpoint : m_checkpoints) {
    if (!DeleteOrLog(checkpoint->path)) staying.push_back(checkpoint->path);
  }
  for (const auto& checkpoint : m_undeleted) {
    if (!DeleteOrLog(checkpoint->path)) staying.push_back(checkpoint->path);
  }
  for (const std::wstring& leftover : m_leftovers) {
    if (!DeleteOrLog(leftover)) staying.push_back(leftover);
  }
  const bool allGone = staying.empty();
  m_leftovers.swap(staying);
  m_checkpoints.clear();
  m_undeleted.clear();
  m_locations.clear();
  Register(std::move(fold), 0);
  // One left over would be restored again beside the file: the fold stays
  // the checkpoint that covers it, and a later stop tries again.
  if (!allGone) {
    ThrowHr(ReportError(E_ACCESSDENIED, L" A checkpoint file could not be removed: the frames stay in " +
                                            m_checkpoints.front()->path + L"."));
  }
  // Only the lines of checkpoints left unread at start stay (or no record).
  RewriteDoneRecord();
  FaultPoint(L"stop-renaming");
  // Never over a file another writer left meanwhile: both stay for the next start then.
  if (!MoveFileAtRetrying(m_checkpoints.front()->path, Path(), MOVEFILE_WRITE_THROUGH)) ThrowHr(HrFromLastError());
  m_checkpoints.clear();
  m_locations.clear();
  CloseFiles();
}

void CFrameJournal::Discard() noexcept {
  for (const std::unique_ptr<CheckpointFile>& checkpoint : m_checkpoints) DeleteOrLog(checkpoint->path);
  for (const std::unique_ptr<CheckpointFile>& checkpoint : m_undeleted) DeleteOrLog(checkpoint->path);
  for (const std::wstring& leftover : m_leftovers) DeleteOrLog(leftover);
  m_checkpoints.clear();
  m_undeleted.clear();
  m_leftovers.clear();
  m_locations.clear();
  try {
    // Only the lines of checkpoints left unread at start stay (or no record).
    RewriteDoneRecord();
  } catch (...) {
    m_done.Close();
  }
}

// ---- Reading for tools -------------------------------------------------------------

std::vector<DXNodePtr> CFrameJournal::ReadPending(const std::wstring& path,
                                                  const DataEncryption::CNodeEncryptor& encryptor) {
  std::vector<DXNodePtr> frames;
  const DoneRecord done = ReadDoneRecord(path);
  for (const CheckpointFile& checkpoint : ListCheckpoints(path, false)) {
    std::vector<DXNodePtr> read = CTransientStorage::ReadFile(checkpoint.path, encryptor);
    std::vector<bool> isDone(read.size(), false);
    const auto doneHere = done.find({checkpoint.lo, checkpoint.hi});
    if (doneHere != done.end()) {
      for (const uint32_t index : doneHere->second) {
        if (index < isDone.size()) isDone[index] = true;
      }
    }
    for (size_t index = 0; index < read.size(); ++index) {
      if (!isDone[index]) frames.push_back(std::move(read[index]));
    }
  }
  if (FileExists(path)) {
    std::vector<DXNodePtr> stored = CTransientStorage::ReadFile(path, encryptor);
    frames.insert(frames.end(), stored.begin(), stored.end());
  }
  return frames;
}

}  // namespace UsageStatistics::Detail
