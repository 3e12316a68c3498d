// Core Foundation objects of the Linux platform layer: ownership, arrays, strings, errors
// and file URLs.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

/// Releases a Core Foundation reference at the end of a scope.
struct Owned {
  CFTypeRef ref;
  ~Owned() { CFRelease(ref); }
};

std::string text(CFStringRef string) {
  return CFStringGetCStringPtr(string, kCFStringEncodingUTF8);
}

CFURLRef url_of(const std::string& path) {
  return CFURLCreateFromFileSystemRepresentation(kCFAllocatorDefault,
                                                 reinterpret_cast<const UInt8*>(path.c_str()),
                                                 static_cast<CFIndex>(path.size()), false);
}

std::string path_of(CFURLRef url) {
  CFStringRef path = CFURLCopyFileSystemPath(url, kCFURLPOSIXPathStyle);
  Owned owned{path};
  return text(path);
}

TEST(PlatformObjects, CreateGivesOneReferenceAndReleaseFreesAtZero) {
  CFStringRef string = CFStringCreateWithCString(kCFAllocatorDefault, "x", kCFStringEncodingUTF8);
  EXPECT_EQ(CFGetRetainCount(string), 1);
  EXPECT_EQ(CFRetain(string), string);
  EXPECT_EQ(CFGetRetainCount(string), 2);
  CFRelease(string);
  EXPECT_EQ(CFGetRetainCount(string), 1);
  CFRelease(string);
}

TEST(PlatformObjects, NullIsSafe) {
  CFRelease(nullptr);
  EXPECT_EQ(CFRetain(nullptr), nullptr);
  EXPECT_EQ(CFGetRetainCount(nullptr), 0);
  EXPECT_EQ(kCFAllocatorDefault, nullptr);
  EXPECT_EQ(CFArrayGetCount(nullptr), 0);
}

TEST(PlatformObjects, ModeConstantIgnoresRetainAndRelease) {
  const CFIndex before = CFGetRetainCount(kCFRunLoopDefaultMode);
  CFRelease(kCFRunLoopDefaultMode);
  CFRetain(kCFRunLoopDefaultMode);
  EXPECT_EQ(CFGetRetainCount(kCFRunLoopDefaultMode), before);
  EXPECT_EQ(text(kCFRunLoopDefaultMode), "kCFRunLoopDefaultMode");
}

TEST(PlatformArrays, TypeCallbacksRetainAndReleaseElements) {
  CFStringRef a = CFStringCreateWithCString(nullptr, "a", kCFStringEncodingUTF8);
  CFStringRef b = CFStringCreateWithCString(nullptr, "b", kCFStringEncodingUTF8);
  CFMutableArrayRef array = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
  CFArrayAppendValue(array, a);
  CFArrayAppendValue(array, a);  // duplicates are kept
  CFArrayInsertValueAtIndex(array, 0, b);
  EXPECT_EQ(CFGetRetainCount(a), 3);
  EXPECT_EQ(CFGetRetainCount(b), 2);
  ASSERT_EQ(CFArrayGetCount(array), 3);
  EXPECT_EQ(CFArrayGetValueAtIndex(array, 0), b);
  EXPECT_EQ(CFArrayGetValueAtIndex(array, 1), a);
  EXPECT_EQ(CFArrayGetValueAtIndex(array, 2), a);
  CFRelease(array);
  EXPECT_EQ(CFGetRetainCount(a), 1);
  EXPECT_EQ(CFGetRetainCount(b), 1);
  CFRelease(a);
  CFRelease(b);
}

TEST(PlatformArrays, WithoutCallbacksValuesAreRaw) {
  int values[3] = {};
  CFMutableArrayRef array = CFArrayCreateMutable(nullptr, 2, nullptr);
  CFArrayAppendValue(array, &values[1]);
  CFArrayInsertValueAtIndex(array, 0, &values[0]);
  CFArrayInsertValueAtIndex(array, 2, &values[2]);
  ASSERT_EQ(CFArrayGetCount(array), 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(CFArrayGetValueAtIndex(array, i), &values[i]);
  CFRelease(array);
}

TEST(PlatformStrings, BytesAreKeptAsGiven) {
  const char bytes[] = "caf\xc3\xa9 \xff\xfe";
  CFStringRef string = CFStringCreateWithCString(nullptr, bytes, kCFStringEncodingUTF8);
  EXPECT_STREQ(CFStringGetCStringPtr(string, kCFStringEncodingUTF8), bytes);
  char fits[sizeof bytes];
  EXPECT_TRUE(CFStringGetCString(string, fits, sizeof fits, kCFStringEncodingUTF8));
  EXPECT_STREQ(fits, bytes);
  char short_buffer[sizeof bytes - 1];
  EXPECT_FALSE(
      CFStringGetCString(string, short_buffer, sizeof short_buffer, kCFStringEncodingUTF8));
  EXPECT_EQ(CFStringCreateWithCString(nullptr, nullptr, kCFStringEncodingUTF8), nullptr);
  CFRelease(string);
}

class PlatformUrls : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = temp_.path();
    fs::create_directories(root_ / "real" / "inner");
    fs::create_directory_symlink(root_ / "real" / "inner", root_ / "link");
    saved_cwd_ = fs::current_path();
  }
  void TearDown() override { fs::current_path(saved_cwd_); }
  vestra::testing_support::TempDir temp_;
  fs::path root_, saved_cwd_;
};

