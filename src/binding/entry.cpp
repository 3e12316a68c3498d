#include "binding/entry.h"

#include "binding/panic_exception.h"

namespace vestra {

PyObject* return_outcome(EntryResult outcome) {
  if (outcome.is_ok()) return std::move(outcome).value().release();
  std::move(outcome).error().restore();
  return nullptr;
}

PyObject* raise_panic(PanicPayload payload) {
  from_panic_payload(std::move(payload)).restore();
  return nullptr;
}

}  // namespace vestra
