// Fuzzes argument placement: any mix of positional values and keyword names (including
// names that are not valid UTF-8 text) against a few function shapes. Placement must either
// fill every required slot, each at most once, or fail with a TypeError whose message names
// the function.
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "binding/attach.h"
#include "binding/function_description.h"
#include "binding/py_ref.h"
#include "embedded_interpreter.h"

namespace {

using vestra::FunctionDescription;
using vestra::KeywordOnlyParameter;

constexpr std::array<std::string_view, 2> kWatchNames = {"path", "callback"};
constexpr std::array<std::string_view, 3> kMixedNames = {"a", "b", "c"};
constexpr std::array<KeywordOnlyParameter, 2> kKeywordOnly = {KeywordOnlyParameter{"k", true},
                                                              KeywordOnlyParameter{"opt", false}};

const FunctionDescription kShapes[] = {
    {"rswatcher", std::nullopt, kWatchNames, 0, 2, {}},
    {"f", std::nullopt, kMixedNames, 1, 2, kKeywordOnly},
    {"g", std::string_view("C"), kMixedNames, 0, 0, {}},
    {"h", std::nullopt, {}, 0, 0, kKeywordOnly},
};

constexpr std::string_view kNamePool[] = {"path", "callback", "a", "b", "c", "k", "opt", "x", ""};

/// Reads the input a byte at a time; past the end every byte is zero.
struct Reader {
  const std::uint8_t* data;
  std::size_t size;
  std::uint8_t next() { return size ? (--size, *data++) : 0; }
};

PyObject* keyword_name(Reader& in) {
  const std::uint8_t choice = in.next();
  if (choice < 200) {
    const std::string_view name = kNamePool[choice % std::size(kNamePool)];
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
  }
  // Raw bytes; surrogateescape turns bytes that are not UTF-8 into lone surrogates, which
  // have no UTF-8 form.
  std::string raw;
  for (std::uint8_t n = in.next() % 6; n > 0; --n) raw += static_cast<char>(in.next());
  return PyUnicode_DecodeUTF8(raw.data(), static_cast<Py_ssize_t>(raw.size()), "surrogateescape");
}

void check_failure(const FunctionDescription& shape, vestra::PyErr error) {
  if (error.type() != PyExc_TypeError) std::abort();
  vestra::Bound text = vestra::Bound::steal(PyObject_Str(error.value()));
  if (!text) std::abort();
  const char* message = PyUnicode_AsUTF8(text.get());
  if (!message || std::string_view(message).rfind(shape.full_name(), 0) != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  start_embedded_interpreter();
  vestra::AttachGuard attached = vestra::assume();
  Reader in{data, size};
  const FunctionDescription& shape = kShapes[in.next() % std::size(kShapes)];
  const std::size_t positional = in.next() % 5;
  const std::size_t keywords = in.next() % 5;

  std::vector<vestra::Bound> owned;
  std::vector<PyObject*> args;
  for (std::size_t i = 0; i < positional + keywords; ++i) {
    owned.push_back(vestra::Bound::steal(PyLong_FromSize_t(i)));
    args.push_back(owned.back().get());
  }
  vestra::Bound kwnames;
  if (keywords > 0 || in.next() % 2) {
    kwnames = vestra::Bound::steal(PyTuple_New(static_cast<Py_ssize_t>(keywords)));
    for (std::size_t i = 0; i < keywords; ++i) {
      PyObject* name = keyword_name(in);
      if (!name) std::abort();
      PyTuple_SET_ITEM(kwnames.get(), static_cast<Py_ssize_t>(i), name);
    }
  }

  std::vector<PyObject*> slots(shape.positional_names.size() + shape.keyword_only.size(), nullptr);
  auto placed = shape.extract_arguments_fastcall(args.data(), static_cast<Py_ssize_t>(positional),
                                                 kwnames.get(), slots);
  if (placed.is_err()) {
    check_failure(shape, std::move(placed).error());
    PyErr_Clear();
    return 0;
  }
  // Success: every required slot is filled, with one of the call's own values.
  for (std::size_t i = 0; i < shape.required_positional_count; ++i) {
    if (!slots[i]) std::abort();
  }
  for (std::size_t j = 0; j < shape.keyword_only.size(); ++j) {
    if (shape.keyword_only[j].required && !slots[shape.positional_names.size() + j]) std::abort();
  }
  for (PyObject* slot : slots) {
    if (!slot) continue;
    bool found = false;
    for (PyObject* arg : args) found = found || arg == slot;
    if (!found) std::abort();
  }
  if (positional > shape.positional_names.size()) std::abort();
  return 0;
}
