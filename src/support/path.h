// Paths compared component by component, without touching the file system.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <unordered_map>

namespace vestra {

/// Walks the components of a path: a leading "/" is one root component; empty components
/// (repeated or trailing separators) are skipped, and so is "." except at the very start of
/// a relative path; ".." is an ordinary component.
class PathComponents {
 public:
  explicit PathComponents(std::string_view path) noexcept : rest_(path), at_start_(true) {}
  /// The next component, or nothing at the end.
  std::optional<std::string_view> next() noexcept;

 private:
  std::string_view rest_;
  bool at_start_;
};

/// True when `path` and `other` have the same components ("/w/a/" equals "/w/a").
bool path_equals(std::string_view path, std::string_view other) noexcept;
/// True when the components of `prefix` begin those of `path` ("/w/ab" does not start with
/// "/w/a").
bool path_starts_with(std::string_view path, std::string_view prefix) noexcept;
/// The number of components of `path`.
std::size_t path_component_count(std::string_view path) noexcept;
/// True when `path` has a parent (a last component to drop that is not the root) and that
/// parent equals `dir`.
bool path_parent_equals(std::string_view path, std::string_view dir) noexcept;

/// Hash and equality that agree with `path_equals`, for maps keyed by path.
struct PathHash {
  std::size_t operator()(std::string_view path) const noexcept;
};
struct PathEqual {
  bool operator()(std::string_view a, std::string_view b) const noexcept {
    return path_equals(a, b);
  }
};

}  // namespace vestra
