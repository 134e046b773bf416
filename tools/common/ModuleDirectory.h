// The folder of the running executable, with a trailing backslash: the tool
// loads the module and its libraries from there, as a host does.
#pragma once

#include <string>

namespace KestrovaTools {

std::wstring ModuleDirectory();

}  // namespace KestrovaTools
