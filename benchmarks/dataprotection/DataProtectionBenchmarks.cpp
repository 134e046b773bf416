// Measures the transient storage file: export (encrypt every attribute,
// serialize, move into place) and import (read, decrypt, queue, delete) of
// 10^3 and 10^4 activity frames of 5 attributes each, with the file size and
// the share of the time spent inside CryptProtectData / CryptUnprotectData.
// The two platform calls are timed exactly: their import-table entries in
// this program are pointed at timing wrappers.
#include "Sources/General/DataEncryption/NodeEncryptorImpl.h"
#include "Sources/Subsystems/UsageStatistics/Common/TransientStorage.h"
#include "logging/LogManager.h"
#include "logging/LogSeverity.h"

#include <windows.h>
// after windows.h
#include <dpapi.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

int64_t Now() {
  LARGE_INTEGER now{};
  ::QueryPerformanceCounter(&now);
  return now.QuadPart;
}

double Milliseconds(int64_t ticks) {
  LARGE_INTEGER frequency{};
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(ticks) * 1e3 / static_cast<double>(frequency.QuadPart);
}

// Time spent inside the platform's data protection calls, and their count.
int64_t g_protectionTicks = 0;
int64_t g_protectionCalls = 0;

using ProtectFunction = BOOL(WINAPI*)(DATA_BLOB*, LPCWSTR, DATA_BLOB*, PVOID, CRYPTPROTECT_PROMPTSTRUCT*, DWORD,
                                      DATA_BLOB*);
using UnprotectFunction = BOOL(WINAPI*)(DATA_BLOB*, LPWSTR*, DATA_BLOB*, PVOID, CRYPTPROTECT_PROMPTSTRUCT*, DWORD,
                                        DATA_BLOB*);
ProtectFunction g_protect = nullptr;
UnprotectFunction g_unprotect = nullptr;

BOOL WINAPI TimedProtect(DATA_BLOB* in, LPCWSTR description, DATA_BLOB* entropy, PVOID reserved,
                         CRYPTPROTECT_PROMPTSTRUCT* prompt, DWORD flags, DATA_BLOB* out) {
  const int64_t start = Now();
  const BOOL result = g_protect(in, description, entropy, reserved, prompt, flags, out);
  g_protectionTicks += Now() - start;
  ++g_protectionCalls;
  return result;
}

BOOL WINAPI TimedUnprotect(DATA_BLOB* in, LPWSTR* description, DATA_BLOB* entropy, PVOID reserved,
                           CRYPTPROTECT_PROMPTSTRUCT* prompt, DWORD flags, DATA_BLOB* out) {
  const int64_t start = Now();
  const BOOL result = g_unprotect(in, description, entropy, reserved, prompt, flags, out);
  g_protectionTicks += Now() - start;
  ++g_protectionCalls;
  return result;
}

// Points this program's import of module!name at replacement; returns the original.
void* PatchImport(const char* module, const char* name, void* replacement) {
  auto* base = reinterpret_cast<uint8_t*>(::GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  void* const target = reinterpret_cast<void*>(::GetProcAddress(::LoadLibraryA(module), name));
  for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress); entry->Name != 0;
       ++entry) {
    if (_stricmp(reinterpret_cast<const char*>(base + entry->Name), module) != 0) continue;
    for (auto* thunk = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk); thunk->u1.Function != 0;
         ++thunk) {
      if (reinterpret_cast<void*>(thunk->u1.Function) != target) continue;
      DWORD protection = 0;
      ::VirtualProtect(&thunk->u1.Function, sizeof(void*), PAGE_READWRITE, &protection);
      thunk->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
      ::VirtualProtect(&thunk->u1.Function, sizeof(void*), protection, &protection);
      return target;
    }
  }
  std::printf("import %s!%s not found\n", module, name);
  ::ExitProcess(1);
}

// Frames as the snapshot entries make them: name, value, who, how, and a failure counter.
std::vector<DXNodePtr> Frames(int count) {
  std::vector<DXNodePtr> frames;
  frames.reserve(count);
  for (int i = 0; i < count; ++i) {
    DXNodePtr frame = DXNodePtr::Create(nullptr, L"UsageActivityFrame");
    frame.SetString(L"Name", L"Settings.Policies.Item" + std::to_wstring(i % 50));
    frame.SetString(L"Value", L"{6B29FC40-CA47-1067-B31D-00DD010662DA}");
    frame.SetString(L"ModifiedBy", L"CONTOSO\\administrator");
    frame.SetString(L"ChangeType", L"Modified");
    frame.SetInt64(L"FailureCounter", i % 3);
    frames.push_back(std::move(frame));
  }
  return frames;
}

int64_t FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

struct Measure {
  double milliseconds = 0;
  double protectionMilliseconds = 0;
  int64_t protectionCalls = 0;
};

template <typename Action>
Measure Time(Action&& action) {
  g_protectionTicks = 0;
  g_protectionCalls = 0;
  const int64_t start = Now();
  action();
  return {Milliseconds(Now() - start), Milliseconds(g_protectionTicks), g_protectionCalls};
}

void Report(const char* what, const Measure& measure, int attributes) {
  std::printf("  %-7s %10.1f ms  %8.2f us/attribute  platform calls %6lld: %10.1f ms (%4.1f%%)\n", what,
              measure.milliseconds, measure.milliseconds * 1e3 / attributes,
              static_cast<long long>(measure.protectionCalls), measure.protectionMilliseconds,
              100.0 * measure.protectionMilliseconds / measure.milliseconds);
}

}  // namespace

int main() {
  g_protect = reinterpret_cast<ProtectFunction>(
      PatchImport("crypt32.dll", "CryptProtectData", reinterpret_cast<void*>(&TimedProtect)));
  g_unprotect = reinterpret_cast<UnprotectFunction>(
      PatchImport("crypt32.dll", "CryptUnprotectData", reinterpret_cast<void*>(&TimedUnprotect)));

  wchar_t temp[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, temp);
  const std::wstring path =
      std::wstring(temp) + L"kestrova-bench-" + std::to_wstring(::GetCurrentProcessId()) + L"\\pending.dat";
  const DataEncryption::CNodeEncryptor encryptor = DataEncryption::CNodeEncryptor::EncryptAll();
  UsageStatistics::Detail::CTransientStorage storage(path, encryptor);

  std::printf("Transient storage, frames of 5 attributes, log severity %ls (no logger registered)\n",
              SeverityName(LogManager::Instance().MaxSeverity()));
  for (const int count : {1000, 10000}) {
    const int attributes = count * 5;
    std::vector<DXNodePtr> frames = Frames(count);
    const Measure exported = Time([&] { storage.ExportPending(frames); });
    const int64_t size = FileSize(path);
    std::vector<DXNodePtr> queue;
    std::recursive_mutex lock;
    const Measure imported = Time([&] { storage.ImportPending(queue, lock); });
    if (size < 0 || queue.size() != static_cast<size_t>(count)) {
      std::printf("round trip failed: size %lld, %zu frames back\n", static_cast<long long>(size), queue.size());
      return 1;
    }
    std::printf("%d frames (%d attributes), file %lld bytes (%.1f bytes/attribute)\n", count, attributes,
                static_cast<long long>(size), static_cast<double>(size) / attributes);
    Report("export", exported, attributes);
    Report("import", imported, attributes);
  }
  ::RemoveDirectoryW(path.substr(0, path.find_last_of(L'\\')).c_str());
  return 0;
}
