#include "node/ValueFormats.h"

#include "Sources/Common/ErrorHandling/HRES.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace ValueFormats;

constexpr GUID kId{0x0A1B2C3D, 0x4E5F, 0x6071, {0x82, 0x93, 0xA4, 0xB5, 0xC6, 0xD7, 0xE8, 0xF9}};

bool Same(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

TEST(GuidFromString, AcceptsTheThreeForms) {
  for (const wchar_t* text : {L"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}", L"0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9",
                              L"0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9", L"0A1B2C3D4E5F60718293A4B5C6D7E8F9"}) {
    GUID id{};
    EXPECT_EQ(GuidFromString(text, &id), S_OK) << text;
    EXPECT_TRUE(Same(id, kId)) << text;
  }
}

TEST(GuidFromString, RejectsShortScansAndNull) {
  for (const wchar_t* text : {L"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8}", L"0A1B2C3D-4E5F", L"", L"{}",
                              L"0A1B2C3D4E5F60718293A4B5C6D7", L"not a guid"}) {
    GUID id{};
    // A 32-digit text that runs short cannot fill the last fields.
    EXPECT_EQ(GuidFromString(text, &id), E_INVALIDARG) << text;
  }
  GUID id{};
  EXPECT_EQ(GuidFromString(nullptr, &id), E_INVALIDARG);
  EXPECT_THROW(GuidFromString(L"{bad}"), HRX);
  EXPECT_TRUE(Same(GuidFromString(L"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}"), kId));
}

TEST(GuidToString, PrintsEveryForm) {
  EXPECT_EQ(GuidToString(kId, GuidForm::Braced), L"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");
  EXPECT_EQ(GuidToString(kId, GuidForm::Digits), L"0A1B2C3D4E5F60718293A4B5C6D7E8F9");
  EXPECT_EQ(GuidToString(kId, GuidForm::Hyphenated), L"0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9");
  EXPECT_EQ(GuidToString(kId, GuidForm::HyphenatedLower), L"0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9");
  try {
    GuidToString(kId, 4);
    FAIL() << "form 4 printed";
  } catch (const HRX& failure) {
    EXPECT_EQ(failure.Code(), E_FAIL);
  }
  // Every printed form reads back.
  for (int form = 0; form < 4; ++form) EXPECT_TRUE(Same(GuidFromString(GuidToString(kId, form).c_str()), kId));
}

TEST(IsoTime, PrintsAndScansUtc) {
  const std::pair<int64_t, const wchar_t*> cases[] = {
      {0, L"1970-01-01T00:00:00Z"},
      {1700000000, L"2023-11-14T22:13:20Z"},
      {951782400, L"2000-02-29T00:00:00Z"},
      {4102444799, L"2099-12-31T23:59:59Z"},
  };
  for (const auto& [time, text] : cases) {
    EXPECT_EQ(TimeToIsoString(time), text);
    EXPECT_EQ(IsoStringToTime(text), time) << text;
  }
  // Fields that do not scan count as 0: the day 0 of a month is the last day of the one before.
  EXPECT_EQ(IsoStringToTime(L"2023-11"), IsoStringToTime(L"2023-10-31T00:00:00Z"));
}

}  // namespace
