// Attachment counting, detaching, and deferred release of references.
#include "binding/attach.h"

#include <gtest/gtest.h>

#include <optional>

#include "binding/py_ref.h"
#include "binding/reference_pool.h"
#include "python_test_support.h"

namespace vestra {
namespace {

using testing_support::AttachedTest;
using testing_support::panic_message;
using testing_support::run_on_other_thread;

class AttachTest : public AttachedTest {};

// Nested attachments on an attached thread take no token and unwind to the earlier count.
TEST_F(AttachTest, NestedAttachmentsOnlyCount) {
  const auto before = ATTACH_COUNT;
  {
    AttachGuard outer = assume();
    AttachGuard inner = attach();
    EXPECT_EQ(ATTACH_COUNT, before + 2);
    EXPECT_FALSE(outer.owns_token());
    EXPECT_FALSE(inner.owns_token()) << "an attached thread must not call PyGILState_Ensure";
  }
  EXPECT_EQ(ATTACH_COUNT, before);
}

// A thread that never attached takes the interpreter's token, once, for the outermost guard.
TEST_F(AttachTest, FirstAttachOnAnotherThreadTakesTheToken) {
  bool outer_token = false;
  bool inner_token = true;
  long count_inside = 0;
  long count_after = -1;
  run_on_other_thread([&] {
    {
      AttachGuard outer = attach();
      AttachGuard inner = attach();
      outer_token = outer.owns_token();
      inner_token = inner.owns_token();
      count_inside = static_cast<long>(ATTACH_COUNT);
      EXPECT_EQ(PyGILState_Check(), 1);
    }
    count_after = static_cast<long>(ATTACH_COUNT);
  });
  EXPECT_TRUE(outer_token);
  EXPECT_FALSE(inner_token);
  EXPECT_EQ(count_inside, 2);
  EXPECT_EQ(count_after, 0);
}

// Detaching zeroes the count and gives up the interpreter; re-attaching restores both.
TEST_F(AttachTest, SuspendAttachSavesAndRestoresTheCount) {
  const auto before = ATTACH_COUNT;
  {
    SuspendAttach detached;
    EXPECT_EQ(ATTACH_COUNT, 0);
    EXPECT_EQ(PyGILState_Check(), 0);
  }
  EXPECT_EQ(ATTACH_COUNT, before);
  EXPECT_EQ(PyGILState_Check(), 1);
}

// Re-attaching also happens while a fatal error unwinds through the detached scope.
TEST_F(AttachTest, SuspendAttachReattachesWhileUnwinding) {
  const auto before = ATTACH_COUNT;
  const std::string message = panic_message([] {
    SuspendAttach detached;
    panic_static("fatal while detached");
  });
  EXPECT_EQ(message, "fatal while detached");
  EXPECT_EQ(ATTACH_COUNT, before);
  EXPECT_EQ(PyGILState_Check(), 1);
}

// A negative count forbids attaching, with a message that tells why.
TEST_F(AttachTest, NegativeCountForbidsAttaching) {
  const auto before = ATTACH_COUNT;
  ATTACH_COUNT = -1;
  EXPECT_EQ(panic_message([] { (void)assume(); }),
            "Attaching a thread to the interpreter is prohibited while a __traverse__ "
            "implementation is running.");
  ATTACH_COUNT = -2;
  EXPECT_EQ(panic_message([] { (void)assume(); }),
            "Attaching a thread to the interpreter is currently prohibited.");
  ATTACH_COUNT = before;
}

// A Py released on a thread that never attached waits in the pool; the next attach frees it.
TEST_F(AttachTest, ReleaseOffTheInterpreterIsDeferredToTheNextAttach) {
  Py object = Py::steal(PyList_New(0));
  PyObject* raw = object.get();
  Py extra = object.clone_ref();
  const Py_ssize_t before = Py_REFCNT(raw);

  std::optional<Py> carried(std::move(extra));
  {
    // Detached for the other thread's sake; re-attaching drains, so look before that.
    SuspendAttach detached;
    std::thread([&] { carried.reset(); }).join();
    EXPECT_EQ(Py_REFCNT(raw), before) << "the object was touched without the interpreter";
    EXPECT_NE(POOL.load(), nullptr);
  }
  EXPECT_EQ(Py_REFCNT(raw), before - 1) << "re-attaching did not drain the pool";
}

// Releases made while attached never create the pool. (Run alone, as ctest runs each test,
// the process starts without one.)
TEST_F(AttachTest, AttachedReleasesCreateNoPool) {
  if (POOL.load() != nullptr) GTEST_SKIP() << "an earlier test in this process deferred a release";
  for (int i = 0; i < 10; ++i) {
    Py object = Py::steal(PyList_New(0));
    AttachGuard nested = attach();
  }
  EXPECT_EQ(POOL.load(), nullptr);
}

// A release on an attached thread is immediate.
TEST_F(AttachTest, ReleaseWhileAttachedIsImmediate) {
  Py object = Py::steal(PyList_New(0));
  Py extra = object.clone_ref();
  const Py_ssize_t before = Py_REFCNT(object.get());
  extra.reset();
  EXPECT_EQ(Py_REFCNT(object.get()), before - 1);
}

// Decrements queued by finalisers during a drain stay for the next drain.
TEST_F(AttachTest, PoolDrainsInOrderAndLeavesLaterQueueing) {
  Bound first = Bound::steal(PyList_New(0));
  Bound second = Bound::steal(PyList_New(0));
  Py_INCREF(first.get());
  Py_INCREF(second.get());
  reference_pool().register_decref(first.get());
  reference_pool().register_decref(second.get());
  const Py_ssize_t first_count = Py_REFCNT(first.get());
  reference_pool().drop_deferred_references();
  EXPECT_EQ(Py_REFCNT(first.get()), first_count - 1);
  EXPECT_EQ(Py_REFCNT(second.get()), first_count - 1);
}

}  // namespace
}  // namespace vestra
