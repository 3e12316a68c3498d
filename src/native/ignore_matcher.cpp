#include "native/ignore_matcher.h"

namespace vestra {

namespace {

/// Matches one bracket set at the start of `pattern` against `c`. `length` receives the
/// set's length; 0 when the bracket is not closed, and then it is a plain character.
bool match_set(std::string_view pattern, char c, std::size_t& length) noexcept {
  std::size_t i = 1;
  const bool negated = i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^');
  if (negated) ++i;
  bool matched = false;
  bool first = true;
  for (; i < pattern.size(); ++i, first = false) {
    if (pattern[i] == ']' && !first) {
      length = i + 1;
      return matched != negated && c != '/';
    }
    char low = pattern[i];
    char high = low;
    if (i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']') {
      high = pattern[i + 2];
      i += 2;
    }
    if (low <= c && c <= high) matched = true;
  }
  length = 0;
  return false;
}

std::string_view trimmed(std::string_view pattern) noexcept {
  while (pattern.starts_with("./")) pattern.remove_prefix(2);
  while (pattern.starts_with('/')) pattern.remove_prefix(1);
  while (pattern.size() > 1 && pattern.ends_with('/')) pattern.remove_suffix(1);
  return pattern;
}

}  // namespace

bool glob_match(std::string_view pattern, std::string_view text) noexcept {
  // Backtracking to the latest star only: linear in practice, never exponential.
  std::size_t p = 0, t = 0;
  std::size_t star = std::string_view::npos, star_text = 0;
  while (t < text.size()) {
    if (p < pattern.size()) {
      const char c = pattern[p];
      if (c == '*') {
        star = ++p;
        star_text = t;
        continue;
      }
      std::size_t step = 1;
      bool ok;
      if (c == '?') {
        ok = text[t] != '/';
      } else if (c == '[') {
        ok = match_set(pattern.substr(p), text[t], step);
        // An unclosed bracket is a plain character.
        if (step == 0) {
          step = 1;
          ok = text[t] == '[';
        }
      } else if (c == '\\' && p + 1 < pattern.size()) {
        ok = pattern[p + 1] == text[t];
        step = 2;
      } else {
        ok = c == text[t];
      }
      if (ok) {
        p += step;
        ++t;
        continue;
      }
    }
    // A star may take one more character, but never a "/".
    if (star == std::string_view::npos || text[star_text] == '/') return false;
    p = star;
    t = ++star_text;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

IgnoreMatcher::IgnoreMatcher(const std::vector<std::string>& patterns) {
  for (const std::string& given : patterns) {
    const std::string_view pattern = trimmed(given);
    if (pattern.empty()) continue;
    (pattern.find('/') == std::string_view::npos ? names_ : paths_).emplace_back(pattern);
  }
}

bool IgnoreMatcher::ignores(std::string_view relative) const noexcept {
  if (empty()) return false;
  for (std::size_t end = relative.find('/'); end != std::string_view::npos;
       end = relative.find('/', end + 1)) {
    if (end > 0 && ignores_last(relative.substr(0, end))) return true;
  }
  return !relative.empty() && ignores_last(relative);
}

bool IgnoreMatcher::ignores_last(std::string_view relative) const noexcept {
  const std::size_t slash = relative.rfind('/');
  const std::string_view name =
      slash == std::string_view::npos ? relative : relative.substr(slash + 1);
  for (const std::string& pattern : names_) {
    if (glob_match(pattern, name)) return true;
  }
  for (const std::string& pattern : paths_) {
    if (glob_match(pattern, relative)) return true;
  }
  return false;
}

}  // namespace vestra
