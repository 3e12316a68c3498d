// Argument placement messages for shapes of function that rswatcher alone does not have,
// conversion errors, and the parameter-list wording.
#include "binding/function_description.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "binding/cast_error.h"
#include "binding/extract.h"
#include "binding/text_conversion.h"
#include "python_test_support.h"

namespace vestra {
namespace {

using testing_support::AttachedTest;
using testing_support::eval;
using testing_support::text_of;

class ArgumentsTest : public AttachedTest {};

constexpr std::array<std::string_view, 3> kPositional = {"a", "b", "c"};
constexpr std::array<KeywordOnlyParameter, 2> kKeywordOnly = {{{"k", true}, {"opt", false}}};

// f(a, /, b, c=..., *, k, opt=...), a method of class C.
constexpr FunctionDescription kMethod{
    .function_name = "f",
    .class_name = "C",
    .positional_names = kPositional,
    .positional_only_count = 1,
    .required_positional_count = 2,
    .keyword_only = kKeywordOnly,
};

// g(), which takes nothing.
constexpr FunctionDescription kNothing{
    .function_name = "g",
    .class_name = std::nullopt,
    .positional_names = {},
    .positional_only_count = 0,
    .required_positional_count = 0,
    .keyword_only = {},
};

// h(a), which takes exactly one positional argument.
constexpr std::array<std::string_view, 1> kOne = {"a"};
constexpr FunctionDescription kSingle{
    .function_name = "h",
    .class_name = std::nullopt,
    .positional_names = kOne,
    .positional_only_count = 0,
    .required_positional_count = 1,
    .keyword_only = {},
};

/// Places `positional` and `keywords` (name, value pairs) with `description`; the TypeError
/// message, or "ok".
std::string place(const FunctionDescription& description, std::vector<PyObject*> positional,
                  std::vector<std::pair<std::string, PyObject*>> keywords,
                  std::vector<PyObject*>* slots_out = nullptr) {
  std::vector<PyObject*> args = positional;
  Bound names;
  if (!keywords.empty()) {
    names = Bound::steal(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    for (std::size_t i = 0; i < keywords.size(); ++i) {
      PyTuple_SET_ITEM(
          names.get(), static_cast<Py_ssize_t>(i),
          PyUnicode_DecodeUTF8(keywords[i].first.data(),
                               static_cast<Py_ssize_t>(keywords[i].first.size()), "surrogatepass"));
      args.push_back(keywords[i].second);
    }
  }
  std::vector<PyObject*> slots(description.positional_names.size() +
                               description.keyword_only.size());
  Result<Unit, PyErr> placed = description.extract_arguments_fastcall(
      args.data(), static_cast<Py_ssize_t>(positional.size()), names.get(), slots);
  if (slots_out) *slots_out = slots;
  if (placed.is_ok()) return "ok";
  EXPECT_EQ(placed.error().type(), PyExc_TypeError);
  return text_of(placed.error().value());
}

TEST_F(ArgumentsTest, ParameterListWording) {
  struct Case {
    std::vector<std::string_view> names;
    std::string expected;
  };
  const Case cases[] = {
      {{}, ""},
      {{"a"}, "'a'"},
      {{"a", "b"}, "'a' and 'b'"},
      {{"a", "b", "c"}, "'a', 'b', and 'c'"},
      {{"a", "b", "c", "d"}, "'a', 'b', 'c', and 'd'"},
  };
  for (const Case& c : cases) {
    std::string message;
    push_parameter_list(message, c.names);
    EXPECT_EQ(message, c.expected);
  }
}

TEST_F(ArgumentsTest, PlacementMessages) {
  PyObject* one = Py_None;
  using Keywords = std::vector<std::pair<std::string, PyObject*>>;
  struct Case {
    const FunctionDescription* description;
    std::vector<PyObject*> positional;
    Keywords keywords;
    std::string expected;
  };
  const Case cases[] = {
      {&kNothing, {one}, {}, "g() takes 0 positional arguments but 1 was given"},
      {&kSingle, {one, one}, {}, "h() takes 1 positional arguments but 2 were given"},
      {&kMethod,
       {one, one, one, one},
       {},
       "C.f() takes from 2 to 3 positional arguments but 4 were given"},
      {&kMethod, {}, {{"k", one}}, "C.f() missing 2 required positional arguments: 'a' and 'b'"},
      {&kMethod, {one, one}, {}, "C.f() missing 1 required keyword argument: 'k'"},
      {&kMethod, {one, one}, {{"opt", one}}, "C.f() missing 1 required keyword argument: 'k'"},
      {&kMethod,
       {one, one},
       {{"k", one}, {"k", one}},
       "C.f() got multiple values for argument 'k'"},
      {&kMethod,
       {one, one},
       {{"b", one}, {"k", one}},
       "C.f() got multiple values for argument 'b'"},
      // A positional-only name by keyword is reported only after every keyword was seen...
      {&kMethod,
       {one, one},
       {{"a", one}, {"k", one}},
       "C.f() got some positional-only arguments passed as keyword arguments: 'a'"},
      // ...so an unmatched keyword after it wins.
      {&kMethod,
       {one, one},
       {{"a", one}, {"zzz", one}},
       "C.f() got an unexpected keyword argument 'zzz'"},
      {&kMethod, {one, one, one}, {{"k", one}}, "ok"},
      {&kMethod, {one}, {{"b", one}, {"k", one}, {"opt", one}}, "ok"},
      // Names are compared by bytes: "k" is not "k\u200b".
      {&kMethod,
       {one, one},
       {{"k\xe2\x80\x8b", one}},
       "C.f() got an unexpected keyword argument 'k\xe2\x80\x8b'"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(place(*c.description, c.positional, c.keywords), c.expected);
  }
}

// Slots receive the argument objects, keyword-only ones after the positional ones.
TEST_F(ArgumentsTest, SlotsAreFilledInParameterOrder) {
  Bound a = Bound::steal(PyLong_FromLong(1));
  Bound b = Bound::steal(PyLong_FromLong(2));
  Bound k = Bound::steal(PyLong_FromLong(3));
  std::vector<PyObject*> slots;
  ASSERT_EQ(place(kMethod, {a.get()}, {{"k", k.get()}, {"b", b.get()}}, &slots), "ok");
  EXPECT_EQ(slots, (std::vector<PyObject*>{a.get(), b.get(), nullptr, k.get(), nullptr}));
}

// Owned-text extraction copies a str (or subclass) and refuses anything else.
TEST_F(ArgumentsTest, ExtractOwnedText) {
  Bound subclass = eval("T('copied')", "class T(str): pass");
  Result<std::string, PyErr> text = extract<std::string>(subclass.get());
  ASSERT_TRUE(text.is_ok());
  EXPECT_EQ(text.value(), "copied");

  Bound number = eval("42");
  Result<std::string, PyErr> refused = extract<std::string>(number.get());
  ASSERT_TRUE(refused.is_err());
  EXPECT_EQ(text_of(refused.error().value()), "'int' object cannot be cast as 'str'");
}

// Cast targets: a type by qualified name, a tuple joined by " | ", anything else by str().
TEST_F(ArgumentsTest, CastErrorTargets) {
  Bound source = eval("Outer.Inner()", "class Outer:\n    class Inner: pass\n");
  Bound tuple = eval("(str, bytes, (int, float))");
  Bound named = eval("'a path-like'");
  auto message = [&](PyObject* target) {
    return text_of(to_pyerr(CastError{source.get(), target}).value());
  };
  EXPECT_EQ(message(tuple.get()),
            "'Outer.Inner' object cannot be cast as 'str | bytes | int | float'");
  EXPECT_EQ(message(named.get()), "'Outer.Inner' object cannot be cast as 'a path-like'");
  EXPECT_EQ(message(reinterpret_cast<PyObject*>(&PyList_Type)),
            "'Outer.Inner' object cannot be cast as 'list'");
}

// An exact TypeError is re-worded with the parameter's name and keeps its cause; subclasses
// and other errors pass unchanged.
TEST_F(ArgumentsTest, ArgumentExtractionError) {
  PyErr original = PyErr::new_err(PyExc_TypeError, "wrong type");
  original.set_cause(PyErr::new_err(PyExc_KeyError, "underlying"));
  PyErr reworded = argument_extraction_error("path", std::move(original));
  EXPECT_EQ(reworded.type(), PyExc_TypeError);
  EXPECT_EQ(text_of(reworded.value()), "argument 'path': wrong type");
  ASSERT_TRUE(reworded.cause().has_value());
  EXPECT_EQ(text_of(reworded.cause()->value()), "'underlying'");

  Bound subclass = eval("Sub('kept')", "class Sub(TypeError): pass");
  PyErr passed = argument_extraction_error("path", PyErr::normalized(Py::new_ref(subclass.get())));
  EXPECT_EQ(passed.value(), subclass.get());

  PyErr other = argument_extraction_error("path", PyErr::new_err(PyExc_ValueError, "as is"));
  EXPECT_EQ(text_of(other.value()), "as is");
}

}  // namespace
}  // namespace vestra
