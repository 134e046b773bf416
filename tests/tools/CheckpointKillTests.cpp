// Checkpoints of pending frames under hard kills: kestrova-host.exe runs the
// module on frames that carry a sequence number ("Seq") and is killed in
// each phase, either from outside (TerminateProcess) or by the module's own
// kill points (KESTROVA_FAULT_POINT, which end the process as hard). After
// each kill the pending state on disk is read as the next start reads it,
// and a last run with a working service must deliver exactly that, each
// frame once, and leave no file behind.
#include "ToolProcess.h"

#include "Sources/General/DataEncryption/NodeEncryptorImpl.h"
#include "Sources/Subsystems/UsageStatistics/Common/FrameJournal.h"
#include "node/DXNodePtr.h"
#include "node/NodeSerialization.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace KestrovaTest;
namespace fs = std::filesystem;

constexpr DWORD kFaultPointExit = 0xFA17;
constexpr DWORD kRunTimeoutMs = 60000;

void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  ASSERT_TRUE(file.good()) << "cannot write " << path.string();
}

std::string Narrow(const std::wstring& text) {
  std::string narrow;
  for (const wchar_t c : text) narrow += static_cast<char>(c);
  return narrow;
}

std::string Describe(const std::vector<int>& numbers) {
  std::ostringstream text;
  text << "{";
  for (size_t i = 0; i < numbers.size(); ++i) text << (i == 0 ? "" : " ") << numbers[i];
  text << "}";
  return text.str();
}

std::vector<int> Range(int first, int last) {
  std::vector<int> numbers;
  for (int n = first; n <= last; ++n) numbers.push_back(n);
  return numbers;
}

// The frame's "Seq" item, its only child.
int SeqOf(const DXNodePtr& frame) { return std::stoi(frame.GetChild(0u).GetString(L"Value")); }

// Sets an environment variable of this process (inherited by what it starts) for a scope.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const wchar_t* name, const std::wstring& value) : m_name(name) {
    ::SetEnvironmentVariableW(name, value.empty() ? nullptr : value.c_str());
  }
  ~ScopedEnvironment() { ::SetEnvironmentVariableW(m_name, nullptr); }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  const wchar_t* m_name;
};

