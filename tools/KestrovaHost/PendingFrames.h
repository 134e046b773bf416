// The transient storage file of the maintainer's settings: where the frames
// undelivered at Shutdown wait for the next start.
#pragma once

#include "node/DXNodePtr.h"

#include <optional>
#include <string>
#include <vector>

namespace KestrovaHost::PendingFrames {

// A text attribute of the maintainer's "TransientStorage" settings node;
// nothing when it is absent, empty or not text, or the settings have no
// such node.
std::optional<std::wstring> StorageSetting(const DXNodePtr& settings, const wchar_t* name);

// "TransientStorage\TransientStoragePath" of the maintainer's settings with
// environment variables expanded, as the accumulator expands it; nothing
// when the settings name no file.
std::optional<std::wstring> StoragePath(const DXNodePtr& settings);

bool FileExists(const std::wstring& path);

// The decrypted frames of the file, which stays as it is. Raises ToolError
// (kExitUsage): a file that is missing, or cannot be read or decrypted on
// this machine.
std::vector<DXNodePtr> Read(const std::wstring& path);

}  // namespace KestrovaHost::PendingFrames
