// Readable texts for HRESULTs: "0x%08X text".
#pragma once

#include <windows.h>

#include <string>

namespace KestrovaTools::FailureText {

// The code and its message text from the system's message table, or from the
// module's message file CoreErrorMessages.dll beside the tool; the code
// alone when neither knows it.
std::wstring Describe(HRESULT hr);

// The failure of a call into the module: the description of the error object
// the module published for this thread (GetErrorInfo), when there is one for
// this code, else Describe(hr). The module's description has the form
// "0x%08X text [call sites]"; the call sites go on a line of their own.
std::wstring DescribeModuleFailure(HRESULT hr);

}  // namespace KestrovaTools::FailureText
