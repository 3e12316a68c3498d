// The delivery loop over a channel that the test feeds directly.
#include "module/watch_loop.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "python_test_support.h"

namespace vestra {
namespace {

using testing_support::AttachedTest;
using testing_support::eval;
using testing_support::text_of;

class WatchLoopTest : public AttachedTest {
 protected:
  /// A callback that records every dict it gets in `received` (a list), raising once it
  /// holds `limit` of them.
  void SetUp() override {
    namespace_ = eval("ns", R"(
class Stop(Exception):
    pass
class Recorder:
    def __init__(self):
        self.received = []
        self.limit = None
    def __call__(self, event):
        self.received.append(event)
        if self.limit is not None and len(self.received) >= self.limit:
            raise Stop
ns = {"recorder": Recorder(), "Stop": Stop}
)");
    recorder_ = Bound::new_ref(PyDict_GetItemString(namespace_.get(), "recorder"));
  }

  void set_limit(long limit) {
    Bound value = Bound::steal(PyLong_FromLong(limit));
    PyObject_SetAttrString(recorder_.get(), "limit", value.get());
  }

  std::string received() {
    Bound list = Bound::steal(PyObject_GetAttrString(recorder_.get(), "received"));
    Bound text = Bound::steal(PyObject_Repr(list.get()));
    return PyUnicode_AsUTF8(text.get());
  }

  Bound namespace_;
  Bound recorder_;
};

Event event(EventKind kind, std::vector<Path> paths) {
  Event made(kind);
  for (Path& path : paths) made = std::move(made).add_path(std::move(path));
  return made;
}

// Events become dicts in order; paths are decoded lossily; a sender that goes away ends the
// loop normally once everything queued was delivered.
TEST_F(WatchLoopTest, DeliversEventsInOrderThenEndsOnDisconnection) {
  auto [sender, receiver] = channel<WatchItem>();
  (void)sender.send(Ok(event(EventKind::create(CreateDetail::File), {"/w/a"})));
  (void)sender.send(Ok(
      event(EventKind::modify(ModifyDetail::data_change(DataDetail::Content)), {"/w/a", "/w/b"})));
  (void)sender.send(Ok(event(EventKind::other(), {})));
  (void)sender.send(Ok(event(EventKind::remove(RemoveDetail::Folder), {"a\xff"
                                                                       "b"})));
  (void)sender.send(Ok(event(EventKind::any(), {"\xe2\x82"
                                                "a",
                                                "\xff\xfe", ""})));
  { auto gone = std::move(sender); }

  Result<Unit, PyErr> outcome = deliver_items(receiver, recorder_.get());
  ASSERT_TRUE(outcome.is_ok()) << text_form(outcome.error());
  const std::string replacement = "\xef\xbf\xbd";  // U+FFFD, which repr() shows as it is
  EXPECT_EQ(received(),
            "[{'kind': 'Create(File)', 'paths': ['/w/a']}, "
            "{'kind': 'Modify(Data(Content))', 'paths': ['/w/a', '/w/b']}, "
            "{'kind': 'Other', 'paths': []}, "
            "{'kind': 'Remove(Folder)', 'paths': ['a" +
                replacement +
                "b']}, "
                "{'kind': 'Any', 'paths': ['" +
                replacement + "a', '" + replacement + replacement + "', '']}]");
}

// An error item prints one line on standard output, is not delivered, and the loop goes on.
TEST_F(WatchLoopTest, ErrorItemIsPrintedAndSkipped) {
  auto [sender, receiver] = channel<WatchItem>();
  (void)sender.send(Err(Error::path_not_found().add_path("/gone")));
  (void)sender.send(Ok(event(EventKind::create(CreateDetail::Folder), {"/w/d"})));
  { auto gone = std::move(sender); }

  ::testing::internal::CaptureStdout();
  Result<Unit, PyErr> outcome = deliver_items(receiver, recorder_.get());
  const std::string printed = ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(outcome.is_ok());
  EXPECT_EQ(printed, "watch error: Error { kind: PathNotFound, paths: [\"/gone\"] }\n");
  EXPECT_EQ(received(), "[{'kind': 'Create(Folder)', 'paths': ['/w/d']}]");
}

// A line that cannot be written is a fatal error that names the system's reason.
TEST_F(WatchLoopTest, FailedWriteOfTheErrorLineIsFatal) {
  auto write_to_closed_stdout = [this] {
    auto [sender, receiver] = channel<WatchItem>();
    (void)sender.send(Err(Error::path_not_found()));
    ::close(STDOUT_FILENO);
    const std::string message =
        testing_support::panic_message([&] { (void)deliver_items(receiver, recorder_.get()); });
    std::_Exit(message == "failed printing to stdout: Bad file descriptor (os error 9)" ? 0 : 1);
  };
  EXPECT_EXIT(write_to_closed_stdout(), ::testing::ExitedWithCode(0),
              "failed printing to stdout: Bad file descriptor");
}

// A callback that raises ends the loop with that very exception; later items stay queued.
TEST_F(WatchLoopTest, RaisingCallbackEndsTheLoop) {
  set_limit(2);
  auto [sender, receiver] = channel<WatchItem>();
  for (int i = 0; i < 5; ++i) {
    (void)sender.send(
        Ok(event(EventKind::create(CreateDetail::File), {"/w/" + std::to_string(i)})));
  }
  Result<Unit, PyErr> outcome = deliver_items(receiver, recorder_.get());
  ASSERT_TRUE(outcome.is_err());
  EXPECT_EQ(std::string(Py_TYPE(outcome.error().value())->tp_name), "Stop");
  EXPECT_EQ(received(),
            "[{'kind': 'Create(File)', 'paths': ['/w/0']}, "
            "{'kind': 'Create(File)', 'paths': ['/w/1']}]");
  EXPECT_TRUE(receiver.has_ready()) << "items after the failure must not be consumed";
}

// Events sent while the loop waits (detached) wake it; the wait lets other threads attach.
TEST_F(WatchLoopTest, WaitsDetachedForLaterEvents) {
  set_limit(3);
  auto [sender, receiver] = channel<WatchItem>();
  Sender<WatchItem>* late = &sender;
  std::thread producer([late] {
    for (int i = 0; i < 3; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      {
        // Attaching here succeeds only because the loop waits detached.
        AttachGuard guard = attach();
      }
      (void)late->send(Ok(event(EventKind::create(CreateDetail::File), {"/late"})));
    }
  });
  Result<Unit, PyErr> outcome = deliver_items(receiver, recorder_.get());
  {
    SuspendAttach detached;
    producer.join();
  }
  ASSERT_TRUE(outcome.is_err());
  const std::string one = "{'kind': 'Create(File)', 'paths': ['/late']}";
  EXPECT_EQ(received(), "[" + one + ", " + one + ", " + one + "]");
}

}  // namespace
}  // namespace vestra
