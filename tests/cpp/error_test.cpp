#include "event/error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace vestra {
namespace {

using namespace std::chrono_literals;

struct ErrorTextCase {
  const char* intent;
  Error error;
  const char* text;
};

std::vector<ErrorTextCase> error_cases() {
  std::vector<ErrorTextCase> cases;
  cases.push_back({"missing path", Error::path_not_found().add_path("/missing/dir"),
                   R"(Error { kind: PathNotFound, paths: ["/missing/dir"] })"});
  cases.push_back({"no paths", Error::path_not_found(), "Error { kind: PathNotFound, paths: [] }"});
  cases.push_back({"two paths in order",
                   Error(ErrorKind::WatchNotFound{}).add_path("/a").add_path("/b"),
                   R"(Error { kind: WatchNotFound, paths: ["/a", "/b"] })"});
  cases.push_back({"max files bare", Error(ErrorKind::MaxFilesWatch{}),
                   "Error { kind: MaxFilesWatch, paths: [] }"});
  cases.push_back({"quotes and backslash escaped",
                   Error::path_not_found().add_path(R"(/w/say "hi" it's \here)"),
                   R"(Error { kind: PathNotFound, paths: ["/w/say \"hi\" it\'s \\here"] })"});
  cases.push_back({"control characters",
                   Error::path_not_found().add_path(std::string("/a\tb\rc\nd\0e", 10)),
                   R"(Error { kind: PathNotFound, paths: ["/a\tb\rc\nd\0e"] })"});
  cases.push_back(
      {"non-printable and combining as \\u{}, other non-ASCII as is",
       Error::path_not_found().add_path("/\x7f/\u00e9/e\u0301/\u00a0/\u65e5"),
       "Error { kind: PathNotFound, paths: [\"/\\u{7f}/\u00e9/e\\u{301}/\\u{a0}/\u65e5\"] }"});
  cases.push_back({"bytes that are not UTF-8",
                   Error::path_not_found().add_path("/a\xff"
                                                    "b"),
                   R"(Error { kind: PathNotFound, paths: ["/a\xFFb"] })"});
  cases.push_back({"generic message keeps single quotes", Error(ErrorKind::Generic{"can't \"go\""}),
                   R"(Error { kind: Generic("can't \"go\""), paths: [] })"});
  cases.push_back(
      {"io error", Error::io(IoError(ENOENT)),
       R"(Error { kind: Io(Os { code: 2, kind: NotFound, message: "No such file or directory" }), paths: [] })"});
  cases.push_back({"config", Error(ErrorKind(Config{30s, false, true})),
                   "Error { kind: InvalidConfig(Config { poll_interval: Some(30s), "
                   "compare_contents: false, follow_symlinks: true }), paths: [] }"});
  cases.push_back({"config without interval", Error(ErrorKind(Config{std::nullopt, true, false})),
                   "Error { kind: InvalidConfig(Config { poll_interval: None, "
                   "compare_contents: true, follow_symlinks: false }), paths: [] }"});
  return cases;
}

// Each error renders its exact one-line text.
TEST(ErrorText, Table) {
  for (const auto& c : error_cases()) {
    EXPECT_EQ(text_form(c.error), c.text) << c.intent;
  }
}

struct ErrnoCase {
  int code;
  const char* kind;
};

// OS errors map to their category; an unmapped number is Uncategorized.
TEST(IoErrorText, Categories) {
  const ErrnoCase cases[] = {
      {ENOENT, "NotFound"},      {EACCES, "PermissionDenied"},      {EPERM, "PermissionDenied"},
      {EEXIST, "AlreadyExists"}, {EINVAL, "InvalidInput"},          {ENOTDIR, "NotADirectory"},
      {EISDIR, "IsADirectory"},  {ENOSPC, "StorageFull"},           {ENOMEM, "OutOfMemory"},
      {ELOOP, "FilesystemLoop"}, {ENAMETOOLONG, "InvalidFilename"}, {EMFILE, "Uncategorized"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IoError(c.code).kind_name(), c.kind) << "errno " << c.code;
  }
  EXPECT_EQ(text_form(IoError(EACCES)),
            R"(Os { code: 13, kind: PermissionDenied, message: "Permission denied" })");
}

// Durations use the largest unit with a whole part and a trimmed fraction.
TEST(ErrorText, DurationForms) {
  const std::pair<std::chrono::nanoseconds, const char*> cases[] = {
      {30s, "30s"},   {100ms, "100ms"}, {1500ms, "1.5s"},   {250us, "250µs"},
      {10ns, "10ns"}, {0ns, "0ns"},     {1001ms, "1.001s"}, {2500ns, "2.5µs"},
  };
  for (const auto& [duration, text] : cases) {
    EXPECT_EQ(text_form_duration(duration), text);
  }
}

}  // namespace
}  // namespace vestra
