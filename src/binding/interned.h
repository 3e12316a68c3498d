// Interned str objects, made once per process and kept.
#pragma once

#include <Python.h>

#include <string_view>

#include "binding/once_cell.h"
#include "binding/py_ref.h"

namespace vestra {

/// One interned str, created on first use and kept until the process ends.
class InternedString {
 public:
  explicit InternedString(std::string_view text) noexcept : text_(text) {}
  /// The interned object, borrowed. The thread must be attached.
  PyObject* get();

 private:
  std::string_view text_;
  OnceCell<Py> cell_;
};

/// The names that the module's code looks up.
struct InternedNames {
  InternedString io{"io"};
  InternedString string_io{"StringIO"};
  InternedString getvalue{"getvalue"};
  InternedString dunder_name{"__name__"};
  InternedString dunder_all{"__all__"};
};

/// INTERNED: the process-wide interned names.
extern InternedNames INTERNED;

}  // namespace vestra
