// The transient storage file: frames written encrypted at stop, restored in
// order at the next start, and every failure logged instead of raised.
#include "Sources/Subsystems/UsageStatistics/Common/TransientStorage.h"

#include "Sources/General/DataEncryption/EncryptionErrors.h"
#include "dataprotection/DataProtectionTestSupport.h"
#include "node/NodeSerialization.h"
#include "node/NodeTreeComparison.h"
#include "support/HresultOf.h"
#include "support/NodeBuilder.h"

#include <aclapi.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using DataEncryption::CNodeEncryptor;
using DataProtectionTest::Bytes;
using DataProtectionTest::Contains;
using DataProtectionTest::ScopedLog;
using KestrovaTest::Build;
using KestrovaTest::HresultOf;
using KestrovaTest::Int64;
using KestrovaTest::NodeSpec;
using KestrovaTest::Text;
using KestrovaTest::TreeDifference;
using RuntimeTest::TempDirectory;
using UsageStatistics::Detail::CTransientStorage;

std::vector<DXNodePtr> Frames(int count) {
  std::vector<DXNodePtr> frames;
  for (int i = 0; i < count; ++i) {
    const std::wstring n = std::to_wstring(i);
    frames.push_back(Build(NodeSpec{
        L"",
        L"UsageActivityFrame",
        {Text(L"Name", L"frame-name-" + n), Text(L"Value", L"plain-secret-value-" + n), Int64(L"FailureCounter", i)},
        {{L"", L"UsageActivityFrame", {Text(L"Name", L"child-secret-" + n)}}}}));
  }
  return frames;
}

std::vector<DXNodePtr> Clones(const std::vector<DXNodePtr>& frames) {
  std::vector<DXNodePtr> clones;
  for (const DXNodePtr& frame : frames) clones.push_back(frame.Clone());
  return clones;
}

