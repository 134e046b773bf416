// The transient storage file of pending activity frames: written when the
// accumulator stops, read back into its queue and deleted when the next one
// starts. Attribute values are stored encrypted; names, types and tree shape
// stay in clear.
#pragma once

#include "Sources/General/DataEncryption/NodeEncryptorImpl.h"
#include "node/DXNodePtr.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace UsageStatistics::Detail {

class CTransientStorage {
 public:
  // Frames restored from one file when the accumulator sets no "MaxQueuedFrames".
  static constexpr size_t kDefaultMaxRestoredFrames = 100000;
  // A larger file is not read: the node store parses a document whole, at
  // several times its size in memory, before it hands out the first node.
  static constexpr uint64_t kMaxFileBytes = uint64_t{64} << 20;

  // path: already expanded; empty = no file. The encryptor is the accumulator's and outlives this object.
  // maxRestoredFrames: the first this many frames of a file are restored, the rest dropped unread.
  CTransientStorage(std::wstring path, const DataEncryption::CNodeEncryptor& encryptor,
                    size_t maxRestoredFrames = kDefaultMaxRestoredFrames);

  const std::wstring& Path() const noexcept { return m_path; }
  // Where a store is written before it is moved over the path: a new name
  // every time, <path>.<16 random hex digits>.tmp.
  std::wstring NewTemporaryPath() const;
  // The one temporary name of earlier versions, <path>.tmp, removed at import.
  std::wstring LegacyTemporaryPath() const;

  // Restores the file's frames to the end of queue under queueLock, logs, deletes the file
  // (and leftover temporary files of interrupted stores). A file held by another program for now, or
  // one in a folder that is not private, is left for a later start. Never raises.
  void ImportPending(std::vector<DXNodePtr>& queue, std::recursive_mutex& queueLock) noexcept;
  // Writes frames (encrypting their attributes in place) atomically over the old file, which stays
  // until then; with no frames, deletes the file. Never raises.
  // True when nothing is left to do: the frames are in the file, or there were none, or no path is set
  // (they were dropped, as logged); false when the store failed (logged at WARN).
  // *encrypted (optional) tells whether the frames' values were encrypted in place (also when the store failed after).
  bool ExportPending(std::vector<DXNodePtr>& frames, bool* encrypted = nullptr) noexcept;

  // The decrypted frames of a storage file, without deleting it; raises HRX on failure.
  // For operators' tools (kestrova-host --show-pending).
  static std::vector<DXNodePtr> ReadFile(const std::wstring& path, const DataEncryption::CNodeEncryptor& encryptor);
  // At most maxFrames of them, read no further; *truncated tells whether the file held more.
  static std::vector<DXNodePtr> ReadFile(const std::wstring& path, const DataEncryption::CNodeEncryptor& encryptor,
                                         size_t maxFrames, bool* truncated);
  // The frames of a storage file as they are stored, their values still encrypted; raises HRX on failure.
  static std::vector<DXNodePtr> ReadEncrypted(const std::wstring& path);

  // The nodes serialized into a temporary file of their own, private from its creation, then moved over
  // target: target is never partly written, and what it held stays until the move. Raises on failure.
  void WriteAtomically(const std::wstring& target, const std::vector<DXNodePtr>& frames) const;
  // A scanner or backup agent holding a file: it will be readable later.
  static bool IsPassingReadFailure(HRESULT hr) noexcept;
  // Makes the file's folder (private) when it is missing and checks it; raises E_ACCESSDENIED with the reason
  // when it is not private.
  void PrepareFolder() const;
  // The file's folder checked (and made private when it may be); false with the reason.
  bool FolderUsable(std::wstring& reason) const;
  // The file is another writer's for now: a store puts its frames first
  // instead of replacing it (as for a file the start left unread).
  void KeepFileForStore() noexcept { m_keptFile = true; }
  // Removes the temporary files that interrupted stores left. Never raises.
  void RemoveLeftoverTemporaries() noexcept;

 private:
  // folderChecked: the caller found the folder there and usable; otherwise it is made and checked here.
  void Store(std::vector<DXNodePtr>& frames, bool* encrypted, bool folderChecked);
  // The temporary file over target, trying again while another program holds either briefly.
  static void MoveIntoPlace(const std::wstring& temporary, const std::wstring& target);
  // The file itself, <file>.tmp, <file>.<16 hex digits>.tmp and the checkpoint files: what the storage may
  // remove or hold.
  bool OwnsEntry(const std::wstring& name) const;
  // Puts the frames of a file the start had to leave unread before frames; raises while it is unreadable.
  void TakeKeptFrames(std::vector<DXNodePtr>& frames);
  void DeleteStorageFile() noexcept;

  std::wstring m_path;
  const DataEncryption::CNodeEncryptor& m_encryptor;
  size_t m_maxRestoredFrames;
  // The start left the file unread (held by another program, or its folder refused).
  bool m_keptFile = false;
};

}  // namespace UsageStatistics::Detail
