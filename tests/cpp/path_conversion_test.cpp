#include "backend/path_conversion.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/cf_ref.h"
#include "support/panic.h"
#include "test_support.h"

namespace vestra {
namespace {

namespace fs = std::filesystem;

/// The converted string of `source`, or "<none>".
std::string convert(const std::string& source) {
  CFErrorRef error = nullptr;
  CFRef<CFStringRef> result(str_path_to_cfstring_ref(source, &error));
  CFRef<CFErrorRef> owned_error(error);
  if (!result) return "<none>";
  return CFStringGetCStringPtr(result.get(), kCFStringEncodingUTF8);
}

class PathConversion : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = temp_.path();
    fs::create_directories(root_ / "real" / "inner");
    fs::create_directory_symlink(root_ / "real", root_ / "link");
    saved_cwd_ = fs::current_path();
  }
  void TearDown() override { fs::current_path(saved_cwd_); }
  testing_support::TempDir temp_;
  fs::path root_, saved_cwd_;
};

// Existing paths become their canonical form; missing trailing components are appended
// unchanged after the deepest existing ancestor's canonical path.
TEST_F(PathConversion, Table) {
  const std::string real = (root_ / "real").string();
  const std::pair<std::string, std::string> cases[] = {
      {real, real},
      {(root_ / "link").string(), real},
      {(root_ / "link" / "inner").string(), real + "/inner"},
      {(root_ / "real" / ".." / "real").string(), real},
      {(root_ / "link" / "missing").string(), real + "/missing"},
      {(root_ / "link" / "m1" / "m2").string(), real + "/m1/m2"},
      {"/", "/"},
  };
  for (const auto& [source, expected] : cases) {
    EXPECT_EQ(convert(source), expected) << source;
  }
}

// A relative source is taken against the current directory at the time of the call.
TEST_F(PathConversion, RelativeToCurrentDirectory) {
  fs::current_path(root_ / "link");
  EXPECT_EQ(convert("inner"), (root_ / "real" / "inner").string());
  EXPECT_EQ(convert("."), (root_ / "real").string());
  EXPECT_EQ(convert("gone/x"), (root_ / "real" / "gone" / "x").string());
}

// A NUL inside the source is a fatal error naming the position.
TEST_F(PathConversion, NulIsFatal) {
  testing::internal::CaptureStderr();
  try {
    (void)convert(std::string("/a\0b", 4));
    FAIL() << "a NUL must not be converted";
  } catch (const Panic& e) {
    EXPECT_STREQ(e.message(),
                 "called `Result::unwrap()` on an `Err` value: NulError(2, [47, 97, 0, 98])");
  }
  testing::internal::GetCapturedStderr();
}

}  // namespace
}  // namespace vestra
