#include "PrivateAccess.h"

#include "FileSystem.h"

#include "Sources/Common/ErrorHandling/ErrorReporting.h"
#include "Sources/Common/ErrorHandling/HRES.h"

#include <aclapi.h>
#include <sddl.h>

#include <cwchar>
#include <functional>
#include <memory>
#include <vector>

namespace {

constexpr ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | FILE_WRITE_EA |
                                     FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                     GENERIC_ALL;

struct LocalFreeDeleter {
  void operator()(void* block) const noexcept { ::LocalFree(block); }
};

// The process's own user, as a SID the caller owns.
std::vector<BYTE> ProcessUserSid() {
  HANDLE token = nullptr;
  ThrowIfFailed(HRES(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)));
  std::unique_ptr<void, decltype(&::CloseHandle)> owner(token, &::CloseHandle);
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  ThrowIfFailed(HRES(::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)));
  const PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
  std::vector<BYTE> copy(::GetLengthSid(sid));
  ThrowIfFailed(HRES(::CopySid(static_cast<DWORD>(copy.size()), copy.data(), sid)));
  return copy;
}

std::wstring SidText(PSID sid) {
  LPWSTR text = nullptr;
  ThrowIfFailed(HRES(::ConvertSidToStringSidW(sid, &text)));
  const std::unique_ptr<wchar_t, LocalFreeDeleter> owner(text);
  return text;
}

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
  BYTE buffer[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof(buffer);
  return ::CreateWellKnownSid(type, nullptr, buffer, &size) && ::EqualSid(sid, buffer);
}

bool IsTrusted(PSID sid, PSID user) {
  return ::EqualSid(sid, user) || IsWellKnown(sid, WinLocalSystemSid) || IsWellKnown(sid, WinBuiltinAdministratorsSid);
}


}  // namespace

CPrivateSecurity::CPrivateSecurity(Kind kind) {
  const std::vector<BYTE> user = ProcessUserSid();
  // P: protected, nothing inherited from above. FA: full access.
  const std::wstring inherit = kind == Kind::Folder ? L"OICI" : L"";
  const std::wstring sddl = L"D:P(A;" + inherit + L";FA;;;SY)(A;" + inherit + L";FA;;;BA)(A;" + inherit + L";FA;;;" +
                            SidText(const_cast<BYTE*>(user.data())) + L")";
  ThrowIfFailed(HRES(
      ::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &m_descriptor, nullptr)));
  m_attributes.nLength = sizeof(m_attributes);
  m_attributes.lpSecurityDescriptor = m_descriptor;
  m_attributes.bInheritHandle = FALSE;
}

CPrivateSecurity::~CPrivateSecurity() { ::LocalFree(m_descriptor); }

PACL CPrivateSecurity::Dacl() const {
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ThrowIfFailed(HRES(::GetSecurityDescriptorDacl(m_descriptor, &present, &dacl, &defaulted)));
  return dacl;
}

namespace {

std::wstring HexCode(uint32_t code) {
  wchar_t text[16];
  swprintf(text, 16, L"0x%08X", static_cast<unsigned>(code));
  return text;
}

// True when every entry of the folder is one ownsEntry accepts.
bool HoldsOnly(const std::wstring& path, const std::function<bool(const std::wstring&)>& ownsEntry) {
  WIN32_FIND_DATAW found{};
  const HANDLE search = ::FindFirstFileW((path + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  bool only = true;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L".." && !ownsEntry(name)) only = false;
  } while (only && ::FindNextFileW(search, &found));
  ::FindClose(search);
  return only;
}

}  // namespace

bool EnsurePrivateFolder(const std::wstring& folder, const std::function<bool(const std::wstring&)>& ownsEntry,
                         std::wstring& reason, bool* madePrivate) {
  if (madePrivate != nullptr) *madePrivate = false;
  try {
    const std::wstring path = ExtendedLengthPath(folder);
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      reason = L"it is not a folder";
      return false;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      reason = L"it is a link (a reparse point)";
      return false;
    }
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD read = ::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                                               OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                                               &dacl, nullptr, &descriptor);
    if (read != ERROR_SUCCESS) ThrowHr(HrFromWin32(static_cast<LONG>(read)));
    const std::unique_ptr<void, LocalFreeDeleter> descriptorOwner(descriptor);
    std::vector<BYTE> user = ProcessUserSid();
    if (owner == nullptr || !IsTrusted(owner, user.data())) {
      reason = L"its owner is not SYSTEM, the Administrators group or this process's user";
      return false;
    }
    // Fails closed: no list (everyone may do anything), an entry that cannot
    // be read, or an allowing entry of a kind not read here counts as others
    // who may write; denying and audit entries grant nothing.
    bool othersMayWrite = dacl == nullptr;
    for (DWORD index = 0; dacl != nullptr && index < dacl->AceCount && !othersMayWrite; ++index) {
      ACE_HEADER* header = nullptr;
      if (!::GetAce(dacl, index, reinterpret_cast<void**>(&header))) {
        othersMayWrite = true;
        break;
      }
      if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
      if (header->AceType == ACCESS_DENIED_ACE_TYPE || header->AceType == SYSTEM_AUDIT_ACE_TYPE) continue;
      if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
        othersMayWrite = true;
        break;
      }
      auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
      const PSID sid = reinterpret_cast<PSID>(&allowed->SidStart);
      if ((allowed->Mask & kWriteRights) != 0 && !IsTrusted(sid, user.data())) othersMayWrite = true;
    }
    if (!othersMayWrite) return true;
    // Owned right but open to others (as a landed version left the folder it
    // made): made private, so that the store goes on, but only a folder that
    // holds nothing but the storage's own files. A folder shared with other
    // software (ProgramData, a drive's root) is the platform's or theirs.
    if (!HoldsOnly(path, ownsEntry)) {
      reason = L"others may write to it, and it holds files of others, so it is not made private";
      return false;
    }
    // The folder's own list only: nothing is pushed down to what it holds.
    const CPrivateSecurity security(CPrivateSecurity::Kind::Folder);
    if (!::SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                            security.Descriptor())) {
      reason = L"others may write to it and it cannot be made private (" + HexCode(HrFromLastError()) + L")";
      return false;
    }
    if (madePrivate != nullptr) *madePrivate = true;
    return true;
  } catch (...) {
    reason = L"its access cannot be read (" + HexCode(static_cast<uint32_t>(CurrentFailure().Code())) + L")";
    return false;
  }
}

void CreatePrivateDirectories(const std::wstring& folder) {
  CPrivateSecurity security(CPrivateSecurity::Kind::Folder);
  CreateDirectories(folder, security.Attributes());
}
