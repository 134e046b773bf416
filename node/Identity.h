// Who and where: the process user and the host, as the module reports them.
#pragma once

#include "DXNodePtr.h"

#include <windows.h>

#include <cstdint>
#include <string>

namespace Identity {

// "DOMAIN\name", or the name alone when the domain is empty.
std::wstring GetAccountNameFromSid(PSID sid);
// The account of the current process token.
std::wstring GetProcessUserName();
// The fully qualified DNS name of this computer.
std::wstring GetHostName();

enum IdentityItems : uint32_t {
  kUserNameItem = 1,  // child item "UserName"
  kHostNameItem = 2,  // child item "HostName"
};
// Adds the identity items the mask asks for as child activity items of node.
void AddIdentityItems(const DXNodePtr& node, uint32_t mask);

}  // namespace Identity
