#include "Sources/Common/ErrorHandling/HRES.h"

#include <gtest/gtest.h>

#include <oleauto.h>

#include <cstdint>

namespace {

TEST(HrFromWin32, MapsPositiveErrorsAndPassesTheRestThrough) {
  struct Case {
    LONG error;
    uint32_t expected;
  };
  const Case cases[] = {
      {5, 0x80070005u},        {0, 0u},
      {0x12345, 0x80072345u},  {static_cast<LONG>(0x80004005u), 0x80004005u},
      {-1, 0xFFFFFFFFu},       {ERROR_NOT_FOUND, 0x80070490u},
  };
  for (const Case& c : cases) EXPECT_EQ(static_cast<uint32_t>(HrFromWin32(c.error)), c.expected) << c.error;
}

TEST(Hres, Win32ResultsReadTheLastError) {
  // A failure that left no last error is still a failure, never S_OK.
  ::SetLastError(0);
  HRES fromFalseWithoutError(FALSE);
  EXPECT_EQ(fromFalseWithoutError.Code(), E_FAIL);
  EXPECT_NE(fromFalseWithoutError.Sites()[0], nullptr);
  ::SetLastError(0);
  EXPECT_THROW(HRX{FALSE}, HRX);
  ::SetLastError(0);
  EXPECT_EQ(HrFromLastError(), E_FAIL);
  ::SetLastError(ERROR_SHARING_VIOLATION);
  EXPECT_EQ(HrFromLastError(), HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION));

  ::SetLastError(ERROR_ACCESS_DENIED);
  HRES fromFalse(false);
  EXPECT_EQ(fromFalse.Code(), E_ACCESSDENIED);
  EXPECT_TRUE(fromFalse.Failed());

  ::SetLastError(ERROR_ACCESS_DENIED);
  HRES fromTrue(TRUE);
  EXPECT_EQ(fromTrue.Code(), S_OK);

  ::SetLastError(ERROR_FILE_NOT_FOUND);
  try {
    HRX result;
    result = FALSE;
    FAIL() << "a false BOOL with a last error must throw";
  } catch (const HRX& failure) {
    EXPECT_EQ(static_cast<uint32_t>(failure.Code()), 0x80070002u);
  }
}

TEST(Hres, SuccessAfterFailureKeepsNoCallSites) {
  HRES result = E_FAIL;
  EXPECT_NE(result.Sites()[0], nullptr);
  result = S_FALSE;
  EXPECT_FALSE(result.Failed());
  EXPECT_EQ(result.Code(), S_FALSE);
  EXPECT_EQ(result.Sites()[0], nullptr);
  EXPECT_EQ(result.Sites()[1], nullptr);
}

TEST(Hrx, ThrowsOnlyFailures) {
  EXPECT_NO_THROW(HRX{S_FALSE});
  EXPECT_NO_THROW(HRX{true});
  EXPECT_NO_THROW(ThrowIfFailed(HRES(S_OK)));
  EXPECT_THROW(HRX{E_OUTOFMEMORY}, HRX);
  // A thrown HRX is caught as its base as well.
  EXPECT_THROW(HRX{E_OUTOFMEMORY}, HRES);
  EXPECT_THROW(ThrowIfFailed(HRES(E_UNEXPECTED)), HRX);

  HRX assigned;
  EXPECT_NO_THROW(assigned = S_OK);
  EXPECT_THROW(assigned = E_ABORT, HRX);
}

TEST(ThrowHr, ThrowsTheCodeOrEFailForSuccess) {
  const struct {
    HRESULT given;
    HRESULT thrown;
  } cases[] = {{E_INVALIDARG, E_INVALIDARG}, {S_OK, E_FAIL}, {S_FALSE, E_FAIL}, {E_OUTOFMEMORY, E_OUTOFMEMORY}};
  for (const auto& c : cases) {
    try {
      ThrowHr(c.given);
      ADD_FAILURE() << "ThrowHr returned";
    } catch (const HRX& failure) {
      EXPECT_EQ(failure.Code(), c.thrown);
    }
  }
}

// Call sites: the function that set the failing code and its caller. Each
// setter notes its own return address, which is the expected second site.
#define KESTROVA_NOINLINE [[gnu::noinline]]

void* g_setterReturnAddress = nullptr;

bool Within(void* address, const void* function) {
  const auto a = reinterpret_cast<uintptr_t>(address);
  const auto f = reinterpret_cast<uintptr_t>(function);
  return a > f && a < f + 256;
}