// A scratch folder with the store, the settings and change scripts of one
// case; the pending file lies in a folder of its own below it.
class KillFixture {
 public:
  explicit KillFixture(int checkpointIntervalSec) {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    m_folder = fs::temp_directory_path() / "kestrova-kill-tests" /
               (std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(stamp));
    fs::create_directories(m_folder);
    m_pending = (m_folder / "pending" / "frames.pending").wstring();
    WriteText(m_folder / "store.txt", R"(<nr>
  <node name="Veltrano" type="Product">
    <node name="UsageStatisticsSettings" type="UsageStatisticsSettings">
      <attr name="Enabled" type="bool">true</attr>
    </node>
    <node name="Seq" type="SeqList"/>
    <node name="UsageStatistics">
      <node name="SnapshotStatuses">
        <node name="{3D5E7A10-2B4C-4E6F-8A1B-9C0D2E4F6A81}" type="ConfigSnapshotStatus">
          <attr name="LastSnapshotTime" type="text">2024-01-01T00:00:00Z</attr>
          <attr name="LastModifiedBy" type="text">Unknown</attr>
        </node>
      </node>
    </node>
  </node>
</nr>
)");
    std::string checkpoint;
    if (checkpointIntervalSec > 0) {
      checkpoint = "      <attr name=\"CheckpointIntervalSec\" type=\"int64\">" +
                   std::to_string(checkpointIntervalSec) + "</attr>\n";
    }
    WriteText(m_folder / "settings.txt", R"(<nr>
  <node name="Maintainer">
    <attr name="SnapshotStatusesCfgPath" type="text">\Veltrano\UsageStatistics\SnapshotStatuses</attr>
    <attr name="SinkIntervalSec" type="int64">1</attr>
    <attr name="SendSnapshotsIntervalHours" type="int64">0</attr>
    <node name="TransientStorage">
      <attr name="SendIntervalSec" type="int64">1</attr>
      <attr name="MaxSendFailures" type="int32">1000000</attr>
      <attr name="UsageStatisticsCfgPath" type="text">\Veltrano\UsageStatisticsSettings</attr>
      <attr name="TransientStoragePath" type="text">)" +
                                             Narrow(m_pending) + R"(</attr>
)" + checkpoint + R"(    </node>
    <node name="ConfigSnapshots">
      <node name="{3D5E7A10-2B4C-4E6F-8A1B-9C0D2E4F6A81}" type="ConfigSnapshotEntry">
        <attr name="ConfigPath" type="text">\Veltrano\Seq\*</attr>
        <attr name="SendIntervalHours" type="int64">876000</attr>
        <attr name="NameSource" type="text">SeqFrame</attr>
        <node type="UsageActivityItem">
          <attr name="NameSource" type="text">Seq</attr>
          <attr name="ValueSource" type="text">@Seq</attr>
        </node>
      </node>
    </node>
  </node>
</nr>
)");
  }
  ~KillFixture() {
    std::error_code ignored;
    fs::remove_all(m_folder, ignored);
  }
  KillFixture(const KillFixture&) = delete;
  KillFixture& operator=(const KillFixture&) = delete;

  const std::wstring& Pending() const { return m_pending; }

  // A change script that adds the frames first..last in one write.
  std::wstring Changes(int first, int last) const {
    std::string text = "<nr><node name=\"Changes\"><node type=\"Write\">";
    for (int n = first; n <= last; ++n) {
      text += "<node name=\"\\Veltrano\\Seq\\s" + std::to_string(n) + "\" type=\"SeqItem\"><attr name=\"Seq\" " +
              "type=\"text\">" + std::to_string(n) + "</attr></node>";
    }
    text += "</node></node></nr>";
    const fs::path path = m_folder / ("changes-" + std::to_string(first) + "-" + std::to_string(last) + ".txt");
    WriteText(path, text);
    return path.wstring();
  }

  std::vector<std::wstring> Arguments(std::vector<std::wstring> more) const {
    std::vector<std::wstring> arguments{L"--store", (m_folder / "store.txt").wstring(), L"--settings",
                                        (m_folder / "settings.txt").wstring(), L"--quiet"};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
  }

  // The sequence numbers a start would restore, in its order (duplicates kept).
  std::vector<int> PendingSeqs() const {
    std::vector<int> seqs;
    for (const DXNodePtr& frame :
         UsageStatistics::Detail::CFrameJournal::ReadPending(m_pending, DataEncryption::CNodeEncryptor::EncryptAll())) {
      seqs.push_back(SeqOf(frame));
    }
    return seqs;
  }

  // Every file the storage keeps in its folder.
  std::vector<std::string> StorageFiles() const {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(fs::path(m_pending).parent_path(), ignored)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }

  fs::path Folder() const { return m_folder; }

 private:
  fs::path m_folder;
  std::wstring m_pending;
};

// A run that ends by itself, with a service that refuses every request:
// its frames wait in the pending file.
void RunToPendingFile(const KillFixture& fixture, int first, int last) {
  const ToolRun run = RunProgram(L"kestrova-host.exe", fixture.Arguments({L"--changes", fixture.Changes(first, last),
                                                                          L"--settle", L"2500", L"--service-fails"}));
  ASSERT_EQ(run.exitCode, 0u) << run.error;
  ASSERT_EQ(fixture.PendingSeqs(), Range(first, last));
}

// The last run: a working service gets exactly what was pending, once each,
// and nothing is left on disk.
void ExpectDeliveredOnceAndNothingLeft(const KillFixture& fixture, const std::vector<int>& pending) {
  const fs::path delivered = fixture.Folder() / "delivered.txt";
  const ToolRun run =
      RunProgram(L"kestrova-host.exe", fixture.Arguments({L"--settle", L"3500", L"--frames-out", delivered.wstring()}));
  ASSERT_EQ(run.exitCode, 0u) << run.error;
  std::vector<int> received;
  for (const DXNodePtr& frame : NodeUtils::DeserializeFromFile(delivered.wstring(), DXNSerializationType_NodeText, 0)) {
    received.push_back(SeqOf(frame));
  }
  std::vector<int> expected = pending;
  std::sort(received.begin(), received.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Describe(received), Describe(expected)) << "received by the service at the next start";
  EXPECT_TRUE(fixture.StorageFiles().empty()) << "left: " << ::testing::PrintToString(fixture.StorageFiles());
}

