// Ignore rules: glob patterns on entry names and on paths relative to a watched root.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vestra {

/// True when `text` matches the glob `pattern` as a whole: `*` any run of characters, `?`
/// any one, `[abc]`, `[a-z]` and `[!abc]` one of (or none of) a set, `\` quotes the next
/// character. No wildcard matches "/", so a path pattern matches component by component.
bool glob_match(std::string_view pattern, std::string_view text) noexcept;

/// A pattern with no "/" matches any component of a path (an entry's name); one with "/"
/// matches the path relative to its watched root (a leading "/" or "./" is dropped, as is
/// a trailing "/"). A path is ignored when it or one of its ancestors below the root is
/// matched, so whatever lies inside an ignored directory is ignored too.
class IgnoreMatcher {
 public:
  IgnoreMatcher() = default;
  explicit IgnoreMatcher(const std::vector<std::string>& patterns);

  bool empty() const noexcept { return names_.empty() && paths_.empty(); }
  /// `relative`: the path below its root without a leading "/"; "" (the root) is never
  /// ignored.
  bool ignores(std::string_view relative) const noexcept;
  /// Only the last component of `relative` is tested: the walk has tested its ancestors.
  bool ignores_last(std::string_view relative) const noexcept;

 private:
  std::vector<std::string> names_;
  std::vector<std::string> paths_;
};

}  // namespace vestra
