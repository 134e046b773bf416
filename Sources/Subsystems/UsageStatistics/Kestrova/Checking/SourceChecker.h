// Checks one source text the way the engine will evaluate it: the source is
// compiled as the engine compiles it, every filter a walk can reach is held
// against the engine's parse, and the shape of the source (a literal, a path
// to values, a path to nodes) against what the setting is used for.
#pragma once

#include "CheckReport.h"
#include "RuleVocabulary.h"

#include "Sources/Subsystems/UsageStatistics/Kestrova/CompiledSource.h"

#include <string>
#include <string_view>

namespace UsageStatistics::Checking {

class SourceChecker {
 public:
  // What a source yields when evaluated.
  enum class Shape {
    Literal,    // itself, as one value
    ValuePath,  // a path whose walk ends in a value step
    NodePath,   // a path that ends at nodes, and yields no value
  };

  static Shape ShapeOf(const CompiledSource& source);

  // Adds the findings for source, read as the given use, to report under
  // path and subject.
  static void Check(std::wstring_view source, SourceUse use, const std::wstring& path, const std::wstring& subject,
                    CheckReport& report);

 private:
  static void CheckFilters(const CompiledPath& compiled, const std::wstring& path, const std::wstring& subject,
                           CheckReport& report);
  static void CheckLiteral(std::wstring_view source, const std::wstring& path, const std::wstring& subject,
                           CheckReport& report);
};

}  // namespace UsageStatistics::Checking
