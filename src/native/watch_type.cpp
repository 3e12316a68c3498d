#include "native/watch_type.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "binding/attach.h"
#include "binding/entry.h"
#include "binding/py_ref.h"
#include "native/signal_block.h"
#include "native/watch_core.h"
#include "support/readable_wait.h"
#include "support/thread.h"
#include "support/wake_descriptor.h"

namespace vestra {

namespace {

using Clock = WatchCore::Clock;

constexpr const char* kStarterThreadName = "vestra start";

struct WatchObject {
  PyObject_HEAD WatchCore* core;
  // Set by make_events_with: what batches are made of instead of tuples.
  PyObject* event_type;
  PyObject* kinds;    // kind text -> kind, filled in from of_text as texts first come
  PyObject* of_text;  // kind text -> kind
};

WatchCore& core_of(PyObject* self) {
  return *reinterpret_cast<WatchObject*>(self)->core;
}

PyErr os_error(const WatchFailure& failure) {
  // OSError picks the subclass that fits the errno, as open() does.
  Py error = Py::steal(PyObject_CallFunction(
      PyExc_OSError, "isN", failure.error_number, failure.message.c_str(),
      PyUnicode_DecodeFSDefaultAndSize(failure.filename.data(),
                                       static_cast<Py_ssize_t>(failure.filename.size()))));
  if (!error) return PyErr::fetch();
  return PyErr::normalized(std::move(error));
}

PyErr type_error(const char* message) {
  return PyErr::new_err(PyExc_TypeError, message);
}

/// A str from a path's bytes, undecodable bytes kept as surrogates (as os.fsdecode does).
PyObject* path_str(const std::string& path) {
  return PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
}

/// The kind text of an event and the kind that `maker` gives it, made once per text.
struct KindOf {
  Py text;
  PyObject* kind;  // borrowed from the maker's kinds
};

/// `batch` as instances of the maker's event type, filled in through their slots' descriptors
/// (past a frozen type's __setattr__, as its own __init__ goes): a burst holds 100,000 events.
Result<Py, PyErr> event_list(const WatchObject& maker, const std::vector<NativeEvent>& batch) {
  static constexpr const char* kSlotNames[] = {"kind", "path", "old_path", "is_dir", "text"};
  Py names[5];
  for (int i = 0; i < 5; ++i) {
    names[i] = Py::steal(PyUnicode_InternFromString(kSlotNames[i]));
    if (!names[i]) return Err(PyErr::fetch());
  }
  auto* type = reinterpret_cast<PyTypeObject*>(maker.event_type);
  auto* alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  // The slots' own descriptors, set directly: no look-up through the type per field.
  Py slots[5];
  descrsetfunc set_slot[5] = {};
  for (int i = 0; i < 5; ++i) {
    slots[i] = Py::steal(PyObject_GetAttr(maker.event_type, names[i].get()));
    if (!slots[i]) return Err(PyErr::fetch());
    set_slot[i] =
        reinterpret_cast<descrsetfunc>(PyType_GetSlot(Py_TYPE(slots[i].get()), Py_tp_descr_set));
    if (!set_slot[i]) return Err(type_error("event_type must have slots for every field"));
  }
  // An event holds a kind and strings, none of which can lead back to it: no cycle to
  // collect runs through one, so the collector need not track the 100,000 of a burst.
  const bool tracked = (PyType_GetFlags(type) & Py_TPFLAGS_HAVE_GC) != 0;
  std::vector<std::pair<std::string_view, KindOf>> kinds;  // the few texts of this batch
  Py list = Py::steal(PyList_New(static_cast<Py_ssize_t>(batch.size())));
  if (!list) return Err(PyErr::fetch());
  for (std::size_t i = 0; i < batch.size(); ++i) {
    const NativeEvent& event = batch[i];
    auto known = std::find_if(kinds.begin(), kinds.end(),
                              [&](const auto& entry) { return entry.first == event.text; });
    if (known == kinds.end()) {
      Py text = Py::steal(PyUnicode_FromStringAndSize(event.text.data(),
                                                      static_cast<Py_ssize_t>(event.text.size())));
      if (!text) return Err(PyErr::fetch());
      PyObject* kind = PyDict_GetItemWithError(maker.kinds, text.get());
      if (!kind) {
        if (PyErr_Occurred()) return Err(PyErr::fetch());
        Py made = Py::steal(PyObject_CallFunctionObjArgs(maker.of_text, text.get(), nullptr));
        if (!made || PyDict_SetItem(maker.kinds, text.get(), made.get()) != 0) {
          return Err(PyErr::fetch());
        }
        kind = made.get();  // the dict holds it now
      }
      kinds.emplace_back(event.text, KindOf{std::move(text), kind});
      known = kinds.end() - 1;
    }
    Py object = Py::steal(alloc(type, 0));
    if (!object) return Err(PyErr::fetch());
    if (tracked) PyObject_GC_UnTrack(object.get());
    Py path = Py::steal(path_str(event.path));
    Py old_path = event.old_path ? Py::steal(path_str(*event.old_path)) : Py::new_ref(Py_None);
    if (!path || !old_path) return Err(PyErr::fetch());
    PyObject* is_dir = event.is_dir == IsDir::Unknown ? Py_None
                       : event.is_dir == IsDir::Yes   ? Py_True
                                                      : Py_False;
    PyObject* values[5] = {known->second.kind, path.get(), old_path.get(), is_dir,
                           known->second.text.get()};
    for (int slot = 0; slot < 5; ++slot) {
      if (set_slot[slot](slots[slot].get(), object.get(), values[slot]) != 0) {
        return Err(PyErr::fetch());
      }
    }
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), object.release());
  }
  return Ok(std::move(list));
}

