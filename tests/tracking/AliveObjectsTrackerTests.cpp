// The alive-object tracker with settings of its own, writing to a capturing
// logger of the process-wide log manager.
#include "Sources/Common/Components/DbgAliveObjectsTracker.h"

#include "logging/LogManager.h"
#include "runtime/RuntimeTestSupport.h"

#include <gtest/gtest.h>

#include <cwctype>
#include <sstream>
#include <string>
#include <vector>

namespace {

using RuntimeTest::ScopedCapture;
using RuntimeTest::ScopedEnvironmentVariable;

constexpr char kTagA[] = "CComponentObject<class A>::CComponentObject";
constexpr char kTagB[] = "CComponentObject<class B>::CComponentObject";

// The text after the last "] " of a formatted line (the statement's own text).
std::wstring TextOf(const std::wstring& line) {
  std::wstring text = line;
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
  const size_t at = text.find(L"ObjTag=");
  if (at != std::wstring::npos) return text.substr(at);
  const size_t count = text.find(L"Alive component objects: ");
  return count != std::wstring::npos ? text.substr(count) : text;
}

std::vector<std::wstring> Texts(const ScopedCapture& capture) {
  std::vector<std::wstring> texts;
  for (const std::wstring& line : capture.Lines()) texts.push_back(TextOf(line));
  return texts;
}

std::vector<std::wstring> Split(const std::wstring& text, wchar_t separator) {
  std::vector<std::wstring> parts;
  size_t start = 0;
  for (size_t end; (end = text.find(separator, start)) != std::wstring::npos; start = end + 1)
    parts.push_back(text.substr(start, end - start));
  parts.push_back(text.substr(start));
  return parts;
}

std::wstring PointerText(const void* pointer) {
  std::wostringstream stream;
  stream << pointer;
  return stream.str();
}

class AliveObjectsTrackerTest : public ::testing::Test {
 protected:
  AliveObjectsTrackerTest() : m_severity(L"GS_Logger_MaxSeverity", L"WARN") {
    LogManager::Instance().RefreshSettings();
  }
  ~AliveObjectsTrackerTest() override { LogManager::Instance().RefreshSettings(); }

  ScopedEnvironmentVariable m_severity;
  ScopedCapture m_capture;
  // Addresses in a known order, standing in for objects.
  char m_objects[3] = {};
};

TEST_F(AliveObjectsTrackerTest, DisabledTrackerRecordsAndWritesNothing) {
  DbgAliveObjectsTracker tracker(false, 0);
  tracker.Register(&m_objects[0], kTagA);
  EXPECT_EQ(tracker.Count(), 0u);
  tracker.Dump();
  tracker.Unregister(&m_objects[0]);
  EXPECT_TRUE(m_capture.Lines().empty());
}

TEST_F(AliveObjectsTrackerTest, DumpListsObjectsInAddressOrder) {
  DbgAliveObjectsTracker tracker(true, 0);
  tracker.Register(&m_objects[2], kTagB);
  tracker.Register(&m_objects[0], kTagA);
  tracker.Register(&m_objects[0], kTagB);  // already recorded: the first record stays
  tracker.Unregister(&m_objects[1]);       // never recorded: nothing happens
  EXPECT_EQ(tracker.Count(), 2u);
  tracker.Dump();

  const std::vector<std::wstring> texts = Texts(m_capture);
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[0], L"Alive component objects: 2");
  const std::wstring prefixA =
      L"ObjTag='CComponentObject<class A>::CComponentObject' Ptr=" + PointerText(&m_objects[0]);
  const std::wstring prefixB =
      L"ObjTag='CComponentObject<class B>::CComponentObject' Ptr=" + PointerText(&m_objects[2]);
  EXPECT_EQ(texts[1].rfind(prefixA + L" EIPs=", 0), 0u) << texts[1];
  EXPECT_EQ(texts[2].rfind(prefixB + L" EIPs=", 0), 0u) << texts[2];
  for (const std::wstring& text : {texts[1], texts[2]}) {
    const std::wstring eips = text.substr(text.find(L" EIPs=") + 6);
    const std::vector<std::wstring> addresses = Split(eips, L';');
    EXPECT_EQ(addresses.size(), 4u) << eips;
    EXPECT_NE(eips.back(), L';');
    for (const std::wstring& address : addresses) {
      EXPECT_FALSE(address.empty()) << eips;
      for (wchar_t c : address) EXPECT_TRUE(std::iswxdigit(c) || c == L'x' || c == L'X') << eips;
    }
  }

  m_capture.Clear();
  tracker.Unregister(&m_objects[0]);
  tracker.Unregister(&m_objects[2]);
  tracker.Dump();
  EXPECT_TRUE(m_capture.Lines().empty()) << "no records, no lines";
}

TEST_F(AliveObjectsTrackerTest, NothingIsWrittenWithoutWarn) {
  ScopedEnvironmentVariable quiet(L"GS_Logger_MaxSeverity", L"ERR");
  LogManager::Instance().RefreshSettings();
  DbgAliveObjectsTracker tracker(true, 0);
  tracker.Register(&m_objects[0], kTagA);
  tracker.Dump();
  EXPECT_TRUE(m_capture.Lines().empty());
}

TEST(AliveObjectsAddresses, FourAddressesJoinedWithoutATrailingSeparator) {
  int a = 0, b = 0;
  const DbgAliveObjectsTracker::ReturnAddresses addresses{&a, nullptr, &b, &a};
  const std::vector<std::wstring> parts = Split(DbgAliveObjectsTracker::AddressesText(addresses), L';');
  ASSERT_EQ(parts.size(), 4u);
  EXPECT_EQ(parts[0], parts[3]);
  EXPECT_NE(parts[0], parts[2]);
  wchar_t expected[40] = {};
  std::swprintf(expected, 40, L"%#p", static_cast<void*>(&b));
  EXPECT_EQ(parts[2], expected);
}

// Registers from one fixed place, so that both trackers see the same stack.
__attribute__((noinline)) void RegisterFromHere(DbgAliveObjectsTracker& tracker, const void* object) {
  tracker.Register(object, kTagA);
  asm volatile("");  // keeps the call above from becoming a tail call
}

std::vector<std::wstring> CapturedAddresses(const ScopedCapture& capture) {
  const std::vector<std::wstring> texts = Texts(capture);
  if (texts.size() != 2) return {};
  return Split(texts[1].substr(texts[1].find(L" EIPs=") + 6), L';');
}

TEST_F(AliveObjectsTrackerTest, FramesToSkipDropTheInnermostCallers) {
  DbgAliveObjectsTracker plain(true, 0);
  DbgAliveObjectsTracker skipping(true, 1);
  for (DbgAliveObjectsTracker* tracker : {&plain, &skipping}) RegisterFromHere(*tracker, &m_objects[0]);

  plain.Dump();
  const std::vector<std::wstring> plainAddresses = CapturedAddresses(m_capture);
  m_capture.Clear();
  skipping.Dump();
  const std::vector<std::wstring> skippedAddresses = CapturedAddresses(m_capture);
  ASSERT_EQ(plainAddresses.size(), 4u);
  ASSERT_EQ(skippedAddresses.size(), 4u);
  // The first captured frame is the caller of Register; one more skipped
  // frame starts one caller further out. (The test body's own frame differs
  // between the two calls when the loop is unrolled; the frames outside it
  // do not.)
  EXPECT_NE(skippedAddresses[0], plainAddresses[0]);
  EXPECT_EQ(skippedAddresses[1], plainAddresses[2]);
  EXPECT_EQ(skippedAddresses[2], plainAddresses[3]);
}

}  // namespace
