// A source compiled once, when its rule is built: a literal, or the steps of
// a path with every name, attribute follower and filter prepared, so that an
// evaluation only walks the nodes. What it yields, and every failure with
// its code, are those of the source text read element by element.
#pragma once

#include "SourceText.h"
#include "SourceVisitor.h"

#include "node/DXNodePtr.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace UsageStatistics {

class PathFilter;

// How an attribute step reads the element after it: that element is read as
// a name, never walked.
struct AttributeFollower {
  enum class Kind : uint8_t {
    NamedAttribute,   // a plain name: the values of that attribute instead
    EachAttribute,    // "*": every attribute of the node, read by the next follower
    NameOfAttribute,  // "<name>": the attribute's name itself
    Nothing,          // anything else, the empty element included: no value
  };
  Kind kind = Kind::Nothing;
  std::wstring name;  // NamedAttribute only
};

// One element of a path, prepared.
struct SourceStep {
  enum class Kind : uint8_t {
    AnyChild,         // "*"
    AnyDescendant,    // "**"
    Parent,           // ".."
    NameOf,           // "<name>"
    TypeOf,           // "<type>"
    Attribute,        // "@name": the values of text, then the followers
    Filter,           // "[left=='value']", parsed: filter
    MalformedFilter,  // a bracketed filter that does not parse: 0x8007000D when reached
    Child,            // the child named text
  };
  Kind kind = Kind::Child;
  // Child: the child's name; Attribute: the attribute's name; filters: the
  // whole element as written.
  std::wstring text;
  std::vector<AttributeFollower> followers;  // Attribute only, at most one that is not EachAttribute, last
  std::shared_ptr<const PathFilter> filter;  // Filter only

  // "<name>", "<type>" and the attribute step end a walk with values.
  bool IsValueStep() const noexcept { return kind == Kind::NameOf || kind == Kind::TypeOf || kind == Kind::Attribute; }
};

// The steps of a path up to the step that ends every walk: elements after a
// "<name>" or "<type>" step, or after an attribute step's followers, are
// never walked and are not kept.
class CompiledPath {
 public:
  // The path from the element at position (0: the whole path, one leading
  // backslash skipped).
  static CompiledPath Compile(std::wstring_view path, size_t position = 0);

  // The nodes and values of the walk from start, in evaluation order.
  void Walk(const DXNodePtr& start, ISourceVisitor& visitor) const;

  std::span<const SourceStep> Steps() const noexcept { return m_steps; }
  bool EndsInValue() const noexcept { return !m_steps.empty() && m_steps.back().IsValueStep(); }

 private:
  std::vector<SourceStep> m_steps;
};

// A bracketed filter with its left side compiled as a path of its own.
class PathFilter {
 public:
  explicit PathFilter(const PathPredicate& predicate);

  // The first value of the left side at node (the empty text when there is
  // none) compared with the value, exactly.
  bool Matches(const DXNodePtr& node) const;
  const CompiledPath& LeftPath() const noexcept { return m_left; }

 private:
  CompiledPath m_left;
  std::wstring m_value;
  PathPredicate::Operator m_op;
};

class CompiledSource {
 public:
  // The empty source: a path that yields its start node.
  CompiledSource() = default;
  explicit CompiledSource(std::wstring source);

  // A literal yields itself as one value; a path is walked from node. A path
  // of more than kMaxSourcePathElements elements raises 0x8007000D here, at
  // every evaluation, as a malformed filter does when a walk reaches it.
  void Evaluate(const DXNodePtr& node, ISourceVisitor& visitor) const;
  // The first value, or the empty text when there is none.
  std::wstring FirstValue(const DXNodePtr& node) const;
  // The same with no string made: the literal's own text, or the value read
  // into scratch; valid while both live and scratch is not reused.
  TerminatedText FirstValue(const DXNodePtr& node, TextBuffer& scratch) const;
  std::vector<std::wstring> AllValues(const DXNodePtr& node) const;

  const std::wstring& Text() const noexcept { return m_text; }
  bool IsLiteral() const noexcept { return m_isLiteral; }
  size_t SeparatorCount() const noexcept { return m_separators; }
  bool IsTooLong() const noexcept { return !m_isLiteral && m_separators > kMaxSourcePathElements; }
  // The steps of a path; none for a literal.
  const CompiledPath& Path() const noexcept { return m_path; }

 private:
  void ThrowIfTooLong() const;

  std::wstring m_text;
  CompiledPath m_path;
  size_t m_separators = 0;
  bool m_isLiteral = false;
};

}  // namespace UsageStatistics