Result<Py, PyErr> batch_list(const WatchObject& maker, const std::vector<NativeEvent>& batch) {
  if (maker.event_type) return event_list(maker, batch);
  Py list = Py::steal(PyList_New(static_cast<Py_ssize_t>(batch.size())));
  if (!list) return Err(PyErr::fetch());
  for (std::size_t i = 0; i < batch.size(); ++i) {
    const NativeEvent& event = batch[i];
    PyObject* old_path = event.old_path ? path_str(*event.old_path) : Py_NewRef(Py_None);
    PyObject* item = Py_BuildValue("(sNNi)", event.text.c_str(), path_str(event.path), old_path,
                                   static_cast<int>(event.is_dir));
    if (!item) return Err(PyErr::fetch());
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return Ok(std::move(list));
}

/// The strings of a list, or a TypeError naming `what`.
Result<std::vector<std::string>, PyErr> string_list(PyObject* object, const char* what) {
  if (!PyList_Check(object)) return Err(type_error(what));
  std::vector<std::string> strings;
  for (Py_ssize_t i = 0; i < PyList_Size(object); ++i) {
    PyObject* item = PyList_GetItem(object, i);
    if (!PyUnicode_Check(item)) return Err(type_error(what));
    Py bytes = Py::steal(PyUnicode_EncodeFSDefault(item));
    if (!bytes) return Err(PyErr::fetch());
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) == -1) return Err(PyErr::fetch());
    strings.emplace_back(data, static_cast<std::size_t>(size));
  }
  return Ok(std::move(strings));
}

Result<Clock::duration, PyErr> seconds(double value, const char* name) {
  if (!std::isfinite(value) || value < 0) {
    return Err(PyErr::new_err(PyExc_ValueError,
                              std::string(name) + " must be a finite number of seconds >= 0"));
  }
  return Ok(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(value)));
}

/// Runs `core.start()` on a thread of its own while this one waits where a signal ends the
/// wait: Ctrl-C during the walk of a large tree closes the watch, which ends the walk at its
/// next directory, and raises KeyboardInterrupt at once instead of after the walk.
Result<Unit, PyErr> start_core(WatchCore& core) {
  std::optional<Result<Unit, WatchFailure>> outcome;
  WakeDescriptor done(WakeDescriptor::MayFail{});
  Result<JoinableThread, IoError> starter = [&]() -> Result<JoinableThread, IoError> {
    if (!done.valid()) return Err(IoError::last_os_error());
    SignalBlock no_signals;  // Ctrl-C is for this thread, waiting below
    return JoinableThread::spawn(kStarterThreadName, [&] {
      // Raised however the start ends, a fatal error included, which the join hands over.
      struct RaiseAtEnd {
        WakeDescriptor& done;
        ~RaiseAtEnd() { done.raise(); }
      } raise_at_end{done};
      outcome = core.start();
    });
  }();
  // Short of a descriptor or a thread, the start runs here, past the reach of Ctrl-C; it
  // then reports what it is short of itself.
  std::optional<PyErr> interrupted;
  if (starter.is_err()) {
    outcome = detached([&] { return core.start(); });
  } else {
    while (true) {
      const int error = detached([&] { return wait_readable(done.fd(), std::nullopt); });
      // Readable, or a wait that cannot be had: the join below waits instead.
      if (error != EINTR) break;
      if (PyErr_CheckSignals() == -1) {
        interrupted = PyErr::fetch();
        detached([&] { core.close(); });  // which ends the walk at its next directory
        break;
      }
    }
    if (auto failure = detached([&] { return starter.value().join(); })) {
      resume_panic(std::move(*failure));
    }
  }
  if (interrupted) return Err(std::move(*interrupted));
  Result<Unit, WatchFailure>& started = *outcome;
  if (started.is_err()) {
    detached([&] { core.close(); });
    return Err(os_error(started.error()));
  }
  return Ok();
}