KESTROVA_NOINLINE HRES SetByConstruction() {
  g_setterReturnAddress = __builtin_return_address(0);
  HRES result(E_ACCESSDENIED);
  return result;
}
KESTROVA_NOINLINE HRES SetByAssignment() {
  g_setterReturnAddress = __builtin_return_address(0);
  HRES result;
  result = E_ACCESSDENIED;
  return result;
}
KESTROVA_NOINLINE HRES SetByHrx() {
  g_setterReturnAddress = __builtin_return_address(0);
  try {
    HRX result(E_ACCESSDENIED);
  } catch (const HRX& failure) {
    return failure;
  }
  return HRES();
}
KESTROVA_NOINLINE HRES SetByHrxAssignment() {
  g_setterReturnAddress = __builtin_return_address(0);
  try {
    HRX result(S_OK);
    result = E_ACCESSDENIED;
  } catch (const HRX& failure) {
    return failure;
  }
  return HRES();
}
KESTROVA_NOINLINE HRES SetByWin32Result() {
  g_setterReturnAddress = __builtin_return_address(0);
  ::SetLastError(ERROR_ACCESS_DENIED);
  HRES result(FALSE);
  return result;
}
KESTROVA_NOINLINE HRES SetByThrowHr() {
  g_setterReturnAddress = __builtin_return_address(0);
  try {
    ThrowHr(E_ACCESSDENIED);
  } catch (const HRX& failure) {
    return failure;
  }
}

TEST(Hres, RecordsTheSetterAndItsCaller) {
  struct Case {
    const char* name;
    HRES (*setter)();
  };
  const Case cases[] = {
      {"construction", &SetByConstruction},   {"assignment", &SetByAssignment},
      {"HRX construction", &SetByHrx},        {"HRX assignment", &SetByHrxAssignment},
      {"Win32 result", &SetByWin32Result},    {"ThrowHr", &SetByThrowHr},
  };
  for (const Case& c : cases) {
    const HRES result = c.setter();
    EXPECT_EQ(result.Code(), E_ACCESSDENIED) << c.name;
    EXPECT_TRUE(Within(result.Sites()[0], reinterpret_cast<const void*>(c.setter)))
        << c.name << ": " << result.Sites()[0];
    EXPECT_EQ(result.Sites()[1], g_setterReturnAddress) << c.name;
  }
}

Microsoft::WRL::ComPtr<IErrorInfo> PublishErrorObject(const wchar_t* description) {
  Microsoft::WRL::ComPtr<ICreateErrorInfo> creator;
  EXPECT_EQ(::CreateErrorInfo(&creator), S_OK);
  creator->SetDescription(const_cast<LPOLESTR>(description));
  Microsoft::WRL::ComPtr<IErrorInfo> errorObject;
  EXPECT_EQ(creator.As(&errorObject), S_OK);
  EXPECT_EQ(::SetErrorInfo(0, errorObject.Get()), S_OK);
  return errorObject;
}

TEST(Hres, FailureTakesTheThreadErrorObjectOver) {
  const auto published = PublishErrorObject(L"from a callee");
  HRES result = E_FAIL;
  ASSERT_EQ(result.ErrorObject(), published.Get());

  IErrorInfo* left = nullptr;
  EXPECT_EQ(::GetErrorInfo(0, &left), S_FALSE) << "the thread's error object is consumed";

  // Copies share the object and each holds one reference of its own.
  auto references = [&] {
    published.Get()->AddRef();
    return published.Get()->Release();
  };
  const ULONG heldByResult = references();
  {
    HRES copy = result;
    EXPECT_EQ(copy.ErrorObject(), published.Get());
    EXPECT_EQ(references(), heldByResult + 1);
  }
  EXPECT_EQ(references(), heldByResult);
  result = S_OK;
  EXPECT_EQ(result.ErrorObject(), nullptr);
  EXPECT_EQ(references(), heldByResult - 1);
}

TEST(Hres, SuccessAndWin32FailuresLeaveTheThreadErrorObject) {
  const auto published = PublishErrorObject(L"unrelated");
  HRES success = S_OK;
  ::SetLastError(ERROR_ACCESS_DENIED);
  HRES win32Failure = FALSE;
  EXPECT_EQ(success.ErrorObject(), nullptr);
  EXPECT_EQ(win32Failure.ErrorObject(), nullptr);
  IErrorInfo* left = nullptr;
  ASSERT_EQ(::GetErrorInfo(0, &left), S_OK);
  EXPECT_EQ(left, published.Get());
  left->Release();
}

}  // namespace
