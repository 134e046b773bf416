#include "Identity.h"

#include "Sources/Common/ErrorHandling/HRES.h"
#include "Sources/Subsystems/UsageStatistics/Kestrova/ActivityFrame.h"

#include <memory>
#include <vector>

namespace Identity {

namespace {

struct HandleCloser {
  void operator()(HANDLE handle) const noexcept { ::CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

struct HeapFreer {
  void operator()(void* block) const noexcept { ::HeapFree(::GetProcessHeap(), 0, block); }
};

constexpr DWORD kAccountBuffer = 256;

}  // namespace

std::wstring GetAccountNameFromSid(PSID sid) {
  std::vector<wchar_t> name(kAccountBuffer);
  std::vector<wchar_t> domain(kAccountBuffer);
  DWORD nameSize = kAccountBuffer;
  DWORD domainSize = kAccountBuffer;
  SID_NAME_USE use{};
  if (!::LookupAccountSidW(nullptr, sid, name.data(), &nameSize, domain.data(), &domainSize, &use)) {
    const DWORD error = ::GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER) ThrowHr(HrFromWin32(static_cast<LONG>(error)));
    // The first call reported the sizes it needs.
    name.resize(nameSize);
    domain.resize(domainSize);
    ThrowIfFailed(HRES(::LookupAccountSidW(nullptr, sid, name.data(), &nameSize, domain.data(), &domainSize, &use)));
  }
  const std::wstring account(name.data());
  const std::wstring domainName(domain.data());
  return domainName.empty() ? account : domainName + L"\\" + account;
}

std::wstring GetProcessUserName() {
  HANDLE rawToken = nullptr;
  ThrowIfFailed(HRES(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &rawToken)));
  const UniqueHandle token(rawToken);

  DWORD size = 0;
  if (!::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size) &&
      ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    ThrowHr(HrFromLastError());
  }
  std::unique_ptr<void, HeapFreer> user(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, size));
  if (!user) ThrowHr(E_OUTOFMEMORY);
  ThrowIfFailed(HRES(::GetTokenInformation(token.get(), TokenUser, user.get(), size, &size)));
  return GetAccountNameFromSid(static_cast<TOKEN_USER*>(user.get())->User.Sid);
}

std::wstring GetHostName() {
  std::vector<wchar_t> buffer(128);
  while (true) {
    DWORD size = static_cast<DWORD>(buffer.size());
    if (::GetComputerNameExW(ComputerNameDnsFullyQualified, buffer.data(), &size))
      return std::wstring(buffer.data(), size);
    const DWORD error = ::GetLastError();
    if ((error != ERROR_INSUFFICIENT_BUFFER && error != ERROR_MORE_DATA) || size <= buffer.size()) {
      ThrowHr(HrFromWin32(static_cast<LONG>(error)));
    }
    buffer.resize(size);
  }
}

void AddIdentityItems(const DXNodePtr& node, uint32_t mask) {
  if (mask & kUserNameItem) node.AddChild(UsageStatistics::MakeActivityItem(L"UserName", GetProcessUserName()));
  if (mask & kHostNameItem) node.AddChild(UsageStatistics::MakeActivityItem(L"HostName", GetHostName()));
}

}  // namespace Identity
