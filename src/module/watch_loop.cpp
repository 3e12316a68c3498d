#include "module/watch_loop.h"

#include <array>
#include <chrono>
#include <memory>
#include <string_view>
#include <utility>

#include "backend/watcher.h"
#include "binding/attach.h"
#include "binding/entry.h"
#include "binding/extract.h"
#include "binding/function_description.h"
#include "binding/text_conversion.h"
#include "event/kind_text.h"
#include "module/delivery.h"
#include "module/line_stdout.h"
#include "support/text.h"

namespace vestra {

namespace {

constexpr std::array<std::string_view, 2> kRswatcherParameters = {"path", "callback"};
constexpr FunctionDescription RSWATCHER_DESCRIPTION{
    .function_name = "rswatcher",
    .class_name = std::nullopt,
    .positional_names = kRswatcherParameters,
    .positional_only_count = 0,
    .required_positional_count = 2,
    .keyword_only = {},
};

constexpr const char* kForkedMessage =
    "rswatcher cannot go on in a child process forked by its callback";

/// How long one wait on the channel lasts, and so how late a pending signal may be seen.
constexpr std::chrono::nanoseconds kWaitSlice = std::chrono::milliseconds(100);

/// Stores `value` under `key` in `dict`; releases `value`.
Result<Unit, PyErr> set_item(PyObject* dict, std::string_view key, Bound value) {
  Bound key_object = make_str(key);
  if (PyDict_SetItem(dict, key_object.get(), value.get()) == -1) return Err(PyErr::fetch());
  return Ok();
}

/// The dict that the callback receives for `event`: "kind", then "paths".
Result<Bound, PyErr> event_dict(const Event& event) {
  Bound dict = Bound::steal(PyDict_New());
  if (!dict) panic_after_error();
  Result<Unit, PyErr> stored = set_item(dict.get(), "kind", make_str(kind_text(event.kind())));
  if (stored.is_err()) return Err(std::move(stored).error());

  const std::vector<Path>& paths = event.paths();
  Bound list = Bound::steal(PyList_New(static_cast<Py_ssize_t>(paths.size())));
  if (!list) panic_after_error();
  for (std::size_t i = 0; i < paths.size(); ++i) {
    // Linux names are arbitrary bytes; invalid stretches become U+FFFD.
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i),
                       make_str(to_utf8_lossy(paths[i])).release()) == -1) {
      panic_after_error();
    }
  }
  stored = set_item(dict.get(), "paths", std::move(list));
  if (stored.is_err()) return Err(std::move(stored).error());
  return Ok(std::move(dict));
}

/// Calls `callback` with the event's dict as its one positional argument; the result is
/// dropped.
Result<Unit, PyErr> deliver_event(PyObject* callback, const Event& event) {
  Result<Bound, PyErr> dict = event_dict(event);
  if (dict.is_err()) return Err(std::move(dict).error());
  // Slot 0 is scratch space that the callee may use (PY_VECTORCALL_ARGUMENTS_OFFSET).
  PyObject* arguments[2] = {nullptr, dict.value().get()};
  // Python code runs in the call and in the releases: a daemon thread may end in either.
  Bound returned = Bound::steal(interpreter_call([&] {
    return PyObject_Vectorcall(callback, arguments + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                               nullptr);
  }));
  interpreter_call([&] { dict.value().reset(); });
  if (!returned) return Err(PyErr::fetch());
  interpreter_call([&] { returned.reset(); });
  return Ok();
}

/// The next item: taken at once when one is ready, otherwise waited for, detached, for at
/// most one slice.
Result<WatchItem, RecvTimeoutError> next_item(Receiver<WatchItem>& receiver) {
  if (receiver.has_ready()) return receiver.recv_timeout(std::chrono::nanoseconds::zero());
  return detached([&] { return receiver.recv_timeout(kWaitSlice); });
}

}  // namespace

Result<Unit, PyErr> deliver_items(Receiver<WatchItem>& receiver, PyObject* callback) {
  const pid_t owner = ::getpid();
  while (true) {
    if (PyErr_CheckSignals() == -1) return Err(PyErr::fetch());
    Result<WatchItem, RecvTimeoutError> received = next_item(receiver);
    if (received.is_err()) {
      if (received.error() == RecvTimeoutError::Disconnected) return Ok();
      continue;
    }
    WatchItem item = std::move(received).value();
    if (item.is_err()) {
      write_stdout_lines("watch error: " + text_form(item.error()) + "\n");
      continue;
    }
    Result<Unit, PyErr> delivered = deliver_event(callback, item.value());
    if (delivered.is_err()) return delivered;
    if (::getpid() != owner) return Err(PyErr::new_err(PyExc_RuntimeError, kForkedMessage));
  }
}

Result<Unit, PyErr> rswatcher(const std::string& path, const Py& callback) {
  DeliveryChannel channel = make_delivery_channel();
  // Stopped detached on the ways out below; a fatal error or the interpreter ending this
  // thread instead destroys it as it unwinds, which touches nothing of Python.
  std::unique_ptr<Watcher> watcher = FsEventWatcher::from_event_handler(std::move(channel.handler));
  const auto drop_watcher = [&] { detached([&] { watcher.reset(); }); };
  // Setting up walks the tree; other Python threads may run meanwhile.
  Result<Unit, Error> watching =
      detached([&] { return watcher->watch(path, WatchDepth::Subtree); });
  if (watching.is_err()) drop_watcher();
  std::move(watching).unwrap();
  const pid_t owner = ::getpid();
  Result<Unit, PyErr> delivered = deliver_items(channel.receiver, callback.get());
  if (::getpid() != owner) {
    // A child forked by the callback: the loop thread is the parent's, and the locks that
    // it shares with this copy of the watch may stay held for ever. Left untouched.
    (void)watcher.release();
    (void)new Receiver<WatchItem>(std::move(channel.receiver));
    return delivered;
  }
  drop_watcher();
  return delivered;
}

PyObject* rswatcher_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return entry_boundary([&]() -> EntryResult {
    std::array<PyObject*, 2> slots = {};
    Result<Unit, PyErr> placed =
        RSWATCHER_DESCRIPTION.extract_arguments_fastcall(args, nargs, kwnames, slots);
    if (placed.is_err()) return Err(std::move(placed).error());
    Result<std::string, PyErr> path = extract<std::string>(slots[0]);
    if (path.is_err()) return Err(argument_extraction_error("path", std::move(path).error()));
    const Py callback = Py::new_ref(slots[1]);
    // Torn down in reverse: watcher, receiving end (inside rswatcher), callback, path.
    Result<Unit, PyErr> watched = rswatcher(path.value(), callback);
    if (watched.is_err()) return Err(std::move(watched).error());
    return Ok(Py::new_ref(Py_None));
  });
}

}  // namespace vestra
