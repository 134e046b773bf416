// The text at the top of every new log file, and the default log file name.
#pragma once

#include <windows.h>

#include <string>

// Module path, load address, version, description, process path, id and
// command line between two lines of 100 asterisks. Throws HRX when a module
// path cannot be read.
std::wstring BuildModuleBanner(HMODULE module, const std::wstring& description);
// The module's file name without directory and last extension, plus ".log".
std::wstring DefaultLogFileName(HMODULE module);
// 16 upper-case hexadecimal digits, as "%p" prints an address on x64.
std::wstring PointerText(const void* address);