int watch_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"paths",    "recursive", "ignore", "debounce",      "max_delay",
                                   "coalesce", "start",     "poll",   "poll_interval", nullptr};
  PyObject* paths = nullptr;
  PyObject* recursive = nullptr;
  PyObject* ignore = nullptr;
  double debounce = 0;
  double max_delay = 0;
  int coalesce = 0;
  int start = 1;
  PyObject* poll = Py_None;
  double poll_interval = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOddpp|Od", const_cast<char**>(keywords), &paths,
                                   &recursive, &ignore, &debounce, &max_delay, &coalesce, &start,
                                   &poll, &poll_interval)) {
    return -1;
  }
  PyObject* made = entry_boundary([&]() -> EntryResult {
    auto* object = reinterpret_cast<WatchObject*>(self);
    if (object->core) return Err(PyErr::new_err(PyExc_RuntimeError, "Watch is set up already"));
    Result<std::vector<std::string>, PyErr> path_list =
        string_list(paths, "paths must be a list of str");
    if (path_list.is_err()) return Err(std::move(path_list).error());
    if (!PyList_Check(recursive) || PyList_Size(recursive) != PyList_Size(paths)) {
      return Err(type_error("recursive must be a list of bool, one per path"));
    }
    Result<std::vector<std::string>, PyErr> patterns =
        string_list(ignore, "ignore must be a list of str");
    if (patterns.is_err()) return Err(std::move(patterns).error());
    WatchSettings settings;
    for (std::size_t i = 0; i < path_list.value().size(); ++i) {
      const int deep = PyObject_IsTrue(PyList_GetItem(recursive, static_cast<Py_ssize_t>(i)));
      if (deep == -1) return Err(PyErr::fetch());
      settings.targets.push_back(WatchTarget{path_list.value()[i], deep == 1});
    }
    settings.ignore = std::move(patterns).value();
    Result<Clock::duration, PyErr> quiet = seconds(debounce, "debounce");
    if (quiet.is_err()) return Err(std::move(quiet).error());
    Result<Clock::duration, PyErr> cap = seconds(max_delay, "max_delay");
    if (cap.is_err()) return Err(std::move(cap).error());
    settings.batching = {quiet.value(), cap.value(), coalesce != 0};
    if (poll != Py_None) {
      const int forced = PyObject_IsTrue(poll);
      if (forced == -1) return Err(PyErr::fetch());
      settings.poll = forced == 1;
    }
    // 0 leaves the interval to the environment.
    if (!(poll_interval >= 0 && poll_interval <= 86400)) {
      return Err(PyErr::new_err(PyExc_ValueError, "poll_interval must be positive seconds"));
    }
    settings.poll_interval = poll_interval;
    Result<std::unique_ptr<WatchCore>, WatchFailure> core = WatchCore::create(std::move(settings));
    if (core.is_err()) return Err(os_error(core.error()));
    object->core = std::move(core).value().release();
    if (start) {
      Result<Unit, PyErr> started = start_core(*object->core);
      if (started.is_err()) return Err(std::move(started).error());
    }
    return Ok(Py::new_ref(Py_None));
  });
  if (!made) return -1;
  Py_DECREF(made);
  return 0;
}

