// rswatcher(path, callback): watch a tree and call back once per event.
#pragma once

#include <Python.h>

#include <string>

#include "binding/err.h"
#include "binding/py_ref.h"
#include "event/event_handler.h"
#include "support/channel.h"
#include "support/result.h"

namespace vestra {

/// The entry of `rswatcher`, in the interpreter's fast-call-with-keywords form.
PyObject* rswatcher_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);

/// Watches the tree at `path` and calls `callback` with one new dict per event until a signal
/// handler or the callback raises. The watcher's thread has ended before this returns, on
/// every way out but one: in a child process forked by the callback, which has no such
/// thread, the watcher is left as it is.
Result<Unit, PyErr> rswatcher(const std::string& path, const Py& callback);

/// The loop of `rswatcher` over an open channel: checks signals before every wait, waits
/// detached in slices of 100 ms, delivers events in order and prints error items. Returns
/// when the callback or a signal handler raises, or normally once no sender is left; in a
/// child process forked by the callback, with RuntimeError once the callback returns.
Result<Unit, PyErr> deliver_items(Receiver<WatchItem>& receiver, PyObject* callback);

}  // namespace vestra