std::vector<uint8_t> FileBytes(const std::wstring& path) {
  std::ifstream file(path.c_str(), std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool RunsUnderWine() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Any temporary file of a store beside path: <path>.<random>.tmp, or <path>.tmp of earlier versions.
bool HasTemporaryFiles(const std::wstring& path) {
  WIN32_FIND_DATAW found{};
  const HANDLE search = ::FindFirstFileW((path + L".*.tmp").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    ::FindClose(search);
    return true;
  }
  return Exists(path + L".tmp");
}

class TransientStorageTest : public ::testing::Test {
 protected:
  // Imports into a fresh queue holding one frame already queued.
  std::vector<DXNodePtr> Import(CTransientStorage& storage) {
    std::vector<DXNodePtr> queue;
    queue.push_back(Build(NodeSpec{L"", L"UsageActivityFrame", {Text(L"Name", L"queued")}}));
    storage.ImportPending(queue, m_queueLock);
    return queue;
  }

  const CNodeEncryptor m_encryptor = CNodeEncryptor::EncryptAll();
  TempDirectory m_temp;
  std::recursive_mutex m_queueLock;
};

TEST_F(TransientStorageTest, FramesComeBackInOrderAndTheFileGoes) {
  ScopedLog log(L"DBG2");
  const std::wstring path = m_temp / L"nested\\dir\\pending.dat";
  CTransientStorage storage(path, m_encryptor);
  EXPECT_EQ(storage.Path(), path);
  std::vector<DXNodePtr> frames = Frames(3);
  const std::vector<DXNodePtr> expected = Clones(frames);
  storage.ExportPending(frames);
  ASSERT_TRUE(Exists(path)) << log.All();
  EXPECT_FALSE(HasTemporaryFiles(path));
  EXPECT_EQ(log.Count(L"3 Usage statistics frames accumulated in transient storage"), 1u) << log.All();

  CTransientStorage next(path, m_encryptor);
  const std::vector<DXNodePtr> queue = Import(next);
  ASSERT_EQ(queue.size(), 4u) << log.All();
  EXPECT_EQ(queue[0].GetString(L"Name"), L"queued") << "restored frames go after those queued";
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(TreeDifference(expected[i], queue[i + 1]), L"") << i;
  int32_t counter = 0;
  EXPECT_TRUE(queue[3].TryGetInt32(L"FailureCounter", counter));
  EXPECT_EQ(counter, 2);
  EXPECT_EQ(log.Count(L"3 Usage statistics frames restored from transient storage"), 1u) << log.All();
  EXPECT_FALSE(Exists(path));
}

TEST_F(TransientStorageTest, NoValueLiesInClearInTheFile) {
  const std::wstring path = m_temp / L"pending.dat";
  CTransientStorage storage(path, m_encryptor);
  std::vector<DXNodePtr> frames = Frames(3);
  storage.ExportPending(frames);
  const std::vector<uint8_t> file = FileBytes(path);
  ASSERT_FALSE(file.empty());
  for (const std::string value : {"plain-secret-value-", "child-secret-", "frame-name-"}) {
    SCOPED_TRACE(value);
    EXPECT_FALSE(Contains(file, Bytes(value)));
    std::vector<uint8_t> utf16;
    for (const char c : value) utf16.insert(utf16.end(), {static_cast<uint8_t>(c), 0});
    EXPECT_FALSE(Contains(file, utf16));
  }
  // Node types and attribute names stay readable.
  EXPECT_TRUE(Contains(file, Bytes("UsageActivityFrame")));
  EXPECT_TRUE(Contains(file, Bytes("FailureCounter")));
  // The frames handed in are left encrypted.
  EXPECT_EQ(frames[0].GetAttributeType(L"Value"), 12);
}

// The accumulator's Stop may run twice with the same, already encrypted frames.
TEST_F(TransientStorageTest, SecondStoreOfTheSameFramesWritesTheSameFile) {
  const std::wstring path = m_temp / L"pending.dat";
  CTransientStorage storage(path, m_encryptor);
  std::vector<DXNodePtr> frames = Frames(2);
  frames[1].SetString(L"Empty", L"");
  const std::vector<DXNodePtr> expected = Clones(frames);
  storage.ExportPending(frames);
  const std::vector<uint8_t> first = FileBytes(path);
  storage.ExportPending(frames);
  EXPECT_EQ(FileBytes(path), first);
  const std::vector<DXNodePtr> restored = CTransientStorage::ReadFile(path, m_encryptor);
  ASSERT_EQ(restored.size(), 2u);
  EXPECT_EQ(TreeDifference(expected[1], restored[1]), L"");
  EXPECT_TRUE(Exists(path)) << "reading for a tool keeps the file";
}

TEST_F(TransientStorageTest, StopWithoutFramesDeletesAnOldFile) {
  ScopedLog log(L"DBG3");
  const std::wstring path = m_temp / L"pending.dat";
  CTransientStorage storage(path, m_encryptor);
  std::vector<DXNodePtr> frames = Frames(1);
  storage.ExportPending(frames);
  ASSERT_TRUE(Exists(path));
  std::vector<DXNodePtr> none;
  log.Clear();
  storage.ExportPending(none);
  EXPECT_FALSE(Exists(path));
  EXPECT_EQ(log.Count(L"Usage statistics frames"), 0u) << log.All();
}

TEST_F(TransientStorageTest, EmptyPathDropsFramesAndReadsNothing) {
  ScopedLog log(L"DBG");
  CTransientStorage storage(L"", m_encryptor);
  std::vector<DXNodePtr> frames = Frames(2);
  storage.ExportPending(frames);
  EXPECT_EQ(log.Count(L"2 Usage statistics frames dropped due to stopping"), 1u) << log.All();
  EXPECT_EQ(Import(storage).size(), 1u);
}

TEST_F(TransientStorageTest, DirectoryAtThePathIsNeitherReadNorDeleted) {
  ScopedLog log(L"DBG");
  const std::wstring path = m_temp / L"pending.dat";
  ASSERT_TRUE(::CreateDirectoryW(path.c_str(), nullptr));
  CTransientStorage storage(path, m_encryptor);
  EXPECT_EQ(Import(storage).size(), 1u);
  std::vector<DXNodePtr> frames = Frames(2);
  storage.ExportPending(frames);
  EXPECT_EQ(::GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY,
            static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_FALSE(HasTemporaryFiles(path)) << "the written temporary file is removed again";
  EXPECT_EQ(log.Count(L"Failed storing pending activity frames to file " + path + L" due to0x"), 1u) << log.All();
  EXPECT_EQ(log.Count(L"Failed to import"), 0u);
}

TEST_F(TransientStorageTest, UnreadableFilesAreLoggedAndDeleted) {
  // A valid file to cut short, and one whose encrypted value is damaged.
  const std::wstring validPath = m_temp / L"valid.dat";
  {
    CTransientStorage writer(validPath, m_encryptor);
    std::vector<DXNodePtr> frames = Frames(3);
    writer.ExportPending(frames);
  }
  const std::vector<uint8_t> valid = FileBytes(validPath);
  ASSERT_GT(valid.size(), 100u);
  std::vector<DXNodePtr> damaged = Frames(1);
  IDXNode* handle = damaged[0].Get();
  m_encryptor.EncryptNodes(&handle, 1, CNodeEncryptor::kWholeSubtree, 0, nullptr, nullptr, nullptr);
  std::vector<uint8_t> value;
  uint16_t type = 0;
  DXNodePtr::GetRawAttribute(damaged[0], L"Value", value, &type);
  value.back() ^= 0x77;
  KestrovaTest::SetRaw(damaged[0], L"Value", type, value.data(), static_cast<uint32_t>(value.size()));
  const std::wstring damagedPath = m_temp / L"damaged.dat";
  NodeUtils::SerializeToFile(damagedPath, damaged, DXNSerializationType_NodeText, 257, CNodeEncryptor::kWholeSubtree);

  struct Case {
    const char* label;
    std::vector<uint8_t> content;
  };
  const Case cases[] = {
      {"garbage", Bytes("this is not a node file at all")},
      {"truncated", std::vector<uint8_t>(valid.begin(), valid.begin() + valid.size() / 2)},
      {"empty", {}},
      {"damaged encrypted value", FileBytes(damagedPath)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScopedLog log(L"DBG");
    const std::wstring path = m_temp / L"pending.dat";
    {
      std::ofstream file(path.c_str(), std::ios::binary | std::ios::trunc);
      file.write(reinterpret_cast<const char*>(c.content.data()), static_cast<std::streamsize>(c.content.size()));
    }
    CTransientStorage storage(path, m_encryptor);
    const std::vector<DXNodePtr> queue = Import(storage);
    EXPECT_FALSE(Exists(path));
    if (c.content.empty()) {
      // An empty file holds no frames: nothing to restore, nothing failed.
      EXPECT_EQ(queue.size(), 1u);
      continue;
    }
    EXPECT_EQ(queue.size(), 1u) << "no frame of a failed file is restored";
    EXPECT_EQ(log.Count(L"Failed to import pending activity frames from file " + path + L" due to 0x"), 1u)
        << log.All();
  }
}

TEST_F(TransientStorageTest, FailedStoreLeavesNoFile) {
  struct Case {
    const char* label;
    std::wstring path;
    bool frameDamaged;
  };
  const Case cases[] = {
      {"a name the platform refuses", m_temp / L"bad<name>|.dat", false},
      {"a path longer than the platform allows", m_temp / (std::wstring(300, L'x') + L"\\pending.dat"), false},
      {"an encrypted value that fails validation", m_temp / L"pending.dat", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScopedLog log(L"WARN");
    CTransientStorage storage(c.path, m_encryptor);
    std::vector<DXNodePtr> frames = Frames(3);
    if (c.frameDamaged) {
      const uint8_t shortValue[] = {0xCD, 0xAB, 0xCD, 0xAB, 0x02};
      KestrovaTest::SetRaw(frames[2], L"Value", 12, shortValue, 5);
    }
    storage.ExportPending(frames);
    EXPECT_FALSE(Exists(c.path));
    EXPECT_FALSE(HasTemporaryFiles(c.path));
    EXPECT_EQ(log.Count(L"Failed storing pending activity frames to file " + c.path + L" due to0x"), 1u) << log.All();
    EXPECT_EQ(Import(storage).size(), 1u);
  }
}

TEST_F(TransientStorageTest, LeftoverTemporaryFileIsRemovedAtImport) {
  const std::wstring path = m_temp / L"pending.dat";
  CTransientStorage storage(path, m_encryptor);
  for (const bool withFile : {false, true}) {
    SCOPED_TRACE(withFile ? "beside a storage file" : "alone");
    std::vector<DXNodePtr> frames = Frames(2);
    if (withFile) storage.ExportPending(frames);
    // Of an interrupted store of earlier versions and of this one, and a
    // folder planted at a temporary name.
    for (const std::wstring& leftover : {storage.LegacyTemporaryPath(), storage.NewTemporaryPath()}) {
      std::ofstream partial(leftover.c_str(), std::ios::binary);
      partial << "<nr>\r\n<node type=\"UsageActivityFrame\"";
    }
    ASSERT_TRUE(::CreateDirectoryW(storage.NewTemporaryPath().c_str(), nullptr));
    const std::vector<DXNodePtr> queue = Import(storage);
    EXPECT_EQ(queue.size(), withFile ? 3u : 1u);
    EXPECT_FALSE(HasTemporaryFiles(path));
    EXPECT_FALSE(Exists(path));
  }
}

TEST_F(TransientStorageTest, UndeletableFileIsLogged) {
  ScopedLog log(L"DBG");
  const std::wstring path = m_temp / L"pending.dat";
  CTransientStorage storage(path, m_encryptor);
  std::vector<DXNodePtr> frames = Frames(1);
  storage.ExportPending(frames);
  // Another handle without delete sharing keeps the file in place.
  const HANDLE holder = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  const std::vector<DXNodePtr> queue = Import(storage);
  EXPECT_EQ(queue.size(), 2u);
  EXPECT_EQ(log.Count(L"Failed deleting pending activity frames file " + path + L" due to0x80070020"), 1u) << log.All();
  // A store over it waits a little for the holder, then gives up and keeps
  // the previous file as it was, readable.
  std::vector<DXNodePtr> more = Frames(2);
  EXPECT_FALSE(storage.ExportPending(more));
  EXPECT_EQ(log.Count(L"Failed storing pending activity frames to file " + path + L" due to0x"), 1u) << log.All();
  ::CloseHandle(holder);
  EXPECT_TRUE(Exists(path));
  EXPECT_FALSE(HasTemporaryFiles(path));
  EXPECT_EQ(CTransientStorage::ReadFile(path, m_encryptor).size(), 1u) << "the previous file stays whole";
}

// The move waits for a program that holds the temporary file or the pending
// file for a moment (a scanner, an indexer), then replaces the file.
TEST_F(TransientStorageTest, AMomentaryHolderDelaysTheStoreButLosesNothing) {
  const std::wstring path = m_temp / L"pending.dat";
  CTransientStorage storage(path, m_encryptor);
  std::vector<DXNodePtr> first = Frames(1);
  ASSERT_TRUE(storage.ExportPending(first));
  const HANDLE holder = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  std::thread release([holder] {
    ::Sleep(100);
    ::CloseHandle(holder);
  });
  std::vector<DXNodePtr> second = Frames(3);
  EXPECT_TRUE(storage.ExportPending(second));
  release.join();
  EXPECT_EQ(CTransientStorage::ReadFile(path, m_encryptor).size(), 3u);
}

// A valid document without frames restores none and fails nothing.
TEST_F(TransientStorageTest, EmptyDocumentRestoresNoFrame) {
  ScopedLog log(L"DBG2");
  const std::wstring path = m_temp / L"pending.dat";
  {
    std::ofstream file(path.c_str(), std::ios::binary);
    file << "<nr></nr>";
  }
  EXPECT_TRUE(CTransientStorage::ReadFile(path, m_encryptor).empty());
  CTransientStorage storage(path, m_encryptor);
  EXPECT_EQ(Import(storage).size(), 1u);
  EXPECT_EQ(log.Count(L"0 Usage statistics frames restored from transient storage"), 1u) << log.All();
  EXPECT_EQ(log.Count(L"Failed to import"), 0u);
  EXPECT_FALSE(Exists(path));
}

// A file held open without sharing by another program at start is kept for
// the next start, not deleted unread.
TEST_F(TransientStorageTest, AFileHeldAtStartIsKeptForTheNextStart) {
  ScopedLog log(L"WARN");
  const std::wstring path = m_temp / L"pending.dat";
  CTransientStorage storage(path, m_encryptor);
  std::vector<DXNodePtr> frames = Frames(2);
  ASSERT_TRUE(storage.ExportPending(frames));
  const HANDLE holder = ::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Import(storage).size(), 1u);
  EXPECT_EQ(log.Count(L"; the file is kept for the next start"), 1u) << log.All();
  ::CloseHandle(holder);
  EXPECT_EQ(Import(storage).size(), 3u);
}

// The same process's stop keeps what its start had to leave: the kept frames
// go into the file before those of the stop, and a stop with none keeps them.
TEST_F(TransientStorageTest, AStopKeepsTheFramesItsStartLeftUnread) {
  const std::wstring path = m_temp / L"pending.dat";
  for (const int stopped : {0, 1}) {
    SCOPED_TRACE(stopped);
    {
      CTransientStorage writer(path, m_encryptor);
      std::vector<DXNodePtr> frames = Frames(2);
      ASSERT_TRUE(writer.ExportPending(frames));
    }
    CTransientStorage storage(path, m_encryptor);
    const HANDLE holder = ::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Import(storage).size(), 1u);
    ::CloseHandle(holder);
    std::vector<DXNodePtr> atStop = Frames(stopped);
    ASSERT_TRUE(storage.ExportPending(atStop));
    const std::vector<DXNodePtr> stored = CTransientStorage::ReadFile(path, m_encryptor);
    ASSERT_EQ(stored.size(), 2u + stopped);
    EXPECT_EQ(stored[0].GetString(L"Name"), L"frame-name-0") << "the kept frames first";
    ASSERT_TRUE(::DeleteFileW(path.c_str()));
  }
}

// Only the storage's own temporary files are swept: another storage's in the
// same folder, or any other file whose name merely looks alike, stays.
TEST_F(TransientStorageTest, TheSweepTakesOnlyItsOwnTemporaryFiles) {
  const std::wstring path = m_temp / L"frames";
  const std::wstring neighbours[] = {m_temp / L"frames.other.0123456789ABCDEF.tmp",
                                     m_temp / L"frames.backup-of-2024.tmp", m_temp / L"frames.0123456789ABCDEF.tmp.old",
                                     m_temp / L"frames2.0123456789ABCDEF.tmp"};
  for (const std::wstring& neighbour : neighbours) std::ofstream(neighbour.c_str()) << "x";
  const std::wstring own = m_temp / L"frames.0123456789ABCDEF.tmp";
  std::ofstream(own.c_str()) << "x";
  CTransientStorage storage(path, m_encryptor);
  Import(storage);
  EXPECT_FALSE(Exists(own));
  for (const std::wstring& neighbour : neighbours) EXPECT_TRUE(Exists(neighbour)) << neighbour;
}

// The file, its temporary files and the folders the module creates grant
// access to SYSTEM, the Administrators and the process's user only.
TEST_F(TransientStorageTest, TheFileAndTheFoldersCreatedForItArePrivate) {
  const std::wstring folder = m_temp / L"made\\for\\it";
  const std::wstring path = folder + L"\\pending.dat";
  CTransientStorage storage(path, m_encryptor);
  std::vector<DXNodePtr> frames = Frames(1);
  ASSERT_TRUE(storage.ExportPending(frames));
  for (const std::wstring& object : {path, folder, m_temp / L"made"}) {
    SCOPED_TRACE(object);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(::GetNamedSecurityInfoW(object.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                      &dacl, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_NE(dacl, nullptr) << "no list grants everyone everything";
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(::GetSecurityDescriptorControl(descriptor, &control, &revision));
    // Wine 8 keeps no protection bit in the list it reads back (it maps
    // access lists to Unix permission bits); Windows does.
    if (!RunsUnderWine()) EXPECT_NE(control & SE_DACL_PROTECTED, 0) << "nothing inherited from above";
    BYTE everyone[SECURITY_MAX_SID_SIZE], users[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(everyone);
    ASSERT_TRUE(::CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size));
    size = sizeof(users);
    ASSERT_TRUE(::CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users, &size));
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
      ACE_HEADER* header = nullptr;
      ASSERT_TRUE(::GetAce(dacl, index, reinterpret_cast<void**>(&header)));
      const PSID sid = &reinterpret_cast<ACCESS_ALLOWED_ACE*>(header)->SidStart;
      EXPECT_FALSE(::EqualSid(sid, everyone)) << "an entry for Everyone";
      EXPECT_FALSE(::EqualSid(sid, users)) << "an entry for Users";
    }
    ::LocalFree(descriptor);
  }
}

// A store that fails (here on a value the encryptor refuses, after the
// earlier frames were encrypted) leaves the first file intact and readable
// by the next start: the previous file is replaced only by a complete one.
TEST_F(TransientStorageTest, AFailedSecondStoreKeepsTheFirstFile) {
  const std::wstring path = m_temp / L"pending.dat";
  CTransientStorage storage(path, m_encryptor);
  std::vector<DXNodePtr> first = Frames(2);
  ASSERT_TRUE(storage.ExportPending(first));
  std::vector<DXNodePtr> damaged = Frames(3);
  const uint8_t shortValue[] = {0xCD, 0xAB, 0xCD, 0xAB, 0x02};
  KestrovaTest::SetRaw(damaged[2], L"Value", 12, shortValue, 5);
  EXPECT_FALSE(storage.ExportPending(damaged));
  EXPECT_EQ(Import(storage).size(), 3u) << "the two frames of the first store come back";
}

TEST(TransientStorageRead, MissingFileRaises) {
  const CNodeEncryptor encryptor = CNodeEncryptor::EncryptAll();
  EXPECT_EQ(HresultOf([&] { CTransientStorage::ReadFile(L"C:\\no\\such\\pending.dat", encryptor); }),
            static_cast<HRESULT>(0x80070003));
}

}  // namespace
