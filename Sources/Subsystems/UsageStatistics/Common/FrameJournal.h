// The checkpoints of the frames an accumulator owes the usage-statistics
// service, kept beside the transient storage file while the accumulator
// runs, so that a kill loses only what was not checkpointed yet.
//
// A checkpoint file holds frames in the storage file's own format (every
// value encrypted) and names the checkpoint generations it covers, lo to hi.
// Each new checkpoint is one generation; merging neighbours covers the union
// of their generations, so a file whose generations lie within another's is
// a merge's leftover and is removed. The done record lists, by file and
// position, the checkpointed frames delivered or dropped since. A frame is
// encrypted once, when first checkpointed: merges and the stop copy its
// stored form and put in its current "FailureCounter" (one encrypted value
// per counter value, cached). The stop folds everything into one checkpoint
// and renames it to the storage file, so that every kill leaves a state that
// the next start reads whole and at most once.
//
// A frame is known by its node handle: the node store gives every handle of
// one node the same value, so the queue's, the pending list's and the
// journal's handles of a frame compare equal.
#pragma once

#include "TransientStorage.h"

#include "Sources/General/DataEncryption/NodeEncryptorImpl.h"
#include "node/DXNodePtr.h"
#include "settings/File.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace UsageStatistics::Detail {

class CFrameJournal {
 public:
  // Frames written to one new checkpoint file at most.
  static constexpr size_t kMaxFramesPerCheckpoint = 512;
  // Merges stop at checkpoint files of this size.
  static constexpr uint64_t kMaxMergedBytes = uint64_t{16} << 20;

  // Takes the lease of the storage's files: null when another accumulator, of
  // this process or another, holds it. createFolder: make the folder (private)
  // when it is missing; else a missing folder raises. Raises on other failures.
  // The journal keeps its own copies of both: it may outlive the accumulator
  // that opened it (a hand-over).
  static std::unique_ptr<CFrameJournal> Open(const CTransientStorage& storage,
                                             const DataEncryption::CNodeEncryptor& encryptor, size_t maxRestored,
                                             bool createFolder);
  // True while an accumulator holds the lease of the storage file at path.
  static bool IsInUse(const std::wstring& path) noexcept;
  // True while a journal of this process holds that lease (a predecessor about to hand it over).
  static bool IsLeasedHere(const std::wstring& path) noexcept;
  // True when checkpoint files lie beside the storage file at path.
  static bool HasCheckpointFiles(const std::wstring& path) noexcept;
  // The frames a start would restore, decrypted, in order, without changing any file (operators' tools).
  static std::vector<DXNodePtr> ReadPending(const std::wstring& path, const DataEncryption::CNodeEncryptor& encryptor);

  // Releases the lease; the files stay for the next start.
  ~CFrameJournal();
  CFrameJournal(const CFrameJournal&) = delete;
  CFrameJournal& operator=(const CFrameJournal&) = delete;

  const std::wstring& Path() const noexcept { return m_storage.Path(); }

  // Appends, in order, the frames of the checkpoints a kill left (oldest
  // first) and then those of the storage file, which becomes the newest
  // checkpoint as it is. They stay on disk until done. Never raises: an
  // unreadable checkpoint is logged and removed, as an unreadable storage file is.
  void Restore(std::vector<DXNodePtr>& frames) noexcept;
  // Writes the frames that are in no checkpoint yet as a new one, encrypting
  // copies of them; raises on failure (nothing is changed then). Once *stop
  // is set, only the frames encrypted so far are written. Returns how many
  // of frames, from the front, are in a checkpoint now.
  size_t Checkpoint(std::span<const DXNodePtr> frames, const std::atomic<bool>* stop = nullptr);
  // The frame was delivered or dropped: recorded, so that no start restores
  // it. A checkpoint with nothing left is removed. Never raises.
  void MarkDone(const DXNodePtr& frame) noexcept;
  bool Holds(const DXNodePtr& frame) const noexcept;
  // Stop: frames, in order, become the storage file (the checkpointed ones
  // copied as stored, the others encrypted now) and the checkpoint files go.
  // No frames: no file. Raises on failure; the checkpoints then stay.
  void Close(const std::vector<DXNodePtr>& frames);
  // Removes the checkpoint files: their frames are kept elsewhere now. Never raises.
  void Discard() noexcept;

