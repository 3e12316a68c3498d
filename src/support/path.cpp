#include "support/path.h"

#include <functional>

namespace vestra {

std::optional<std::string_view> PathComponents::next() noexcept {
  if (at_start_) {
    at_start_ = false;
    if (!rest_.empty() && rest_.front() == '/') {
      const std::string_view root = rest_.substr(0, 1);
      rest_.remove_prefix(1);
      return root;
    }
    // A leading "." of a relative path is kept: "./a" differs from "a" only in spelling,
    // but it is how the path was written.
    if (rest_ == "." || rest_.starts_with("./")) {
      const std::string_view dot = rest_.substr(0, 1);
      rest_.remove_prefix(1);
      return dot;
    }
  }
  while (!rest_.empty()) {
    const std::size_t end = rest_.find('/');
    const std::string_view part = rest_.substr(0, end);
    rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end + 1);
    if (part.empty() || part == ".") continue;
    return part;
  }
  return std::nullopt;
}

bool path_equals(std::string_view path, std::string_view other) noexcept {
  PathComponents a(path), b(other);
  while (true) {
    auto x = a.next();
    auto y = b.next();
    if (!x || !y) return !x && !y;
    if (*x != *y) return false;
  }
}

bool path_starts_with(std::string_view path, std::string_view prefix) noexcept {
  PathComponents a(path), b(prefix);
  while (true) {
    auto y = b.next();
    if (!y) return true;
    auto x = a.next();
    if (!x || *x != *y) return false;
  }
}

std::size_t path_component_count(std::string_view path) noexcept {
  PathComponents parts(path);
  std::size_t count = 0;
  while (parts.next()) ++count;
  return count;
}

bool path_parent_equals(std::string_view path, std::string_view dir) noexcept {
  PathComponents a(path), b(dir);
  std::size_t matched = 0;
  while (auto y = b.next()) {
    auto x = a.next();
    if (!x || *x != *y) return false;
    ++matched;
  }
  // Exactly one more component must follow; the root component alone has no parent.
  auto last = a.next();
  if (!last || a.next()) return false;
  return !(matched == 0 && *last == "/");
}

std::size_t PathHash::operator()(std::string_view path) const noexcept {
  std::size_t hash = 0;
  PathComponents parts(path);
  while (auto part = parts.next()) {
    hash = hash * 31 + std::hash<std::string_view>{}(*part);
  }
  return hash;
}

}  // namespace vestra