void watch_dealloc(PyObject* self) {
  auto* object = reinterpret_cast<WatchObject*>(self);
  Py_CLEAR(object->event_type);
  Py_CLEAR(object->kinds);
  Py_CLEAR(object->of_text);
  if (WatchCore* core = std::exchange(object->core, nullptr)) {
    detached([&] { delete core; });
  }
  PyTypeObject* type = Py_TYPE(self);
  auto* free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

/// Every method needs a set-up object.
template <class Body>
PyObject* method(PyObject* self, Body&& body) {
  return entry_boundary([&]() -> EntryResult {
    if (!reinterpret_cast<WatchObject*>(self)->core) {
      return Err(PyErr::new_err(PyExc_RuntimeError, "Watch.__init__ was not called"));
    }
    return std::forward<Body>(body)(core_of(self));
  });
}

PyObject* watch_start(PyObject* self, PyObject*) {
  return method(self, [](WatchCore& core) -> EntryResult {
    Result<Unit, PyErr> started = start_core(core);
    if (started.is_err()) return Err(std::move(started).error());
    return Ok(Py::new_ref(Py_None));
  });
}

PyObject* watch_close(PyObject* self, PyObject*) {
  return method(self, [](WatchCore& core) -> EntryResult {
    detached([&] { core.close(); });
    return Ok(Py::new_ref(Py_None));
  });
}

PyObject* watch_fileno(PyObject* self, PyObject*) {
  return method(self, [](WatchCore& core) -> EntryResult {
    return Ok(Py::steal(PyLong_FromLong(core.fileno())));
  });
}

/// What a poll of the core gives Python: a batch, seconds until one is due (-1.0: none
/// pending), or None once closed.
Result<Py, PyErr> poll_result(PyObject* self, WatchCore& core,
                              std::optional<Clock::duration>* wait) {
  auto polled = core.poll_batch();
  if (auto* batch = std::get_if<std::vector<NativeEvent>>(&polled)) {
    return batch_list(*reinterpret_cast<WatchObject*>(self), *batch);
  }
  if (std::holds_alternative<WatchCore::Closed>(polled)) return Ok(Py::new_ref(Py_None));
  const auto& pending = std::get<std::optional<Clock::duration>>(polled);
  if (wait) *wait = pending;
  const double left =
      pending ? std::max(std::chrono::duration<double>(*pending).count(), 1e-9) : -1.0;
  return Ok(Py::steal(PyFloat_FromDouble(left)));
}

PyObject* watch_read_ready(PyObject* self, PyObject*) {
  return method(self, [&](WatchCore& core) { return poll_result(self, core, nullptr); });
}

PyObject* watch_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  double timeout = -1;
  bool bounded = false;
  if (nargs > 1 || (kwnames && PyTuple_Size(kwnames) > 0 &&
                    (nargs + PyTuple_Size(kwnames) > 1 ||
                     PyUnicode_CompareWithASCIIString(PyTuple_GetItem(kwnames, 0), "timeout")))) {
    PyErr_SetString(PyExc_TypeError, "read() takes one optional argument, timeout");
    return nullptr;
  }
  if (nargs + (kwnames ? PyTuple_Size(kwnames) : 0) == 1 && args[0] != Py_None) {
    timeout = PyFloat_AsDouble(args[0]);
    if (timeout == -1 && PyErr_Occurred()) return nullptr;
    if (std::isnan(timeout)) {
      PyErr_SetString(PyExc_ValueError, "timeout must be a number of seconds");
      return nullptr;
    }
    bounded = true;
  }
  return method(self, [&](WatchCore& core) -> EntryResult {
    const Clock::time_point deadline =
        bounded ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(std::max(timeout, 0.0)))
                : Clock::time_point::max();
    while (true) {
      std::optional<Clock::duration> pending;
      Result<Py, PyErr> polled = poll_result(self, core, &pending);
      if (polled.is_err() || !PyFloat_Check(polled.value().get())) return polled;
      const Clock::time_point now = Clock::now();
      if (now >= deadline) return Ok(Py::steal(PyList_New(0)));
      std::optional<Clock::duration> wait;
      if (bounded) wait = deadline - now;
      if (pending && (!wait || *pending < *wait)) wait = pending;
      std::optional<std::chrono::nanoseconds> span;
      if (wait) span = std::chrono::duration_cast<std::chrono::nanoseconds>(*wait);
      const int error = detached([&] { return wait_readable(core.fileno(), span); });
      if (error != 0 && error != EINTR) {
        errno = error;
        PyErr_SetFromErrno(PyExc_OSError);
        return Err(PyErr::fetch());
      }
      // A signal handler that raises (Ctrl-C) ends the wait with its exception.
      if (error == EINTR && PyErr_CheckSignals() == -1) return Err(PyErr::fetch());
    }
  });
}

