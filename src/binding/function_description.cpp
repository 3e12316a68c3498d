#include "binding/function_description.h"

#include <algorithm>
#include <vector>

#include "binding/text_conversion.h"

namespace vestra {

namespace {

/// A lazy TypeError with `message`.
PyErr type_error(std::string message) {
  return PyErr::new_err(PyExc_TypeError, std::move(message));
}

/// The index of `name` in `names`, compared by length and bytes.
template <class T, class NameOf>
std::optional<std::size_t> find_name(std::span<const T> entries, std::string_view name,
                                     NameOf name_of) {
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (name_of(entries[i]) == name) return i;
  }
  return std::nullopt;
}

}  // namespace

std::string FunctionDescription::full_name() const {
  std::string name;
  if (class_name) {
    name += *class_name;
    name += '.';
  }
  name += function_name;
  name += "()";
  return name;
}

Result<Unit, PyErr> FunctionDescription::extract_arguments_fastcall(
    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> output) const {
  const std::size_t positional_given = static_cast<std::size_t>(nargs);
  const std::size_t positional_count = positional_names.size();

  if (args != nullptr) {
    const std::size_t copied = std::min(positional_given, positional_count);
    for (std::size_t i = 0; i < copied; ++i) output[i] = args[i];
    if (positional_given > positional_count) {
      return Err(too_many_positional_arguments(positional_given));
    }
  }

  // Allocated only when the first positional-only name comes by keyword.
  std::vector<std::string_view> positional_only_passed;
  const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  for (Py_ssize_t i = 0; i < keyword_count; ++i) {
    PyObject* name_object = PyTuple_GetItem(kwnames, i);
    PyObject* value = args[nargs + i];
    // A name without a UTF-8 form matches no parameter; its conversion error is dropped.
    Result<std::string_view, PyErr> name = to_str(name_object);
    if (name.is_err()) return Err(unexpected_keyword_argument(name_object));

    if (auto j = find_name(keyword_only, name.value(),
                           [](const KeywordOnlyParameter& p) { return p.name; })) {
      PyObject*& slot = output[positional_count + *j];
      if (slot != nullptr) return Err(multiple_values_for_argument(keyword_only[*j].name));
      slot = value;
      continue;
    }
    if (auto k = find_name(positional_names, name.value(), [](std::string_view n) { return n; })) {
      if (*k < positional_only_count) {
        positional_only_passed.push_back(positional_names[*k]);
        continue;
      }
      if (output[*k] != nullptr) return Err(multiple_values_for_argument(positional_names[*k]));
      output[*k] = value;
      continue;
    }
    return Err(unexpected_keyword_argument(name_object));
  }

  if (!positional_only_passed.empty()) {
    return Err(positional_only_keyword_arguments(positional_only_passed));
  }
  if (positional_given < required_positional_count) {
    for (std::size_t i = positional_given; i < required_positional_count; ++i) {
      if (output[i] == nullptr) return Err(missing_required_positional_arguments(output));
    }
  }
  const std::span<PyObject* const> keyword_slots = output.subspan(positional_count);
  for (std::size_t j = 0; j < keyword_only.size(); ++j) {
    if (keyword_only[j].required && keyword_slots[j] == nullptr) {
      return Err(missing_required_keyword_arguments(output));
    }
  }
  return Ok();
}

PyErr FunctionDescription::too_many_positional_arguments(std::size_t given) const {
  const std::size_t count = positional_names.size();
  std::string message = full_name();
  if (required_positional_count == count) {
    message += " takes " + std::to_string(count);
  } else {
    message +=
        " takes from " + std::to_string(required_positional_count) + " to " + std::to_string(count);
  }
  message += " positional arguments but " + std::to_string(given) + " ";
  message += given == 1 ? "was" : "were";
  message += " given";
  return type_error(std::move(message));
}

PyErr FunctionDescription::unexpected_keyword_argument(PyObject* name) const {
  std::string message = full_name() + " got an unexpected keyword argument '";
  python_format(message, name, str_of(name));
  message += "'";
  return type_error(std::move(message));
}

PyErr FunctionDescription::multiple_values_for_argument(std::string_view name) const {
  std::string message = full_name() + " got multiple values for argument '";
  message += name;
  message += "'";
  return type_error(std::move(message));
}

PyErr FunctionDescription::positional_only_keyword_arguments(
    std::span<const std::string_view> names) const {
  std::string message =
      full_name() + " got some positional-only arguments passed as keyword arguments: ";
  push_parameter_list(message, names);
  return type_error(std::move(message));
}

PyErr FunctionDescription::missing_required_positional_arguments(
    std::span<PyObject* const> output) const {
  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < required_positional_count; ++i) {
    if (output[i] == nullptr) missing.push_back(positional_names[i]);
  }
  return missing_required_arguments("positional", missing);
}

PyErr FunctionDescription::missing_required_keyword_arguments(
    std::span<PyObject* const> output) const {
  const std::span<PyObject* const> keyword_slots = output.subspan(positional_names.size());
  std::vector<std::string_view> missing;
  for (std::size_t j = 0; j < keyword_only.size(); ++j) {
    if (keyword_only[j].required && keyword_slots[j] == nullptr) {
      missing.push_back(keyword_only[j].name);
    }
  }
  return missing_required_arguments("keyword", missing);
}

PyErr FunctionDescription::missing_required_arguments(
    std::string_view kind, std::span<const std::string_view> names) const {
  std::string message = full_name() + " missing " + std::to_string(names.size()) + " required ";
  message += kind;
  message += names.size() == 1 ? " argument: " : " arguments: ";
  push_parameter_list(message, names);
  return type_error(std::move(message));
}

void push_parameter_list(std::string& message, std::span<const std::string_view> names) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) message += ',';
      message += i + 1 == names.size() ? " and " : " ";
    }
    message += '\'';
    message += names[i];
    message += '\'';
  }
}

}  // namespace vestra