struct KillCase {
  const char* name;
  int checkpointIntervalSec;
  // 0: the module's kill point ends the run; otherwise killed from outside once the pending state shows this many
  // frames.
  const wchar_t* faultPoint;
  size_t killAtPending;
  // Frames a first run leaves in the pending file (0: none), frames the killed run makes.
  int restored;
  int made;
  bool serviceFails;
  // What the next start finds, exactly and in order.
  std::vector<int> expectedPending;
};

std::ostream& operator<<(std::ostream& stream, const KillCase& killCase) { return stream << killCase.name; }

class CheckpointKill : public ::testing::TestWithParam<KillCase> {};

TEST_P(CheckpointKill, TheNextStartFindsWhatTheGuaranteesKeep) {
  const KillCase& killCase = GetParam();
  const KillFixture fixture(killCase.checkpointIntervalSec);
  if (killCase.restored > 0) RunToPendingFile(fixture, 1, killCase.restored);
  if (HasFatalFailure()) return;

  // Runs killed in Stop settle briefly; the others are killed long before their settle time ends.
  const bool killedInStop = killCase.faultPoint != nullptr && std::wstring(killCase.faultPoint).rfind(L"stop-", 0) == 0;
  std::vector<std::wstring> more{L"--settle", killedInStop ? L"2500" : L"20000"};
  if (killCase.made > 0) {
    more.push_back(L"--changes");
    more.push_back(fixture.Changes(killCase.restored + 1, killCase.restored + killCase.made));
  }
  if (killCase.serviceFails) more.push_back(L"--service-fails");
  ToolRun run;
  {
    const ScopedEnvironment faultPoint(L"KESTROVA_FAULT_POINT", killCase.faultPoint ? killCase.faultPoint : L"");
    std::function<bool()> killWhen;
    if (killCase.killAtPending != 0) {
      killWhen = [&] {
        try {
          return fixture.PendingSeqs().size() >= killCase.killAtPending;
        } catch (...) {
          return false;  // a file between its write and its move
        }
      };
    }
    run = RunProgramUntil(L"kestrova-host.exe", fixture.Arguments(more), killWhen, kRunTimeoutMs);
  }
  ASSERT_FALSE(run.timedOut) << run.error;
  if (killCase.faultPoint != nullptr) {
    ASSERT_EQ(run.exitCode, kFaultPointExit) << "the kill point was not reached: " << run.error;
  } else {
    ASSERT_TRUE(run.killed) << run.error;
  }

  const std::vector<int> pending = fixture.PendingSeqs();
  EXPECT_EQ(Describe(pending), Describe(killCase.expectedPending));
  ExpectDeliveredOnceAndNothingLeft(fixture, pending);
}

// Frames 1-5 come from a first run's pending file where a case restores
// them; the killed run makes the next ten. A failing service keeps every
// frame pending; a working one delivers in order, one request per frame.
const KillCase kKillCases[] = {
    // Between checkpoints: everything checkpointed survives, the restored frames too.
    {"BetweenCheckpoints", 1, nullptr, 15, 5, 10, true, Range(1, 15)},
    // Without checkpoints the same kill loses all: the file was read and deleted at start.
    {"BetweenCyclesWithoutCheckpoints", 0, L"sending:1", 0, 5, 0, true, {}},
    // During a checkpoint write: the frames it held were in memory only; the restored ones stay.
    {"DuringACheckpointWrite", 1, L"storage-written:1", 0, 5, 10, true, Range(1, 5)},
    // During a send: the two delivered before are recorded, the one in flight stays.
    {"DuringASend", 1, L"sending:3", 0, 10, 0, false, Range(3, 10)},
    // After the service took frame 3 and before its record: 3 is sent again (the one duplicate).
    {"DuringTheRecordOfADelivery", 1, L"delivered:3", 0, 10, 0, false, Range(3, 10)},
    {"AfterTheRecordOfADelivery", 1, L"done-recorded:3", 0, 10, 0, false, Range(4, 10)},
    // During Stop: after the fold was written, and before it was renamed to the file.
    {"DuringStopAfterTheFold", 1, L"stop-folded:1", 0, 5, 10, true, Range(1, 15)},
    {"DuringStopBeforeTheRename", 1, L"stop-renaming:1", 0, 5, 10, true, Range(1, 15)},
};

INSTANTIATE_TEST_SUITE_P(Phases, CheckpointKill, ::testing::ValuesIn(kKillCases),
                         [](const ::testing::TestParamInfo<KillCase>& info) { return info.param.name; });

}  // namespace
