// The parameters of a Python-callable function, and the placement of a call's arguments.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "binding/err.h"
#include "support/result.h"

namespace vestra {

/// A parameter that may only be passed by keyword.
struct KeywordOnlyParameter {
  std::string_view name;
  bool required;
};

/// The static description of one function's parameters.
struct FunctionDescription {
  std::string_view function_name;
  std::optional<std::string_view> class_name;
  /// Parameters that may be passed by position, in order.
  std::span<const std::string_view> positional_names;
  /// The first this many of `positional_names` may not be passed by keyword.
  std::size_t positional_only_count = 0;
  /// The first this many of `positional_names` must receive a value.
  std::size_t required_positional_count = 0;
  std::span<const KeywordOnlyParameter> keyword_only;

  /// The name that starts every placement message: "f()" or "C.f()".
  std::string full_name() const;

  /// Places a fast call's arguments into `output`: one slot per positional name, then one
  /// per keyword-only parameter, all empty on entry. Slots receive borrowed references from
  /// `args`. `args` holds `nargs` positional values followed by one value per name in
  /// `kwnames` (a tuple of str, or null). The first failure ends placement.
  Result<Unit, PyErr> extract_arguments_fastcall(PyObject* const* args, Py_ssize_t nargs,
                                                 PyObject* kwnames,
                                                 std::span<PyObject*> output) const;

  // The TypeErrors of placement; each message is composed at once.
  PyErr too_many_positional_arguments(std::size_t given) const;
  PyErr unexpected_keyword_argument(PyObject* name) const;
  PyErr multiple_values_for_argument(std::string_view name) const;
  PyErr positional_only_keyword_arguments(std::span<const std::string_view> names) const;
  /// The names among the required positional parameters whose slots are empty.
  PyErr missing_required_positional_arguments(std::span<PyObject* const> output) const;
  /// The names of required keyword-only parameters whose slots (after the positional
  /// ones in `output`) are empty.
  PyErr missing_required_keyword_arguments(std::span<PyObject* const> output) const;
  PyErr missing_required_arguments(std::string_view kind,
                                   std::span<const std::string_view> names) const;
};

/// Appends names as 'a', 'a' and 'b', or 'a', 'b', and 'c'.
void push_parameter_list(std::string& message, std::span<const std::string_view> names);

}  // namespace vestra
