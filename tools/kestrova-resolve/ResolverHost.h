// Hosts the items resolver the way a component host does: loads Kestrova.dll
// from the tool's folder, asks its export for the module object and creates
// the resolver by class id.
#pragma once

#include "NodeHandle.h"

#include <Kestrova/ComponentInterfaces.h>

#include <windows.h>

namespace KestrovaResolve {

using KestrovaTools::NodeHandle;

class ResolverHost {
 public:
  // Raises ToolError (kExitFailure) when the module cannot be loaded or the
  // resolver cannot be created.
  ResolverHost();
  ~ResolverHost();
  ResolverHost(const ResolverHost&) = delete;
  ResolverHost& operator=(const ResolverHost&) = delete;

  // Each raises ToolError (kExitFailure) with the module's description of a
  // failure.
  void Initialize(const NodeHandle& configuration);
  NodeHandle ResolveActivityItems(const NodeHandle& source);

 private:
  HMODULE m_module = nullptr;
  IUsageActivityItemsResolver* m_resolver = nullptr;
};

}  // namespace KestrovaResolve
