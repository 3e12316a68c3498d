// Fuzzes the lossy UTF-8 decoding of names against the interpreter's own
// bytes.decode("utf-8", "replace"): both must give the same text for any bytes.
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "embedded_interpreter.h"
#include "support/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  start_embedded_interpreter();
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::string ours = vestra::to_utf8_lossy(bytes);

  PyObject* text = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(size), "replace");
  if (!text) std::abort();
  Py_ssize_t length = 0;
  const char* theirs = PyUnicode_AsUTF8AndSize(text, &length);
  if (!theirs || ours != std::string_view(theirs, static_cast<std::size_t>(length))) std::abort();
  Py_DECREF(text);
  return 0;
}
