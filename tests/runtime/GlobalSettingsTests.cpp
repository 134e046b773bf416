// Global settings sources and their order, the cached section, and the data
// directory with its registry path overrides.
#include "RuntimeTestSupport.h"

#include "Sources/Common/ErrorHandling/HRES.h"
#include "settings/DataDirectory.h"
#include "settings/FileSystem.h"
#include "settings/GlobalSettings.h"
#include "support/HresultOf.h"
#include "settings/SettingsSection.h"

#include <gtest/gtest.h>

namespace {

using RuntimeTest::ScopedEnvironmentVariable;
using KestrovaTest::HresultOf;
using RuntimeTest::TempDirectory;
using RuntimeTest::TestRegistryKey;
using RuntimeTest::WriteTextFile;

constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070490);

TEST(IniCandidatePaths, FollowTheExecutableThenTheModule) {
  struct Case {
    const wchar_t* executable;
    const wchar_t* module;
    std::vector<std::wstring> expected;
  };
  const Case cases[] = {
      {L"C:\\App\\Host.exe", L"C:\\App\\Host.exe", {L"C:\\App\\Host.ini", L"C:\\App\\GlobalSettings.ini"}},
      {L"C:\\App\\Host.exe",
       L"C:\\app\\Kestrova.dll",  // same folder in other letter case
       {L"C:\\App\\Host.ini", L"C:\\App\\Kestrova.ini", L"C:\\App\\GlobalSettings.ini"}},
      {L"C:\\App\\Host.exe",
       L"D:\\Mod\\Kestrova.dll",
       {L"C:\\App\\Host.ini", L"C:\\App\\Kestrova.ini", L"C:\\App\\GlobalSettings.ini", L"D:\\Mod\\Kestrova.ini",
        L"D:\\Mod\\GlobalSettings.ini"}},
  };
  for (const Case& c : cases) EXPECT_EQ(IniCandidatePaths(c.executable, c.module), c.expected) << c.module;
}

class GlobalSettingsTest : public ::testing::Test {
 protected:
  GlobalSettingsTest()
      : m_first(m_temp / L"Host.ini"),
        m_shared(m_temp / L"GlobalSettings.ini"),
        m_named(m_temp / L"Named.ini"),
        m_settings({m_first, m_shared}) {}

  std::wstring Read(const wchar_t* section, const wchar_t* key) {
    std::wstring value;
    const HRESULT result = m_settings.ReadSetting(section, key, value);
    return result == S_OK ? value : L"<" + std::to_wstring(static_cast<uint32_t>(result)) + L">";
  }

  TempDirectory m_temp;
  std::wstring m_first;
  std::wstring m_shared;
  std::wstring m_named;
  ScopedEnvironmentVariable m_noNamedFile{L"GLOBAL_SETTINGS_INI", nullptr};
  GlobalSettings m_settings;
};

const std::wstring kNotFoundText = L"<" + std::to_wstring(0x80070490u) + L">";

TEST_F(GlobalSettingsTest, EnvironmentWinsOverEveryIniFile) {
  WriteTextFile(m_first, "[Logger]\r\nMaxSeverity=INFO\r\n");
  WriteTextFile(m_shared, "[Logger]\r\nMaxSeverity=WARN\r\n");
  WriteTextFile(m_named, "[Logger]\r\nMaxSeverity=CRIT\r\n");
  ScopedEnvironmentVariable named(L"GLOBAL_SETTINGS_INI", m_named.c_str());
  EXPECT_EQ(Read(L"Logger", L"MaxSeverity"), L"CRIT");
  {
    ScopedEnvironmentVariable variable(L"GS_Logger_MaxSeverity", L"dbg2");
    EXPECT_EQ(Read(L"Logger", L"MaxSeverity"), L"dbg2");
  }
  {
    // An empty variable is a value.
    ScopedEnvironmentVariable variable(L"GS_Logger_MaxSeverity", L"");
    EXPECT_EQ(Read(L"Logger", L"MaxSeverity"), L"");
  }
}

TEST_F(GlobalSettingsTest, NamedIniFileWinsAndFallsThroughToTheCandidates) {
  WriteTextFile(m_first, "[General]\r\nOnlyInCandidate=candidate\r\nBoth=candidate\r\n");
  WriteTextFile(m_named, "[General]\r\nBoth=named\r\n");
  ScopedEnvironmentVariable named(L"GLOBAL_SETTINGS_INI", m_named.c_str());
  EXPECT_EQ(Read(L"General", L"Both"), L"named");
  EXPECT_EQ(Read(L"General", L"OnlyInCandidate"), L"candidate");
}

