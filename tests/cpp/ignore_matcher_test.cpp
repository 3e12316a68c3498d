#include "native/ignore_matcher.h"

#include <gtest/gtest.h>

namespace vestra {
namespace {

struct GlobCase {
  const char* pattern;
  const char* text;
  bool matches;
};
void PrintTo(const GlobCase& c, std::ostream* out) {
  *out << '"' << c.pattern << "\" on \"" << c.text << '"';
}

class GlobTest : public testing::TestWithParam<GlobCase> {};

// Each wildcard form, where it matches and where it must not (never across "/").
TEST_P(GlobTest, MatchesAsWhole) {
  const GlobCase& c = GetParam();
  EXPECT_EQ(glob_match(c.pattern, c.text), c.matches);
}

INSTANTIATE_TEST_SUITE_P(
    Table, GlobTest,
    testing::Values(GlobCase{"node_modules", "node_modules", true},
                    GlobCase{"node_modules", "node_modules2", false},
                    GlobCase{"*.o", "main.o", true}, GlobCase{"*.o", ".o", true},
                    GlobCase{"*.o", "main.c", false}, GlobCase{"*", "", true},
                    GlobCase{"*", "a/b", false}, GlobCase{"*~", "notes.txt~", true},
                    GlobCase{"a*b*c", "aXbYbZc", true}, GlobCase{"a*b*c", "aXbYbZ", false},
                    GlobCase{"?", "x", true}, GlobCase{"?", "", false}, GlobCase{"?", "/", false},
                    GlobCase{".*.sw?", ".main.c.swp", true}, GlobCase{"[abc]x", "bx", true},
                    GlobCase{"[abc]x", "dx", false}, GlobCase{"[a-c]", "b", true},
                    GlobCase{"[!a-c]", "b", false}, GlobCase{"[!a-c]", "d", true},
                    GlobCase{"[]]", "]", true}, GlobCase{"[", "[", true},
                    GlobCase{"[ab", "[ab", true}, GlobCase{"\\*", "*", true},
                    GlobCase{"\\*", "a", false}, GlobCase{"build/*.o", "build/x.o", true},
                    GlobCase{"build/*.o", "build/sub/x.o", false},
                    GlobCase{"*/_build", "docs/_build", true}, GlobCase{"**", "a/b", false}));

struct IgnoreCase {
  std::vector<std::string> patterns;
  const char* relative;
  bool ignored;
};
void PrintTo(const IgnoreCase& c, std::ostream* out) {
  *out << '"' << c.relative << '"';
}

class IgnoreTest : public testing::TestWithParam<IgnoreCase> {};

// Name patterns match any component, path patterns the relative path or an ancestor of it.
TEST_P(IgnoreTest, IgnoresPathOrAncestor) {
  const IgnoreCase& c = GetParam();
  EXPECT_EQ(IgnoreMatcher(c.patterns).ignores(c.relative), c.ignored);
}

INSTANTIATE_TEST_SUITE_P(
    Table, IgnoreTest,
    testing::Values(IgnoreCase{{".git"}, ".git", true}, IgnoreCase{{".git"}, ".git/HEAD", true},
                    IgnoreCase{{".git"}, "src/.git/objects/x", true},
                    IgnoreCase{{".git"}, "src/x.git", false},
                    IgnoreCase{{"*.pyc"}, "pkg/__pycache__/m.pyc", true},
                    IgnoreCase{{"docs/_build"}, "docs/_build", true},
                    IgnoreCase{{"docs/_build"}, "docs/_build/html/index.html", true},
                    IgnoreCase{{"docs/_build"}, "other/docs/_build", false},
                    IgnoreCase{{"./docs/_build/"}, "docs/_build/x", true},
                    IgnoreCase{{"/build/*.o"}, "build/a.o", true},
                    IgnoreCase{{"build/*.o"}, "src/build/a.o", false},
                    IgnoreCase{{".git"}, "", false}, IgnoreCase{{}, "anything", false},
                    IgnoreCase{{"", "/"}, "x", false}));

}  // namespace
}  // namespace vestra