 private:
  struct CheckpointFile {
    uint64_t lo = 0;
    uint64_t hi = 0;
    std::wstring path;
    // By position in the file; empty once done.
    std::vector<DXNodePtr> frames;
    size_t live = 0;
    uint64_t bytes = 0;
    // Lines of the done record about this file.
    uint64_t doneLines = 0;
    // Found at start held by another program (a cover of others): left unread.
    bool held = false;
  };
  struct Location {
    CheckpointFile* checkpoint = nullptr;
    uint32_t index = 0;
  };
  // Positions recorded done, by checkpoint file (lo, hi).
  using DoneRecord = std::map<std::pair<uint64_t, uint64_t>, std::vector<uint32_t>>;

  CFrameJournal(const CTransientStorage& storage, const DataEncryption::CNodeEncryptor& encryptor, size_t maxRestored,
                CFile lease);

  // The checkpoint files at path, by generation, without merge leftovers
  // (removed when remove is set).
  static std::vector<CheckpointFile> ListCheckpoints(const std::wstring& path, bool remove);
  static DoneRecord ReadDoneRecord(const std::wstring& path);

  // True when the file was read.
  bool RestoreCheckpoint(CheckpointFile&& checkpoint, const DoneRecord& done, std::vector<DXNodePtr>& frames,
                         size_t& dropped);
  // The storage file renamed to the next generation's checkpoint; none when there is no file or it stays.
  std::optional<CheckpointFile> AdoptStorageFile();
  // True when lo..hi would cover a checkpoint file the start had to leave unread.
  bool CoversKept(uint64_t lo, uint64_t hi) const noexcept;
  // Keeps merging the two newest checkpoints while the newer is at least half the older's size.
  void MergeNewest(const std::atomic<bool>* stop) noexcept;
  void Merge(size_t first);
  // Close's work: the fold, the removals and the rename.
  void Fold(const std::vector<DXNodePtr>& frames);
  // The frames' stored forms, with their current counters.
  std::vector<DXNodePtr> StoredForms(const CheckpointFile& checkpoint);
  void PutCurrentCounter(const DXNodePtr& stored, const DXNodePtr& frame);
  void Register(std::unique_ptr<CheckpointFile> checkpoint, size_t at);
  // Out of the list; fileGone false: its file stays, so it is kept aside with its done lines.
  void RemoveCheckpoint(CheckpointFile* checkpoint, bool fileGone) noexcept;
  void AppendDone(CheckpointFile& checkpoint, uint32_t index);
  // The done record anew, with only the positions of the checkpoints there are.
  void RewriteDoneRecord();
  void OpenDoneRecord();
  void CloseFiles() noexcept;

  // Declared before the storage, which refers to it.
  DataEncryption::CNodeEncryptor m_encryptor;
  CTransientStorage m_storage;
  size_t m_maxRestored;
  CFile m_lease;
  CFile m_done;
  std::vector<std::unique_ptr<CheckpointFile>> m_checkpoints;
  // Checkpoints with nothing left whose files would not go: in no merge, removed by the stop.
  std::vector<std::unique_ptr<CheckpointFile>> m_undeleted;
  // Files of merges' inputs that would not go: tried again by every stop, which renames nothing while one stays.
  std::vector<std::wstring> m_leftovers;
  std::unordered_map<IDXNode*, Location> m_locations;
  // Generations of checkpoint files the start left unread (held by another program).
  std::vector<std::pair<uint64_t, uint64_t>> m_keptRanges;
  // Their done lines, kept in every rewrite of the record.
  DoneRecord m_keptDoneLines;
  uint64_t m_nextGeneration = 1;
  // Lines in the done record, and how many of them name a checkpoint there is.
  uint64_t m_doneLines = 0;
  uint64_t m_liveDoneLines = 0;
  bool m_doneFailureLogged = false;
  // The encrypted "FailureCounter" attribute for each counter value met.
  std::map<int64_t, DXNodePtr> m_encryptedCounters;
};

}  // namespace UsageStatistics::Detail
