// Owning references to Python objects.
#pragma once

#include <Python.h>

#include <utility>

#include "binding/reference_pool.h"

namespace vestra {

/// An owned strong reference that may be held, moved and dropped on any thread. Dropping it
/// decrements at once when the thread is attached and defers the decrement otherwise.
class Py {
 public:
  Py() noexcept = default;
  /// Takes over `object`, a new reference or null.
  static Py steal(PyObject* object) noexcept { return Py(object); }
  /// A new reference to `object` (or null); the thread must be attached.
  static Py new_ref(PyObject* object) noexcept { return Py(Py_XNewRef(object)); }

  Py(Py&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Py& operator=(Py&& other) noexcept {
    Py taken(std::move(other));
    std::swap(object_, taken.object_);
    return *this;
  }
  Py(const Py&) = delete;
  Py& operator=(const Py&) = delete;
  ~Py() { reset(); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  /// Gives up ownership: the caller now owns the reference.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  /// Drops the reference now (by the attached/deferred rule).
  void reset() noexcept {
    if (PyObject* object = std::exchange(object_, nullptr)) release_reference(object);
  }
  /// Another strong reference to the same object; the thread must be attached.
  Py clone_ref() const noexcept { return new_ref(object_); }

 private:
  explicit Py(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

/// An owned strong reference that lives only while the thread is attached, and is therefore
/// released with a plain decrement; left alone only when the interpreter ended the thread
/// (a daemon thread at exit) and the reference goes with its unwinding frames.
class Bound {
 public:
  Bound() noexcept = default;
  /// Takes over `object`, a new reference or null.
  static Bound steal(PyObject* object) noexcept { return Bound(object); }
  /// A new reference to `object` (or null).
  static Bound new_ref(PyObject* object) noexcept { return Bound(Py_XNewRef(object)); }

  Bound(Bound&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Bound& operator=(Bound&& other) noexcept {
    Bound taken(std::move(other));
    std::swap(object_, taken.object_);
    return *this;
  }
  Bound(const Bound&) = delete;
  Bound& operator=(const Bound&) = delete;
  ~Bound() { reset(); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void reset() noexcept {
    if (PyObject* object = std::exchange(object_, nullptr)) release_reference(object);
  }
  /// The same reference as one that may leave the attached scope.
  Py unbind() && noexcept { return Py::steal(release()); }

 private:
  explicit Bound(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace vestra
