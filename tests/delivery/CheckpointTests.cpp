// Checkpoints of the pending frames ("CheckpointIntervalSec"), in process,
// against the reference services of ComponentsLib.dll: what lies on disk
// while the accumulator runs, what Stop leaves, hand-overs between
// accumulators, the bound, merges and counters. Kills are the business of
// CheckpointKillTests, which runs the host as a process.
#include "Sources/Subsystems/UsageStatistics/Common/FrameJournal.h"
#include "Sources/Subsystems/UsageStatistics/Common/TransientStorage.h"
#include "Sources/Subsystems/UsageStatistics/Common/TransientUsageStatsAccumulator.h"
#include "Sources/Subsystems/UsageStatistics/Kestrova/ActivityFrame.h"
#include "runtime/RuntimeTestSupport.h"
#include "support/ReferenceServices.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

using KestrovaTest::ReferenceServices;
using KestrovaTest::WaitUntil;
using RuntimeTest::TempDirectory;
using UsageStatistics::CTransientUsageStatsAccumulator;
using UsageStatistics::Detail::CFrameJournal;

constexpr wchar_t kSwitchPath[] = L"\\Veltrano\\Statistics\\Accumulator";
constexpr uint32_t kCheckpointWaitMs = 8000;

DXNodePtr Frame(int64_t sequence) {
  DXNodePtr frame = UsageStatistics::MakeActivityFrame(L"Frame");
  frame.SetInt64(L"Seq", sequence);
  frame.SetString(L"Value", L"value " + std::to_wstring(sequence));
  return frame;
}

std::vector<int64_t> Sequences(const std::vector<DXNodePtr>& frames) {
  std::vector<int64_t> sequences;
  for (const DXNodePtr& frame : frames) {
    int64_t sequence = -1;
    frame.TryGetInt64(L"Seq", sequence);
    sequences.push_back(sequence);
  }
  return sequences;
}

std::vector<int64_t> Range(int64_t first, int64_t last) {
  std::vector<int64_t> numbers;
  for (int64_t n = first; n <= last; ++n) numbers.push_back(n);
  return numbers;
}

struct Options {
  int64_t checkpointIntervalSec = 1;
  int64_t sendIntervalSec = 1;
  int32_t maxSendFailures = 1000000;
  int64_t maxQueuedFrames = 0;
  std::wstring file = L"frames.dat";
};

class CheckpointTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_services.WriteSwitch(kSwitchPath, true);
    FailService(true);
  }

  void FailService(bool failing) const {
    if (failing) {
      m_services.SetServiceFault(CLFault_Always, 0, E_FAIL);
    } else {
      m_services.SetServiceFault(CLFault_Off, 0, S_OK);
    }
  }

  std::wstring Path(const std::wstring& file = L"frames.dat") const { return m_temp / (L"pending\\" + file); }

  std::unique_ptr<CTransientUsageStatsAccumulator> Make(const Options& options = {}) const {
    DXNodePtr settings = DXNodePtr::Create(L"TransientStorage", nullptr);
    settings.SetInt64(L"SendIntervalSec", options.sendIntervalSec);
    settings.SetInt64(L"MaxSendFailures", options.maxSendFailures);
    settings.SetString(L"UsageStatisticsCfgPath", kSwitchPath);
    settings.SetString(L"TransientStoragePath", Path(options.file));
    if (options.checkpointIntervalSec != 0) settings.SetInt64(L"CheckpointIntervalSec", options.checkpointIntervalSec);
    if (options.maxQueuedFrames != 0) settings.SetInt64(L"MaxQueuedFrames", options.maxQueuedFrames);
    return std::make_unique<CTransientUsageStatsAccumulator>(m_services.ServicePtr(), settings);
  }

  // What a start would restore now.
  std::vector<int64_t> Pending(const std::wstring& file = L"frames.dat") const {
    return Sequences(CFrameJournal::ReadPending(Path(file), DataEncryption::CNodeEncryptor::EncryptAll()));
  }
  bool PendingBecomes(const std::vector<int64_t>& expected, const std::wstring& file = L"frames.dat") const {
    return WaitUntil(
        [&] {
          try {
            return Pending(file) == expected;
          } catch (...) {
            return false;
          }
        },
        kCheckpointWaitMs);
  }
  // The pending file in its own format, as a landed build reads it.
  std::vector<DXNodePtr> StoredFrames(const std::wstring& file = L"frames.dat") const {
    return UsageStatistics::Detail::CTransientStorage::ReadFile(Path(file),
                                                                DataEncryption::CNodeEncryptor::EncryptAll());
  }
  bool FileExists(const std::wstring& path) const {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  }
  size_t CheckpointFiles(const std::wstring& file = L"frames.dat") const {
    size_t count = 0;
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileW((Path(file) + L".*.ckpt").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    do {
      ++count;
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return count;
  }
  bool AnyCheckpointFile(const std::wstring& file = L"frames.dat") const {
    return CheckpointFiles(file) != 0 || FileExists(Path(file) + L".done") || FileExists(Path(file) + L".lock");
  }

  TempDirectory m_temp;
  ReferenceServices m_services;
};

TEST_F(CheckpointTest, FramesReachACheckpointWhileRunningAndStopLeavesOnlyThePendingFile) {
  auto accumulator = Make();
  for (int64_t sequence = 1; sequence <= 5; ++sequence) accumulator->StoreFrame(Frame(sequence));
  ASSERT_TRUE(PendingBecomes(Range(1, 5))) << "within one interval";
  EXPECT_FALSE(FileExists(Path())) << "the pending file is written at Stop only";
  EXPECT_TRUE(FileExists(Path() + L".lock"));

  accumulator->Stop();
  EXPECT_EQ(Sequences(StoredFrames()), Range(1, 5)) << "the pending file's own format";
  EXPECT_FALSE(AnyCheckpointFile());
  // Every value encrypted, as in the file without checkpoints.
  for (const DXNodePtr& frame : UsageStatistics::Detail::CTransientStorage::ReadEncrypted(Path())) {
    for (const std::wstring& name : frame.GetAttributeNames()) EXPECT_EQ(frame.GetAttributeType(name.c_str()), 12u);
  }
}

TEST_F(CheckpointTest, TheNextStartRestoresThePendingFileAndKeepsItOnDiskUntilDelivered) {
  {
    auto first = Make();
    for (int64_t sequence = 1; sequence <= 4; ++sequence) first->StoreFrame(Frame(sequence));
    ASSERT_TRUE(PendingBecomes(Range(1, 4)));
  }
  auto second = Make();
  EXPECT_FALSE(FileExists(Path())) << "renamed to a checkpoint";
  EXPECT_EQ(Pending(), Range(1, 4)) << "restored frames stay on disk";
  FailService(false);
  ASSERT_TRUE(m_services.WaitForFrames(4));
  ASSERT_TRUE(PendingBecomes({})) << "each delivery is recorded";
  second->Stop();
  EXPECT_FALSE(FileExists(Path()));
  EXPECT_FALSE(AnyCheckpointFile());
  EXPECT_EQ(Sequences(m_services.Frames()), Range(1, 4));
}

TEST_F(CheckpointTest, FramesDeliveredWithinTheirFirstIntervalNeverReachTheDisk) {
  FailService(false);
  Options options;
  options.checkpointIntervalSec = 3;
  auto accumulator = Make(options);
  for (int64_t sequence = 1; sequence <= 3; ++sequence) accumulator->StoreFrame(Frame(sequence));
  ASSERT_TRUE(m_services.WaitForFrames(3));
  ::Sleep(3500);  // past the checkpoint
  EXPECT_EQ(CheckpointFiles(), 0u);
  EXPECT_EQ(Pending(), std::vector<int64_t>{});
}

// A start after a kill finds checkpoints without the lease: an accumulator
// whose hand-over was dropped leaves exactly that.
TEST_F(CheckpointTest, CheckpointsLeftBehindAreRestoredWithOrWithoutTheSetting) {
  for (const int64_t interval : {int64_t{1}, int64_t{0}}) {
    SCOPED_TRACE(interval);
    Options options;
    {
      auto killed = Make(options);
      for (int64_t sequence = 1; sequence <= 3; ++sequence) killed->StoreFrame(Frame(sequence));
      ASSERT_TRUE(PendingBecomes(Range(1, 3)));
      CTransientUsageStatsAccumulator::Handover dropped = killed->TakeUndelivered();
    }
    ASSERT_EQ(Pending(), Range(1, 3));
    ASSERT_FALSE(FileExists(Path() + L".lock"));
    options.checkpointIntervalSec = interval;
    auto next = Make(options);
    if (interval == 0) {
      EXPECT_FALSE(AnyCheckpointFile()) << "without the setting they are read and removed, as the file is";
    } else {
      EXPECT_EQ(Pending(), Range(1, 3)) << "with it they stay";
    }
    next->Stop();
    EXPECT_EQ(Sequences(StoredFrames()), Range(1, 3));
    EXPECT_FALSE(AnyCheckpointFile());
    ASSERT_TRUE(::DeleteFileW(Path().c_str()));
  }
}

TEST_F(CheckpointTest, AHandOverToTheSameFileContinuesItsCheckpoints) {
  auto old = Make();
  for (int64_t sequence = 1; sequence <= 3; ++sequence) old->StoreFrame(Frame(sequence));
  ASSERT_TRUE(PendingBecomes(Range(1, 3)));
  auto successor = Make();  // finds the files held: restores nothing
  successor->Adopt(old->TakeUndelivered());
  old.reset();
  EXPECT_EQ(Pending(), Range(1, 3));
  for (int64_t sequence = 4; sequence <= 5; ++sequence) successor->StoreFrame(Frame(sequence));
  ASSERT_TRUE(PendingBecomes(Range(1, 5))) << ::testing::PrintToString(Pending());
  successor->Stop();
  EXPECT_EQ(Sequences(StoredFrames()), Range(1, 5));
  EXPECT_FALSE(AnyCheckpointFile());
}

TEST_F(CheckpointTest, AHandOverToAnotherFileRemovesTheOldCheckpointsOnceTheFramesAreOnDiskAgain) {
  auto old = Make();
  for (int64_t sequence = 1; sequence <= 3; ++sequence) old->StoreFrame(Frame(sequence));
  ASSERT_TRUE(PendingBecomes(Range(1, 3)));
  Options other;
  other.file = L"other.dat";
  auto successor = Make(other);
  successor->Adopt(old->TakeUndelivered());
  old.reset();
  ASSERT_TRUE(PendingBecomes(Range(1, 3), L"other.dat"));
  ASSERT_TRUE(WaitUntil([&] { return !AnyCheckpointFile(); }, kCheckpointWaitMs));
  successor->Stop();
  EXPECT_EQ(Sequences(StoredFrames(L"other.dat")), Range(1, 3));
  EXPECT_FALSE(FileExists(Path()));
}

TEST_F(CheckpointTest, AHandOverToNoCheckpointsKeepsThemUntilItsStop) {
  auto old = Make();
  for (int64_t sequence = 1; sequence <= 3; ++sequence) old->StoreFrame(Frame(sequence));
  ASSERT_TRUE(PendingBecomes(Range(1, 3)));
  Options off;
  off.checkpointIntervalSec = 0;
  auto successor = Make(off);
  successor->Adopt(old->TakeUndelivered());
  old.reset();
  ::Sleep(1500);
  EXPECT_EQ(Pending(), Range(1, 3)) << "a kill now would lose nothing";
  successor->Stop();
  EXPECT_EQ(Sequences(StoredFrames()), Range(1, 3));
  EXPECT_FALSE(AnyCheckpointFile());
}

TEST_F(CheckpointTest, FramesTheBoundDropsAreRecordedAsDone) {
  Options options;
  options.sendIntervalSec = 3600;  // no take-over: the frames stay queued
  options.maxQueuedFrames = 3;
  auto accumulator = Make(options);
  for (int64_t sequence = 1; sequence <= 3; ++sequence) accumulator->StoreFrame(Frame(sequence));
  ASSERT_TRUE(PendingBecomes(Range(1, 3)));
  for (int64_t sequence = 4; sequence <= 5; ++sequence) accumulator->StoreFrame(Frame(sequence));
  ASSERT_TRUE(PendingBecomes(Range(3, 5)));
  accumulator->Stop();
  EXPECT_EQ(Sequences(StoredFrames()), Range(3, 5));
}

// One frame a checkpoint, six times: merges keep the files few, the order
// and the counters the frames have in memory.
TEST_F(CheckpointTest, MergesKeepTheFilesFewTheOrderAndTheCurrentCounters) {
  auto accumulator = Make();
  std::vector<DXNodePtr> frames;
  for (int64_t sequence = 1; sequence <= 6; ++sequence) {
    frames.push_back(Frame(sequence));
    accumulator->StoreFrame(frames.back());
    ASSERT_TRUE(PendingBecomes(Range(1, sequence)));
    EXPECT_LE(CheckpointFiles(), 3u) << "after " << sequence << " checkpoints";
  }
  accumulator->Stop();
  const std::vector<DXNodePtr> stored = StoredFrames();
  ASSERT_EQ(Sequences(stored), Range(1, 6));
  for (size_t index = 0; index < stored.size(); ++index) {
    int64_t inMemory = 0, onDisk = 0;
    ASSERT_TRUE(frames[index].TryGetInt64(L"FailureCounter", inMemory)) << index;
    ASSERT_TRUE(stored[index].TryGetInt64(L"FailureCounter", onDisk)) << index;
    EXPECT_GE(inMemory, 1);
    EXPECT_EQ(onDisk, inMemory) << "frame " << index + 1;
  }
}

// What a kill leaves: the accumulator's hand-over dropped, its files as they are.
void LeaveAsAKillWould(std::unique_ptr<CTransientUsageStatsAccumulator>& accumulator) {
  CTransientUsageStatsAccumulator::Handover dropped = accumulator->TakeUndelivered();
  dropped.journals.clear();
  accumulator.reset();
}

// Done lines of a checkpoint that emptied stay in the record for a while; a
// pending file another writer leaves later must not take them for its own.
TEST_F(CheckpointTest, APendingFileWrittenAfterAKillIsRestoredWhole) {
  FailService(false);
  auto killed = Make();
  for (int64_t sequence = 1; sequence <= 3; ++sequence) killed->StoreFrame(Frame(sequence));
  ASSERT_TRUE(m_services.WaitForFrames(3));
  LeaveAsAKillWould(killed);
  FailService(true);
  // Another writer (an earlier version, say) leaves a pending file meanwhile.
  {
    const DataEncryption::CNodeEncryptor encryptor = DataEncryption::CNodeEncryptor::EncryptAll();
    UsageStatistics::Detail::CTransientStorage storage(Path(), encryptor);
    std::vector<DXNodePtr> frames{Frame(11), Frame(12), Frame(13)};
    ASSERT_TRUE(storage.ExportPending(frames));
  }
  auto next = Make();
  EXPECT_EQ(Pending(), Range(11, 13));
  next->Stop();
  EXPECT_EQ(Sequences(StoredFrames()), Range(11, 13));
}

TEST_F(CheckpointTest, CheckpointsAreFoundWhateverTheLetterCaseOfThePath) {
  Options upper;
  upper.file = L"FRAMES.DAT";
  auto killed = Make(upper);
  for (int64_t sequence = 1; sequence <= 3; ++sequence) killed->StoreFrame(Frame(sequence));
  ASSERT_TRUE(PendingBecomes(Range(1, 3), L"FRAMES.DAT"));
  LeaveAsAKillWould(killed);
  auto next = Make();  // frames.dat
  for (int64_t sequence = 4; sequence <= 5; ++sequence) next->StoreFrame(Frame(sequence));
  ASSERT_TRUE(PendingBecomes(Range(1, 5)));
  next->Stop();
  EXPECT_EQ(Sequences(StoredFrames()), Range(1, 5));
}

// A checkpoint another program holds at start is left for the next start:
// no merge may cover it, or that start would take it for a merge's leftover.
TEST_F(CheckpointTest, ACheckpointHeldAtStartIsNeitherLostNorCovered) {
  auto killed = Make();
  killed->StoreFrame(Frame(1));
  killed->StoreFrame(Frame(2));
  ASSERT_TRUE(PendingBecomes(Range(1, 2)));
  killed->StoreFrame(Frame(3));
  ASSERT_TRUE(PendingBecomes(Range(1, 3)));
  LeaveAsAKillWould(killed);
  ASSERT_EQ(CheckpointFiles(), 1u) << "merged into one";
  // A second checkpoint, then the newest file is held without sharing.
  auto second = Make();
  second->StoreFrame(Frame(4));
  ASSERT_TRUE(PendingBecomes(Range(1, 4)));
  LeaveAsAKillWould(second);
  std::wstring newest;
  {
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileW((Path() + L".*.ckpt").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    do {
      if (newest.empty() || std::wstring(found.cFileName) > newest) newest = found.cFileName;
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
  }
  const HANDLE held =
      ::CreateFileW((m_temp / (L"pending\\" + newest)).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  auto third = Make();
  for (int64_t sequence = 5; sequence <= 6; ++sequence) third->StoreFrame(Frame(sequence));
  ::Sleep(2500);  // checkpoints, and a merge if one were allowed
  LeaveAsAKillWould(third);
  ::CloseHandle(held);
  auto last = Make();
  std::vector<int64_t> pending = Pending();
  std::sort(pending.begin(), pending.end());
  EXPECT_EQ(pending, Range(1, 6));
  last->Stop();
}

}  // namespace
