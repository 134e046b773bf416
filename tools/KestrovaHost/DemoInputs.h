// The embedded demo: a store, the maintainer's settings and a change script,
// built into the program from docs/examples/host/ as node text resources.
#pragma once

#include <string_view>

namespace KestrovaHost::DemoInputs {

// Each raises ToolError (kExitFailure) when the resource is missing.
std::string_view StoreText();
std::string_view SettingsText();
std::string_view ChangesText();

}  // namespace KestrovaHost::DemoInputs
