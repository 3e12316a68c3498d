// Fuzzes the glob matcher against a plain recursive reference model.
//
// Input: a pattern and a text, separated by the first NUL byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "native/ignore_matcher.h"

namespace {

/// The bracket set at the start of `pattern` against `c`: its length (0: not closed, a
/// plain "["), and whether `c` is in it.
std::size_t reference_set(std::string_view pattern, char c, bool& in) {
  std::size_t i = 1;
  const bool negated = i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^');
  if (negated) ++i;
  const std::size_t first = i;
  bool found = false;
  for (; i < pattern.size(); ++i) {
    if (pattern[i] == ']' && i > first) {
      in = found != negated && c != '/';
      return i + 1;
    }
    if (i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']') {
      if (pattern[i] <= c && c <= pattern[i + 2]) found = true;
      i += 2;
    } else if (pattern[i] == c) {
      found = true;
    }
  }
  return 0;
}

bool reference(std::string_view pattern, std::string_view text) {
  if (pattern.empty()) return text.empty();
  const char p = pattern[0];
  if (p == '*') {
    for (std::size_t n = 0; n <= text.size(); ++n) {
      if (reference(pattern.substr(1), text.substr(n))) return true;
      if (n < text.size() && text[n] == '/') break;
    }
    return false;
  }
  if (text.empty()) return false;
  if (p == '?') return text[0] != '/' && reference(pattern.substr(1), text.substr(1));
  if (p == '[') {
    bool in = false;
    if (const std::size_t length = reference_set(pattern, text[0], in)) {
      return in && reference(pattern.substr(length), text.substr(1));
    }
  }
  if (p == '\\' && pattern.size() > 1) {
    return pattern[1] == text[0] && reference(pattern.substr(2), text.substr(1));
  }
  return p == text[0] && reference(pattern.substr(1), text.substr(1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The reference is exponential in stars; short inputs cover every form.
  if (size > 48) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\0');
  if (split == std::string_view::npos) return 0;
  const std::string_view pattern = input.substr(0, split);
  const std::string_view text = input.substr(split + 1);
  if (vestra::glob_match(pattern, text) != reference(pattern, text)) std::abort();
  return 0;
}