TEST_F(GlobalSettingsTest, CandidatesAreReadInOrder) {
  WriteTextFile(m_first, "[ErrorHandling]\r\nMessageFile=first.dll\r\n");
  WriteTextFile(m_shared, "[ErrorHandling]\r\nMessageFile=shared.dll\r\nFallbackMessageFile=shared-fallback.dll\r\n");
  EXPECT_EQ(Read(L"ErrorHandling", L"MessageFile"), L"first.dll");
  EXPECT_EQ(Read(L"ErrorHandling", L"FallbackMessageFile"), L"shared-fallback.dll");
  EXPECT_EQ(Read(L"ErrorHandling", L"Missing"), kNotFoundText);
}

TEST_F(GlobalSettingsTest, EmptyIniValuesReadAsNotFound) {
  WriteTextFile(m_first, "[General]\r\nEmpty=\r\n");
  WriteTextFile(m_shared, "[General]\r\nEmpty=\r\n");
  EXPECT_EQ(Read(L"General", L"Empty"), kNotFoundText);
  EXPECT_EQ(m_settings.ReadSetting(L"General", L"Empty", L"fallback"), L"fallback");
  std::wstring value;
  EXPECT_FALSE(m_settings.TryReadSetting(L"General", L"Empty", value));
}

TEST_F(GlobalSettingsTest, NoSectionMeansGeneralAndLongValuesReadWhole) {
  const std::string longValue(700, 'v');
  WriteTextFile(m_first, "[General]\r\nKey=general\r\nLong=" + longValue + "\r\n");
  EXPECT_EQ(Read(nullptr, L"Key"), L"general");
  EXPECT_EQ(Read(L"", L"Key"), L"general");
  ScopedEnvironmentVariable variable(L"GS_General_FromEnvironment", L"env");
  EXPECT_EQ(Read(nullptr, L"FromEnvironment"), L"env");
  EXPECT_EQ(Read(nullptr, L"Long"), std::wstring(longValue.begin(), longValue.end()));
}

TEST_F(GlobalSettingsTest, IniEditsShowAtTheNextRead) {
  WriteTextFile(m_first, "[General]\r\nKey=one\r\n");
  EXPECT_EQ(Read(nullptr, L"Key"), L"one");
  WriteTextFile(m_first, "[General]\r\nKey=two\r\n");
  EXPECT_EQ(Read(nullptr, L"Key"), L"two");
}

TEST_F(GlobalSettingsTest, SectionCachesValuesAndMissingKeysUntilReloaded) {
  WriteTextFile(m_first, "[Logger]\r\nPath=first\r\n");
  SettingsSection section(m_settings, L"Logger", 0);
  std::wstring value;
  ASSERT_EQ(section.Read(L"Path", value), S_OK);
  EXPECT_EQ(value, L"first");
  EXPECT_EQ(section.Read(L"KeepOpenInterval", value), kNotFound);
  EXPECT_EQ(section.LoadCount(), 1u);

  WriteTextFile(m_first, "[Logger]\r\nPath=second\r\nKeepOpenInterval=0\r\n");
  EXPECT_EQ(section.Read(L"Path", L""), L"first");          // cached
  EXPECT_EQ(section.Read(L"KeepOpenInterval", L"-"), L"-");  // cached as missing
  EXPECT_EQ(section.Read(L"Path", L"", false), L"second");   // straight through
  section.Reload(true);  // interval 0: never stale by itself
  EXPECT_EQ(section.Read(L"Path", L""), L"first");
  section.Reload(false);
  EXPECT_EQ(section.LoadCount(), 2u);
  EXPECT_EQ(section.Read(L"Path", L""), L"second");
  EXPECT_EQ(section.Read(L"KeepOpenInterval", L"-"), L"0");
}

TEST_F(GlobalSettingsTest, SectionWithIntervalReloadsWhenStale) {
  WriteTextFile(m_first, "[General]\r\nKey=one\r\n");
  SettingsSection section(m_settings, L"General", 50);
  EXPECT_EQ(section.Read(L"Key", L""), L"one");
  WriteTextFile(m_first, "[General]\r\nKey=two\r\n");
  EXPECT_EQ(section.Read(L"Key", L""), L"one");
  ::Sleep(120);
  EXPECT_EQ(section.Read(L"Key", L""), L"two");
}

TEST(GlobalSettingsInstance, ReadsTheEnvironmentOfTheProcess) {
  ScopedEnvironmentVariable variable(L"GS_RuntimeTests_Probe", L"value");
  std::wstring value;
  EXPECT_EQ(GlobalSettings::Instance().ReadSetting(L"RuntimeTests", L"Probe", value), S_OK);
  EXPECT_EQ(value, L"value");
  EXPECT_EQ(GlobalSettings::Instance().ReadSetting(L"RuntimeTests", L"Absent", value), kNotFound);
}

