#include "support/text.h"

#include <algorithm>
#include <cstdio>

namespace vestra {

namespace {

struct CodePointRange {
  char32_t lo, hi;
};

#include "support/unicode_tables.inc"

template <std::size_t N>
bool in_table(const CodePointRange (&table)[N], char32_t cp) noexcept {
  auto it = std::upper_bound(std::begin(table), std::end(table), cp,
                             [](char32_t value, const CodePointRange& r) { return value < r.lo; });
  return it != std::begin(table) && cp <= std::prev(it)->hi;
}

constexpr bool is_continuation(unsigned char b) noexcept {
  return (b & 0xC0) == 0x80;
}

}  // namespace

Utf8Step decode_utf8_step(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  const unsigned char lead = p[0];
  if (lead < 0x80) return {lead, 1, true};

  std::size_t need;
  char32_t cp;
  // The allowed range of the second byte narrows for E0, ED, F0 and F4 (no overlong forms,
  // no surrogates, nothing above U+10FFFF).
  unsigned char lo = 0x80, hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1, cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2, cp = lead & 0x0F;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3, cp = lead & 0x07;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return {0, 1, false};
  }
  std::size_t i = 1;
  for (; i <= need; ++i) {
    if (i >= n) return {0, i, false};
    const unsigned char b = p[i];
    if (i == 1 ? (b < lo || b > hi) : !is_continuation(b)) return {0, i, false};
    cp = (cp << 6) | (b & 0x3F);
  }
  return {cp, i, true};
}

bool is_valid_utf8(std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    const Utf8Step step = decode_utf8_step(bytes);
    if (!step.valid) return false;
    bytes.remove_prefix(step.length);
  }
  return true;
}

std::string to_utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    const Utf8Step step = decode_utf8_step(bytes);
    if (step.valid) {
      out.append(bytes.data(), step.length);
    } else {
      out += "\xEF\xBF\xBD";
    }
    bytes.remove_prefix(step.length);
  }
  return out;
}

bool is_printable(char32_t cp) noexcept {
  return !in_table(kNotPrintable, cp);
}

bool is_extending(char32_t cp) noexcept {
  return in_table(kExtending, cp);
}

void write_quoted(std::string& out, std::string_view text, QuoteStyle style) {
  out += '"';
  char hex[16];
  while (!text.empty()) {
    const Utf8Step step = decode_utf8_step(text);
    if (!step.valid) {
      for (std::size_t i = 0; i < step.length; ++i) {
        std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(text[i]));
        out += hex;
      }
      text.remove_prefix(step.length);
      continue;
    }
    const char32_t cp = step.code_point;
    switch (cp) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\0':
        out += "\\0";
        break;
      case '\'':
        out += style == QuoteStyle::Path ? "\\'" : "'";
        break;
      default:
        if (!is_printable(cp) || is_extending(cp)) {
          std::snprintf(hex, sizeof hex, "\\u{%x}", static_cast<unsigned>(cp));
          out += hex;
        } else {
          out.append(text.data(), step.length);
        }
    }
    text.remove_prefix(step.length);
  }
  out += '"';
}

std::string quoted(std::string_view text, QuoteStyle style) {
  std::string out;
  write_quoted(out, text, style);
  return out;
}

}  // namespace vestra
