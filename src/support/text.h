// UTF-8 decoding and the quoted-string text form shared by every diagnostic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vestra {

/// One step of UTF-8 decoding: a code point, or an ill-formed subsequence.
struct Utf8Step {
  char32_t code_point;  ///< meaningful only when `valid`
  std::size_t length;   ///< bytes consumed: the character, or the maximal ill-formed subpart
  bool valid;
};

/// Decodes the character at the start of `bytes` (which must not be empty). An ill-formed
/// sequence consumes its maximal subpart: the longest prefix of a well-formed sequence, or
/// one byte when not even the first byte can start one.
Utf8Step decode_utf8_step(std::string_view bytes) noexcept;

/// True when `bytes` is well-formed UTF-8.
bool is_valid_utf8(std::string_view bytes) noexcept;

/// Decodes `bytes`, replacing every maximal ill-formed subsequence with U+FFFD.
std::string to_utf8_lossy(std::string_view bytes);

/// How `write_quoted` treats a single quote.
enum class QuoteStyle {
  Path,     ///< escaped as \'
  Message,  ///< written as it is
};

/// Appends `text` to `out` between double quotes, escaping double quotes, backslashes, tab,
/// carriage return, line feed and NUL, writing characters that are not printable or that
/// extend the previous character as \u{hex}, and bytes that are not UTF-8 as \xHH.
void write_quoted(std::string& out, std::string_view text, QuoteStyle style = QuoteStyle::Path);
std::string quoted(std::string_view text, QuoteStyle style = QuoteStyle::Path);

/// True for a code point that a quoted text writes as it is (see `write_quoted`).
bool is_printable(char32_t code_point) noexcept;
/// True for a combining mark or another character that attaches to the one before it.
bool is_extending(char32_t code_point) noexcept;

}  // namespace vestra
