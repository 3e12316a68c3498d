// Reading the mount table and what changed in it, from hand-written mountinfo text.
#include "platform/linux/mount_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using vestra::platform::diff_mounts;
using vestra::platform::Mount;
using vestra::platform::MountChange;
using vestra::platform::parse_mountinfo;
using Kind = MountChange::Kind;

TEST(MountTable, ParsesIdsAndDecodedMountPoints) {
  const std::string text =
      "22 1 0:21 / /proc rw,nosuid shared:12 - proc proc rw\n"
      "36 22 98:0 /mnt1 /mnt/with\\040space rw,noatime master:1 - ext3 /dev/root rw\n"
      "37 36 0:40 / /a\\011tab\\012line\\134slash rw - tmpfs none rw\n"
      "garbage\n"
      "x 1 0:1 / /not-a-number rw - tmpfs none rw\n"
      "\n"
      "38 1 0:41 / /last rw - tmpfs none rw";
  EXPECT_EQ(
      parse_mountinfo(text),
      (std::vector<Mount>{
          {22, "/proc"}, {36, "/mnt/with space"}, {37, "/a\ttab\nline\\slash"}, {38, "/last"}}));
}

struct DiffCase {
  const char* name;
  std::vector<Mount> before, after;
  std::vector<MountChange> changes;
};

void PrintTo(const DiffCase& row, std::ostream* out) {
  *out << row.name;
}

class MountTableDiff : public ::testing::TestWithParam<DiffCase> {};

TEST_P(MountTableDiff, ListsWhatChanged) {
  EXPECT_EQ(diff_mounts(GetParam().before, GetParam().after), GetParam().changes);
}

const DiffCase kDiffCases[] = {
    {"Unchanged", {{1, "/"}, {2, "/t"}}, {{1, "/"}, {2, "/t"}}, {}},
    {"Mounted", {{1, "/"}}, {{1, "/"}, {2, "/t/m"}}, {{Kind::Mounted, "/t/m"}}},
    {"Unmounted", {{1, "/"}, {2, "/t/m"}}, {{1, "/"}}, {{Kind::Unmounted, "/t/m"}}},
    // The same point mounted anew is another mount: the old one went.
    {"Remounted",
     {{1, "/"}, {2, "/t"}},
     {{1, "/"}, {3, "/t"}},
     {{Kind::Unmounted, "/t"}, {Kind::Mounted, "/t"}}},
    {"UnmountsDeepestFirstMountsShallowestFirst",
     {{1, "/"}, {2, "/a"}, {3, "/a/b"}},
     {{1, "/"}, {5, "/c/d"}, {4, "/c"}},
     {{Kind::Unmounted, "/a/b"},
      {Kind::Unmounted, "/a"},
      {Kind::Mounted, "/c"},
      {Kind::Mounted, "/c/d"}}},
};

INSTANTIATE_TEST_SUITE_P(Cases, MountTableDiff, ::testing::ValuesIn(kDiffCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