class DataDirectoryTest : public GlobalSettingsTest {
 protected:
  std::wstring ModuleDirectory() const { return m_temp.Path() + L"\\module\\"; }
};

TEST_F(DataDirectoryTest, ConfiguredPathIsExpandedAndRelativeOnesFollowTheModule) {
  ScopedEnvironmentVariable base(L"KESTROVA_RT_DATA", m_temp.Path().c_str());
  struct Case {
    const wchar_t* configured;  // null: not set
    std::wstring expected;
  };
  const Case cases[] = {
      {nullptr, m_temp.Path() + L"\\module\\"},
      {L"Data", m_temp.Path() + L"\\module\\Data"},
      {L"%KESTROVA_RT_DATA%\\abs", m_temp.Path() + L"\\abs"},
  };
  for (const Case& c : cases) {
    ScopedEnvironmentVariable configured(L"GS_General_DataDirectoryPath", c.configured);
    EXPECT_EQ(CDataDirectory(m_settings, ModuleDirectory()).Path(), c.expected);
  }
}

TEST_F(DataDirectoryTest, RegistryOverrideRewritesRelativePaths) {
  TestRegistryKey key(L"Overrides");
  key.SetString(L"Logs", m_temp.Path() + L"\\override-logs");
  key.SetString(L"Cache\\Deep", L"%KESTROVA_RT_OVR%\\deep", REG_EXPAND_SZ);
  key.SetString(L"Relative", L"rel-target");
  ScopedEnvironmentVariable expansion(L"KESTROVA_RT_OVR", m_temp.Path().c_str());
  ScopedEnvironmentVariable dataPath(L"GS_General_DataDirectoryPath", (m_temp.Path() + L"\\data").c_str());
  ScopedEnvironmentVariable overrideKey(L"GS_General_DataDirectoryPathOverrideRegKey", key.PathFromRoot().c_str());
  const CDataDirectory directory(m_settings, ModuleDirectory());
  const std::wstring data = m_temp.Path() + L"\\data";
  struct Case {
    std::wstring path;
    std::wstring expected;
  };
  const Case cases[] = {
      {L"Logs\\", m_temp.Path() + L"\\override-logs"},
      {L"logs/Sub\\file.log", m_temp.Path() + L"\\override-logs\\Sub\\file.log"},  // elements match in any case
      {L"Cache\\Deep\\x", m_temp.Path() + L"\\deep\\x"},
      {L"Cache\\Other", data + L"\\Cache\\Other"},  // "Cache" alone is no key
      {L"Relative\\a", data + L"\\rel-target\\a"},  // a relative override still joins the data directory
      {L"Other\\Logs", data + L"\\Other\\Logs"},    // matched from the front only
      {m_temp.Path() + L"\\Logs", m_temp.Path() + L"\\Logs"},  // absolute: untouched
  };
  for (const Case& c : cases) EXPECT_EQ(directory.ResolvePath(c.path), c.expected) << c.path;
}

// Joined as the platform's combining joins, at any length, never relative.
TEST_F(DataDirectoryTest, RelativePathsJoinTheDataDirectoryAtAnyLength) {
  const std::wstring data = m_temp.Path() + L"\\data";
  ScopedEnvironmentVariable dataPath(L"GS_General_DataDirectoryPath", data.c_str());
  const CDataDirectory directory(m_settings, ModuleDirectory());
  std::wstring deep;
  while (deep.size() < 300) deep += L"a-long-folder-name\\";
  const std::wstring root = data.substr(0, 2);  // "C:" or the like
  EXPECT_EQ(directory.ResolvePath(deep + L"file.log"), data + L"\\" + deep + L"file.log");
  EXPECT_EQ(directory.ResolvePath(L"sub\\..\\other\\.\\f"), data + L"\\other\\f");
  EXPECT_EQ(directory.ResolvePath(L"\\at-the-root\\f"), root + L"\\at-the-root\\f");
  EXPECT_EQ(HresultOf([&] { directory.ResolvePath(L"C:drive-relative"); }), HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME));
}

TEST_F(DataDirectoryTest, MissingOverrideKeyLeavesPathsOnTheDataDirectory) {
  ScopedEnvironmentVariable dataPath(L"GS_General_DataDirectoryPath", (m_temp.Path() + L"\\data").c_str());
  ScopedEnvironmentVariable overrideKey(L"GS_General_DataDirectoryPathOverrideRegKey",
                                        L"HKCU\\Software\\KestrovaTests\\NoSuchKey");
  const CDataDirectory directory(m_settings, ModuleDirectory());
  EXPECT_EQ(directory.ResolvePath(L"Logs\\"), m_temp.Path() + L"\\data\\Logs\\");
}

}  // namespace
