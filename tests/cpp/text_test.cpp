#include "support/text.h"

#include <gtest/gtest.h>

namespace vestra {
namespace {

// Lossy decoding replaces each maximal ill-formed subpart with one U+FFFD.
TEST(Utf8Lossy, MaximalSubparts) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\xff"
       "b",
       "a\uFFFD"
       "b"},
      {"\xe2\x82"
       "a",
       "\uFFFD"
       "a"},
      {"\xff\xfe", "\uFFFD\uFFFD"},
      {"\xed\xa0\x80", "\uFFFD\uFFFD\uFFFD"},            // a surrogate is three bad bytes
      {"\xf0\x9f\x98", "\uFFFD"},                        // truncated four-byte sequence at the end
      {"\xc0\xaf", "\uFFFD\uFFFD"},                      // overlong form
      {"\xf4\x90\x80\x80", "\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"plain \u00e9\U0001F600", "plain \u00e9\U0001F600"},
      {"", ""},
  };
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(to_utf8_lossy(bytes), text);
    EXPECT_EQ(is_valid_utf8(bytes), bytes == text);
  }
}

// A message keeps its single quotes; a path escapes them.
TEST(Quoted, StylesDifferOnlyInSingleQuote) {
  EXPECT_EQ(quoted("it's", QuoteStyle::Path), R"("it\'s")");
  EXPECT_EQ(quoted("it's", QuoteStyle::Message), R"("it's")");
}

// Character classes behind the escapes.
TEST(Quoted, CharacterClasses) {
  EXPECT_TRUE(is_printable(U' '));
  EXPECT_TRUE(is_printable(U'\u00e9'));
  EXPECT_FALSE(is_printable(U'\u00a0')) << "spaces other than U+0020 are escaped";
  EXPECT_FALSE(is_printable(U'\u200b')) << "format characters are escaped";
  EXPECT_FALSE(is_printable(0x10FFFF)) << "unassigned code points are escaped";
  EXPECT_TRUE(is_extending(U'\u0301'));
  EXPECT_FALSE(is_extending(U'e'));
}

}  // namespace
}  // namespace vestra