PyObject* watch_make_events_with(PyObject* self, PyObject* args) {
  PyObject* event_type = nullptr;
  PyObject* kinds = nullptr;
  PyObject* of_text = nullptr;
  if (!PyArg_ParseTuple(args, "O!O!O:make_events_with", &PyType_Type, &event_type, &PyDict_Type,
                        &kinds, &of_text)) {
    return nullptr;
  }
  if (!PyCallable_Check(of_text)) {
    PyErr_SetString(PyExc_TypeError, "of_text must be callable");
    return nullptr;
  }
  auto* object = reinterpret_cast<WatchObject*>(self);
  for (auto [field, value] :
       {std::pair{&object->event_type, event_type}, std::pair{&object->kinds, kinds},
        std::pair{&object->of_text, of_text}}) {
    PyObject* old = std::exchange(*field, Py_NewRef(value));
    Py_XDECREF(old);
  }
  Py_RETURN_NONE;
}

PyObject* watch_coverage(PyObject* self, PyObject*) {
  return method(self, [](WatchCore& core) -> EntryResult {
    const auto rows = core.coverage();
    Py list = Py::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    if (!list) return Err(PyErr::fetch());
    for (std::size_t i = 0; i < rows.size(); ++i) {
      PyObject* row = Py_BuildValue("(NNs)", path_str(rows[i][0]),
                                    PyUnicode_FromString(rows[i][1].c_str()), rows[i][2].c_str());
      if (!row) return Err(PyErr::fetch());
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), row);
    }
    return Ok(std::move(list));
  });
}

PyObject* watch_get_closed(PyObject* self, void*) {
  return method(self, [](WatchCore& core) -> EntryResult {
    return Ok(Py::new_ref(core.closed() ? Py_True : Py_False));
  });
}

PyObject* watch_get_watch_count(PyObject* self, void*) {
  return method(self, [](WatchCore& core) -> EntryResult {
    return Ok(Py::steal(PyLong_FromSize_t(core.watch_count())));
  });
}

PyMethodDef kMethods[] = {
    {"start", watch_start, METH_NOARGS,
     "start($self, /)\n--\n\nSets the watch up; returns once it is live."},
    {"close", watch_close, METH_NOARGS,
     "close($self, /)\n--\n\nEnds the watch; idempotent, from any thread."},
    {"fileno", watch_fileno, METH_NOARGS,
     "fileno($self, /)\n--\n\nA descriptor readable while a batch is due or the watch is "
     "closed."},
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&watch_read)),
     METH_FASTCALL | METH_KEYWORDS,
     "read($self, /, timeout=None)\n--\n\nThe next batch: a list of event tuples; [] once "
     "`timeout` seconds passed; None once closed."},
    {"read_ready", watch_read_ready, METH_NOARGS,
     "read_ready($self, /)\n--\n\nA due batch; else seconds until the pending one is due "
     "(-1.0: none pending); None once closed."},
    {"make_events_with", watch_make_events_with, METH_VARARGS,
     "make_events_with($self, event_type, kinds, of_text, /)\n--\n\nBatches become lists of "
     "event_type, filled in through its slots kind, path, old_path, is_dir and text; kinds "
     "maps kind texts to kinds, of_text makes the missing ones."},
    {"coverage", watch_coverage, METH_NOARGS,
     "coverage($self, /)\n--\n\n(directory, mechanism, reason) per watched path."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSets[] = {
    {"closed", watch_get_closed, nullptr, "True once closed.", nullptr},
    {"watch_count", watch_get_watch_count, nullptr, "Directories watched so far.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_init, reinterpret_cast<void*>(&watch_init)},
    {Py_tp_new, reinterpret_cast<void*>(&PyType_GenericNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&watch_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSets},
    {Py_tp_doc, const_cast<char*>("Watch(paths, recursive, ignore, debounce, max_delay, "
                                  "coalesce, start)\n--\n\nThe native watch behind "
                                  "vestra.watch.Watch.")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "vestra._native.Watch", sizeof(WatchObject), 0, Py_TPFLAGS_DEFAULT, kSlots,
};

}  // namespace

Result<Unit, PyErr> add_watch_type(PyObject* module) {
  PyObject* type = PyType_FromSpec(&kSpec);
  if (!type) return Err(PyErr::fetch());
  if (PyModule_AddObject(module, "Watch", type) == -1) {
    Py_DECREF(type);
    return Err(PyErr::fetch());
  }
  return Ok();
}

}  // namespace vestra
