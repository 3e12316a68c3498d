#include "support/path.h"

#include <gtest/gtest.h>

#include <vector>

namespace vestra {
namespace {

std::vector<std::string> components(std::string_view path) {
  std::vector<std::string> out;
  PathComponents parts(path);
  while (auto part = parts.next()) out.emplace_back(*part);
  return out;
}

// Splitting: root, repeated and trailing separators, "." and "..".
TEST(PathComponents, Table) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"/w/a", {"/", "w", "a"}},
      {"/w//a/", {"/", "w", "a"}},
      {"/w/./a/.", {"/", "w", "a"}},
      {"/w/../a", {"/", "w", "..", "a"}},
      {"./a", {".", "a"}},
      {"a/./b", {"a", "b"}},
      {".", {"."}},
      {"/", {"/"}},
      {"//", {"/"}},
      {"", {}},
  };
  for (const auto& [path, expected] : cases) {
    EXPECT_EQ(components(path), expected) << path;
  }
}

struct RelationCase {
  const char* path;
  const char* other;
  bool equals, starts_with, parent_equals;
};

// Equality, prefix and parent are decided on components, never on raw text.
TEST(PathRelations, Table) {
  const RelationCase cases[] = {
      {"/w/a", "/w/a", true, true, false},
      {"/w/a/", "/w/a", true, true, false},
      {"/w/ab", "/w/a", false, false, false},
      {"/w/a/b", "/w/a", false, true, true},
      {"/w/a/b/c", "/w/a", false, true, false},
      {"/w//a///b", "/w/a", false, true, true},
      {"/wx/a", "/w", false, false, false},
      {"/w", "/w/a", false, false, false},
      {"/", "", false, true, false},
      {"/a", "/", false, true, true},
      {"/w/../a", "/w", false, true, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(path_equals(c.path, c.other), c.equals) << c.path << " == " << c.other;
    EXPECT_EQ(path_starts_with(c.path, c.other), c.starts_with) << c.path << " ^ " << c.other;
    EXPECT_EQ(path_parent_equals(c.path, c.other), c.parent_equals)
        << "parent(" << c.path << ") == " << c.other;
  }
}

// Hashing agrees with equality, so a map keyed by path finds "/w/a/" under "/w/a".
TEST(PathRelations, HashAgreesWithEquality) {
  PathHash hash;
  EXPECT_EQ(hash("/w/a/"), hash("/w/a"));
  EXPECT_EQ(hash("/w//a"), hash("/w/a"));
  EXPECT_NE(hash("/w/ab"), hash("/w/a"));
}

}  // namespace
}  // namespace vestra
