#include "support/panic.h"

#include <gtest/gtest.h>

#include "support/poison_mutex.h"
#include "support/result.h"
#include "support/thread.h"

namespace vestra {
namespace {

// A fatal error carries its text and unwinds as the one Panic type.
TEST(Panic, CarriesPayloadKinds) {
  try {
    panic("owned " + std::to_string(1));
  } catch (const Panic& e) {
    EXPECT_STREQ(e.message(), "owned 1");
    EXPECT_TRUE(std::holds_alternative<std::string>(e.payload()));
  }
  try {
    panic_static("static");
  } catch (const Panic& e) {
    EXPECT_TRUE(std::holds_alternative<const char*>(e.payload()));
  }
  try {
    panic_with_payload(OpaquePayload{std::make_shared<int>(3)});
  } catch (const Panic& e) {
    EXPECT_EQ(e.message(), nullptr);
  }
}

// The report names the thread, the source location and the message.
TEST(Panic, ReportOnStandardError) {
  testing::internal::CaptureStderr();
  EXPECT_THROW(panic("something broke"), Panic);
  const std::string report = testing::internal::GetCapturedStderr();
  EXPECT_EQ(report.rfind("\nthread 'main' panicked at tests/cpp/panic_test.cpp:", 0), 0u) << report;
  EXPECT_NE(report.find(":\nsomething broke\n"), std::string::npos) << report;
}

// Resuming a fatal error writes no second report.
TEST(Panic, ResumeIsSilent) {
  testing::internal::CaptureStderr();
  EXPECT_THROW(resume_panic(std::string("again")), Panic);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// unwrap on an error names the error's text form.
TEST(Panic, UnwrapMessage) {
  Result<int, PoisonError> failed = Err(PoisonError{});
  testing::internal::CaptureStderr();
  try {
    (void)std::move(failed).unwrap();
    FAIL() << "unwrap of an error must not return";
  } catch (const Panic& e) {
    EXPECT_STREQ(e.message(), "called `Result::unwrap()` on an `Err` value: PoisonError { .. }");
  }
  testing::internal::GetCapturedStderr();
  testing::internal::CaptureStderr();
  EXPECT_THROW((void)unwrap(std::optional<int>{}), Panic);
  EXPECT_NE(
      testing::internal::GetCapturedStderr().find("called `Option::unwrap()` on a `None` value"),
      std::string::npos);
}

// A fatal error raised while the mutex is held poisons it; later locks report that.
TEST(PoisonMutex, PoisonedByUnwindingHolder) {
  PoisonMutex<int> mutex(0);
  testing::internal::CaptureStderr();
  try {
    auto guard = mutex.lock().unwrap();
    *guard = 1;
    panic_static("while holding");
  } catch (const Panic&) {
  }
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(mutex.is_poisoned());
  auto again = mutex.lock();
  EXPECT_TRUE(again.is_err());

  PoisonMutex<int> healthy(0);
  { auto guard = healthy.lock().unwrap(); }
  EXPECT_FALSE(healthy.is_poisoned());
}

// A thread's fatal error is handed to the joiner; a clean end gives nothing.
TEST(JoinableThread, FailureReachesJoin) {
  testing::internal::CaptureStderr();
  auto failing = JoinableThread::spawn("vestra test", [] { panic_static("in thread"); });
  ASSERT_TRUE(failing.is_ok());
  auto failure = failing.value().join();
  testing::internal::GetCapturedStderr();
  ASSERT_TRUE(failure.has_value());
  EXPECT_STREQ(std::get<const char*>(*failure), "in thread");
  EXPECT_TRUE(failing.value().is_finished());

  auto clean = JoinableThread::spawn("vestra test", [] {});
  ASSERT_TRUE(clean.is_ok());
  EXPECT_FALSE(clean.value().join().has_value());
  EXPECT_TRUE(clean.value().is_finished());
}

// The thread names itself, cut to what the platform keeps: 15 bytes on Linux, 63 on macOS
// (both refuse a longer name instead of cutting it).
TEST(JoinableThread, NamesItself) {
  const std::string long_name(80, 'n');
  struct Case {
    std::string given, on_linux, on_macos;
  };
  const Case cases[] = {
      {"murmelant fsevents loop", "murmelant fseve", "murmelant fsevents loop"},
      {long_name, long_name.substr(0, 15), long_name.substr(0, 63)},
      {"vestra", "vestra", "vestra"},
  };
  for (const Case& c : cases) {
    std::string seen;
    auto thread = JoinableThread::spawn(c.given, [&] { seen = current_thread_name(); });
    ASSERT_TRUE(thread.is_ok());
    (void)thread.value().join();
#if defined(__APPLE__)
    EXPECT_EQ(seen, c.on_macos);
#else
    EXPECT_EQ(seen, c.on_linux);
#endif
  }
}

using PanicDeathTest = ::testing::Test;

// A fatal error where unwinding cannot continue ends the process after both reports.
TEST_F(PanicDeathTest, NounwindAborts) {
  EXPECT_DEATH(call_nounwind([] { panic_static("inner failure"); }),
               "inner failure\n(.|\n)*panic in a function that cannot unwind\n"
               "thread caused non-unwinding panic. aborting.");
}

}  // namespace
}  // namespace vestra
