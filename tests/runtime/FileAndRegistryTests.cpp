// The file and registry helpers against a real file system and registry
// (Wine's registry lives in the build's prefix; the keys are removed after).
#include "RuntimeTestSupport.h"

#include "Sources/Common/ErrorHandling/HRES.h"
#include "settings/File.h"
#include "settings/FileSystem.h"
#include "settings/RegistryKey.h"
#include "support/HresultOf.h"

#include <gtest/gtest.h>

namespace {

using RuntimeTest::ScopedEnvironmentVariable;
using RuntimeTest::TempDirectory;
using KestrovaTest::HresultOf;
using RuntimeTest::TestRegistryKey;

bool IsDirectory(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

HRESULT CodeOf(void (*action)(const std::wstring&), const std::wstring& path) {
  try {
    action(path);
    return S_OK;
  } catch (const HRX& failure) {
    return failure.Code();
  }
}

TEST(FileExists, AnswersForFilesDirectoriesAndMissingPaths) {
  TempDirectory temp;
  RuntimeTest::WriteTextFile(temp / L"present.txt", "x");
  struct Case {
    std::wstring path;
    bool exists;
    HRESULT raised;
  };
  const Case cases[] = {
      {temp / L"present.txt", true, S_OK},
      {temp / L"missing.txt", false, S_OK},                   // not found is no error
      {temp / L"missing-dir\\missing.txt", false, S_OK},      // nor is path not found
      {temp.Path(), false, static_cast<HRESULT>(0x80070005)},  // a directory
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FileExists(c.path), c.exists);
    HRESULT raised = S_OK;
    try {
      EXPECT_EQ(FileExists(c.path, true), c.exists);
    } catch (const HRX& failure) {
      raised = failure.Code();
    }
    EXPECT_EQ(raised, c.raised);
  }
}

TEST(CreateDirectories, CreatesMissingLevelsOutermostFirst) {
  TempDirectory temp;
  const std::wstring deep = temp / L"a\\b/c";
  CreateDirectories(deep);
  EXPECT_TRUE(IsDirectory(temp / L"a"));
  EXPECT_TRUE(IsDirectory(temp / L"a\\b"));
  EXPECT_TRUE(IsDirectory(deep));
  // All there: nothing to do, nothing raised; a trailing separator is fine.
  EXPECT_NO_THROW(CreateDirectories(deep + L"\\"));
}

TEST(CreateDirectories, BelowAFileFailsUnlessErrorsAreIgnored) {
  TempDirectory temp;
  RuntimeTest::WriteTextFile(temp / L"file", "x");
  const std::wstring below = temp / L"file\\sub\\deeper";
  EXPECT_LT(CodeOf([](const std::wstring& path) { CreateDirectories(path); }, below), 0);
  EXPECT_NO_THROW(CreateDirectories(below, nullptr, true));
  EXPECT_FALSE(IsDirectory(below));
}

// The forms the module's own files are opened under, at any length.
TEST(ModuleFilePaths, AbsolutePathsTakeTheirExtendedFormAndOthersStayAsTheyAre) {
  struct Case {
    std::wstring path;
    bool relative;
    std::wstring extended;
  };
  const Case cases[] = {
      {L"C:\\a\\b.txt", false, L"\\\\?\\C:\\a\\b.txt"},
      {L"C:/a/./c/../b.txt", false, L"\\\\?\\C:\\a\\b.txt"},
      {L"\\\\server\\share\\f", false, L"\\\\?\\UNC\\server\\share\\f"},
      {L"\\\\?\\C:\\already", false, L"\\\\?\\C:\\already"},
      {L"\\\\.\\pipe\\x", false, L"\\\\.\\pipe\\x"},
      {L"relative\\f", true, L"relative\\f"},
      {L"\\rooted", true, L"\\rooted"},
      {L"C:drive-relative", true, L"C:drive-relative"},
      {L"", true, L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(IsRelativePath(c.path), c.relative);
    EXPECT_EQ(ExtendedLengthPath(c.path), c.extended);
  }
  EXPECT_EQ(HresultOf([] { FullPath(L"relative"); }), HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME));
}

TEST(ModuleFilePaths, FilesAndFoldersWorkBeyondMaxPath) {
  const TempDirectory temp;
  std::wstring folder = temp.Path();
  while (folder.size() < 400) folder += L"\\a-rather-long-folder-name-for-the-test";
  CreateDirectories(folder + L"\\");
  const std::wstring file = folder + L"\\file.txt";
  CFile created;
  ASSERT_EQ(created.Create(file.c_str(), GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL), S_OK);
  created.Close();
  EXPECT_TRUE(FileExists(file));
  EXPECT_TRUE(MoveFileAt(file, file + L".moved", MOVEFILE_REPLACE_EXISTING));
  EXPECT_FALSE(FileExists(file));
  EXPECT_TRUE(DeleteFileAt(file + L".moved"));
  EXPECT_FALSE(FileExists(file + L".moved"));
}

TEST(ExpandEnvironment, ExpandsKnownVariablesAndKeepsTheRest) {
  const std::wstring longValue(1000, L'v');
  ScopedEnvironmentVariable shortVariable(L"KESTROVA_RT_SHORT", L"abc");
  ScopedEnvironmentVariable longVariable(L"KESTROVA_RT_LONG", longValue.c_str());
  EXPECT_EQ(ExpandEnvironment(L"x%KESTROVA_RT_SHORT%y"), L"xabcy");
  EXPECT_EQ(ExpandEnvironment(L"%KESTROVA_RT_LONG%!"), longValue + L"!");  // beyond the first 260 characters
  EXPECT_EQ(ExpandEnvironment(L"%KESTROVA_RT_UNSET%"), L"%KESTROVA_RT_UNSET%");
  EXPECT_EQ(ExpandEnvironment(L""), L"");
}

TEST(File, CreatesWritesReadsAndCloses) {
  TempDirectory temp;
  const std::wstring path = temp / L"data.bin";
  CFile file;
  EXPECT_FALSE(file.IsOpen());
  ASSERT_EQ(file.Create(path.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS), S_OK);
  EXPECT_EQ(file.Write("hello", 5), S_OK);  // no count asked for
  DWORD written = 0;
  EXPECT_EQ(file.Write("!", 1, &written), S_OK);
  EXPECT_EQ(written, 1u);
  EXPECT_EQ(file.Flush(), S_OK);
  EXPECT_EQ(file.Close(), S_OK);
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(file.Close(), S_OK);  // closing twice is harmless

  ASSERT_EQ(file.Create(path.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), S_OK);
  char buffer[16] = {};
  DWORD read = 0;
  EXPECT_EQ(file.Read(buffer, sizeof(buffer), &read), S_OK);
  EXPECT_EQ(std::string(buffer, read), "hello!");

  // A failed create reports the platform error and keeps the open file.
  EXPECT_EQ(file.Create((temp / L"none\\x.bin").c_str(), GENERIC_READ, 0, OPEN_EXISTING),
            static_cast<HRESULT>(0x80070003));
  EXPECT_TRUE(file.IsOpen());
}

TEST(ParseRootKey, RecognisesTheFourRootNamesExactly) {
  struct Case {
    std::wstring path;
    bool parsed;
    HKEY root;
    std::wstring rest;
  };
  const Case cases[] = {
      {L"HKCU\\Software\\x", true, HKEY_CURRENT_USER, L"Software\\x"},
      {L"HKEY_CURRENT_USER/Software", true, HKEY_CURRENT_USER, L"Software"},
      {L"HKLM\\Software", true, HKEY_LOCAL_MACHINE, L"Software"},
      {L"HKEY_LOCAL_MACHINE\\a\\b", true, HKEY_LOCAL_MACHINE, L"a\\b"},
      {L"hklm\\x", false, nullptr, L"hklm\\x"},
      {L"HKCR\\x", false, nullptr, L"HKCR\\x"},
      {L"Software\\x", false, nullptr, L"Software\\x"},
  };
  for (const Case& c : cases) {
    std::wstring path = c.path;
    HKEY root = nullptr;
    EXPECT_EQ(ParseRootKey(path, root), c.parsed);
    EXPECT_EQ(root, c.root);
    EXPECT_EQ(path, c.rest);
  }
}

TEST(RegistryKey, OpenKeepsTheKeyOnFailureAndRemembersTheView) {
  TestRegistryKey testKey(L"Open");
  CRegistryKey key;
  EXPECT_EQ(key.Close(), ERROR_SUCCESS);  // nothing held
  ASSERT_EQ(key.Open(HKEY_CURRENT_USER, L"Software\\KestrovaTests\\Open", KEY_READ | KEY_WOW64_64KEY), ERROR_SUCCESS);
  const HKEY opened = key.Get();
  EXPECT_EQ(key.ViewBits(), static_cast<REGSAM>(KEY_WOW64_64KEY));
  EXPECT_NE(key.Open(HKEY_CURRENT_USER, L"Software\\KestrovaTests\\Missing", KEY_READ), ERROR_SUCCESS);
  EXPECT_EQ(key.Get(), opened);
  EXPECT_EQ(key.Close(), ERROR_SUCCESS);
  EXPECT_EQ(key.Get(), nullptr);
  EXPECT_EQ(key.ViewBits(), 0u);
}

TEST(ReadRegistryStrings, ReadsTextValuesExpandedAndSkipsOthers) {
  ScopedEnvironmentVariable variable(L"KESTROVA_RT_REG", L"expanded");
  TestRegistryKey key(L"Strings");
  key.SetString(L"Plain", L"text");
  key.SetString(L"Expand", L"%KESTROVA_RT_REG%\\dir", REG_EXPAND_SZ);
  key.SetString(L"PlainWithVariable", L"%KESTROVA_RT_REG%");  // REG_SZ is expanded as well
  key.SetNumber(L"Number", 7);
  key.SetString(std::wstring(300, L'n').c_str(), L"long name");  // beyond the first name buffer

  std::map<std::wstring, std::wstring> values;
  try {
    values = ReadRegistryStrings(key.PathFromRoot());
  } catch (const HRX& failure) {
    FAIL() << std::hex << failure.Code();
  }
  const std::map<std::wstring, std::wstring> expected{{L"Plain", L"text"},
                                                      {L"Expand", L"expanded\\dir"},
                                                      {L"PlainWithVariable", L"expanded"},
                                                      {std::wstring(300, L'n'), L"long name"}};
  EXPECT_EQ(values, expected);
  EXPECT_EQ(ReadRegistryStrings(key.PathFromRoot(L"HKEY_CURRENT_USER")), expected);
}

TEST(ReadRegistryStrings, AMissingKeyOrUnknownRootReadsAsEmpty) {
  TestRegistryKey key(L"Present");
  key.SetString(L"Value", L"x");
  EXPECT_TRUE(ReadRegistryStrings(L"HKCU\\Software\\KestrovaTests\\Absent").empty());
  // Lower case is no root name: the whole text is a subkey of HKEY_LOCAL_MACHINE.
  EXPECT_TRUE(ReadRegistryStrings(L"hkcu\\Software\\KestrovaTests\\Present").empty());
}

}  // namespace
