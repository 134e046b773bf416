// Access lists for what only the service may read: a protected list that
// grants full access to SYSTEM, the Administrators group and the process's
// own user, and nothing to anyone else; and the test of a folder that is to
// hold such files (no link, a trusted owner, no one else may write).
#pragma once

#include <windows.h>

#include <functional>
#include <string>

class CPrivateSecurity {
 public:
  enum class Kind { File, Folder };  // a folder's entries are inherited by what it holds

  // Raises HRX when the platform cannot build the descriptor.
  explicit CPrivateSecurity(Kind kind);
  ~CPrivateSecurity();
  CPrivateSecurity(const CPrivateSecurity&) = delete;
  CPrivateSecurity& operator=(const CPrivateSecurity&) = delete;

  SECURITY_ATTRIBUTES* Attributes() noexcept { return &m_attributes; }
  PSECURITY_DESCRIPTOR Descriptor() const noexcept { return m_descriptor; }
  PACL Dacl() const;

 private:
  PSECURITY_DESCRIPTOR m_descriptor = nullptr;
  SECURITY_ATTRIBUTES m_attributes{};
};

// Whether a folder may hold private files: it exists, is no reparse point
// (junction, symbolic link), is owned by SYSTEM, the Administrators group or
// the process's user, and grants no one else a right to write or change it.
// One owned right that lets others write is made private first (its own list
// only, *madePrivate set), when all it holds are entries ownsEntry accepts;
// a folder shared with other files is never rewritten. False, with the
// reason, when the folder cannot be used.
bool EnsurePrivateFolder(const std::wstring& folder, const std::function<bool(const std::wstring&)>& ownsEntry,
                         std::wstring& reason, bool* madePrivate = nullptr);

// Creates every missing folder along the path with the private access list
// (folders that exist are left as they are); raises HRX on failure.
void CreatePrivateDirectories(const std::wstring& folder);