TEST_F(PlatformUrls, PathsAreNormalizedButDotDotIsKept) {
  const std::pair<std::string, std::string> cases[] = {
      {"/a//b/./c/", "/a/b/c"}, {"/", "/"},  {"/a/../b", "/a/../b"},
      {"rel/./x/", "rel/x"},    {"./", "."}, {"//", "/"},
  };
  for (const auto& [given, expected] : cases) {
    CFURLRef url = url_of(given);
    Owned owned{url};
    EXPECT_EQ(path_of(url), expected) << given;
  }
  EXPECT_EQ(url_of(""), nullptr);
}

TEST_F(PlatformUrls, RelativeUrlRemembersTheDirectoryOfItsCreation) {
  fs::current_path(root_ / "real");
  CFURLRef relative = url_of("inner/x");
  Owned owned_relative{relative};
  fs::current_path(root_);
  CFURLRef absolute = CFURLCopyAbsoluteURL(relative);
  Owned owned_absolute{absolute};
  EXPECT_EQ(path_of(absolute), (root_ / "real" / "inner" / "x").string());
}

TEST_F(PlatformUrls, ComponentsComeAndGoAsText) {
  CFURLRef url = url_of((root_ / "real" / "inner").string());
  Owned owned{url};
  CFStringRef last = CFURLCopyLastPathComponent(url);
  Owned owned_last{last};
  EXPECT_EQ(text(last), "inner");
  CFURLRef parent = CFURLCreateCopyDeletingLastPathComponent(nullptr, url);
  Owned owned_parent{parent};
  EXPECT_EQ(path_of(parent), (root_ / "real").string());
  CFStringRef name = CFStringCreateWithCString(nullptr, "new", kCFStringEncodingUTF8);
  Owned owned_name{name};
  CFURLRef appended = CFURLCreateCopyAppendingPathComponent(nullptr, parent, name, false);
  Owned owned_appended{appended};
  EXPECT_EQ(path_of(appended), (root_ / "real" / "new").string());

  CFURLRef top = url_of("/");
  Owned owned_top{top};
  CFURLRef above_top = CFURLCreateCopyDeletingLastPathComponent(nullptr, top);
  Owned owned_above_top{above_top};
  EXPECT_EQ(path_of(above_top), "/");
  CFURLRef dot_dot = url_of("/x/..");
  Owned owned_dot_dot{dot_dot};
  CFStringRef dot_dot_name = CFURLCopyLastPathComponent(dot_dot);
  Owned owned_dot_dot_name{dot_dot_name};
  EXPECT_EQ(text(dot_dot_name), "..");
}

TEST_F(PlatformUrls, ReachabilityAndItsError) {
  CFURLRef present = url_of((root_ / "link").string());
  Owned owned_present{present};
  EXPECT_TRUE(CFURLResourceIsReachable(present, nullptr));
  CFURLRef absent = url_of((root_ / "absent").string());
  Owned owned_absent{absent};
  CFErrorRef error = nullptr;
  EXPECT_FALSE(CFURLResourceIsReachable(absent, &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(CFErrorGetCode(error), ENOENT);
  EXPECT_EQ(CFGetRetainCount(error), 1);
  CFRelease(error);
  EXPECT_FALSE(CFURLResourceIsReachable(absent, nullptr));
}

TEST_F(PlatformUrls, ReferenceLeadsToTheCurrentCanonicalPath) {
  CFURLRef url = url_of((root_ / "link" / ".." / "inner").string());
  Owned owned{url};
  CFErrorRef error = nullptr;
  CFURLRef reference = CFURLCreateFileReferenceURL(nullptr, url, &error);
  Owned owned_reference{reference};
  ASSERT_NE(reference, nullptr);
  EXPECT_EQ(error, nullptr);
  CFURLRef current = CFURLCreateFilePathURL(nullptr, reference, &error);
  Owned owned_current{current};
  ASSERT_NE(current, nullptr);
  // ".." is taken through the link by the file system, not by text.
  EXPECT_EQ(path_of(current), (root_ / "real" / "inner").string());
}

TEST_F(PlatformUrls, ReferenceToAMissingOrReplacedObjectFails) {
  CFURLRef absent = url_of((root_ / "absent").string());
  Owned owned_absent{absent};
  CFErrorRef error = nullptr;
  EXPECT_EQ(CFURLCreateFileReferenceURL(nullptr, absent, &error), nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(CFErrorGetCode(error), ENOENT);
  CFRelease(error);
  error = nullptr;

  const fs::path victim = root_ / "victim";
  fs::create_directory(victim);
  CFURLRef url = url_of(victim.string());
  Owned owned_url{url};
  CFURLRef reference = CFURLCreateFileReferenceURL(nullptr, url, nullptr);
  Owned owned_reference{reference};
  ASSERT_NE(reference, nullptr);
  fs::rename(victim, root_ / "moved");
  fs::create_directory(victim);  // a new object at the old path
  EXPECT_EQ(CFURLCreateFilePathURL(nullptr, reference, &error), nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(CFErrorGetCode(error), ENOENT);
  CFRelease(error);
}

}  // namespace
