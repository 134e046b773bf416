#include "ErrorText.h"
#include "Sources/Common/Lifetime/NoDestroy.h"

#include "ErrorMessageModules.h"

#include <map>
#include <mutex>
#include <shared_mutex>

namespace {
constexpr wchar_t kNoDescription[] = L"<no description>";
constexpr uint32_t kFirstInterfaceCode = 0x80040200u;
constexpr uint32_t kEndOfInterfaceCodes = 0x80050000u;
constexpr uint32_t kWin32Facility = 7;

// Process-wide map from code to text; read under the shared lock.
class ErrorTextCache {
 public:
  static ErrorTextCache& Instance() {
    static NoDestroy<ErrorTextCache> cache;
    return cache.Get();
  }

  bool Find(HRESULT hr, std::wstring& text) const {
    if (!m_enabled) return false;
    std::shared_lock guard(m_lock);
    const auto found = m_texts.find(hr);
    if (found == m_texts.end()) return false;
    text = found->second;
    return true;
  }

  void Insert(HRESULT hr, const std::wstring& text) {
    if (!m_enabled) return;
    std::unique_lock guard(m_lock);
    m_texts.try_emplace(hr, text);
  }

 private:
  const bool m_enabled = true;
  mutable std::shared_mutex m_lock;
  std::map<HRESULT, std::wstring> m_texts;
};

// One FormatMessageW lookup: the user's language first, then the platform's own order.
bool LookUpMessage(DWORD source, HMODULE module, DWORD code, std::wstring& text) {
  const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | source;
  for (const LANGID language : {::GetUserDefaultLangID(), LANGID{0}}) {
    wchar_t* buffer = nullptr;
    const DWORD length =
        ::FormatMessageW(flags, module, code, language, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    if (length != 0 && buffer != nullptr) {
      text.assign(buffer, length);
      ::LocalFree(buffer);
      return true;
    }
    if (buffer != nullptr) ::LocalFree(buffer);
  }
  return false;
}

bool LookUpInModules(std::span<const HMODULE> modules, DWORD code, std::wstring& text) {
  for (const HMODULE module : modules) {
    if (LookUpMessage(FORMAT_MESSAGE_FROM_HMODULE, module, code, text)) return true;
  }
  return false;
}

std::wstring Lookup(HRESULT hr, const ErrorMessageModules* modules) {
  const uint32_t code = static_cast<uint32_t>(hr);
  std::wstring text;
  bool found = false;
  if (modules != nullptr && code >= kFirstInterfaceCode && code < kEndOfInterfaceCodes) {
    found = LookUpInModules(modules->Primary(), code, text);
  }
  const uint32_t candidates[] = {code, code & 0xFFFFu};
  const size_t candidateCount = ((code >> 16) & 0x1FFFu) == kWin32Facility ? 2 : 1;
  for (size_t i = 0; i < candidateCount && !found; ++i) {
    found = LookUpMessage(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, candidates[i], text) ||
            (modules != nullptr && LookUpInModules(modules->Fallback(), candidates[i], text));
  }
  if (!found) text = kNoDescription;
  while (!text.empty() && (text.back() == L' ' || text.back() == L'.' || text.back() == L'\r' || text.back() == L'\n')) {
    text.pop_back();
  }
  return text;
}
}  // namespace

std::wstring LookupErrorText(HRESULT hr, const ErrorMessageModules& modules) { return Lookup(hr, &modules); }

std::wstring GetErrorText(HRESULT hr) {
  // While this thread loads the module lists, they are not there to ask,
  // and a text found without them is not cached.
  if (ErrorMessageModules::LoadingOnThisThread()) return Lookup(hr, nullptr);
  ErrorTextCache& cache = ErrorTextCache::Instance();
  std::wstring text;
  if (cache.Find(hr, text)) return text;
  text = Lookup(hr, &ErrorMessageModules::Instance());
  cache.Insert(hr, text);
  return text;
}

void TouchErrorTextCache() { ErrorTextCache::Instance(); }
