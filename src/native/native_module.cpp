#include "native/native_module.h"

#include "binding/entry.h"
#include "module/module_def.h"
#include "native/watch_type.h"

namespace vestra {

namespace {

ModuleDef NATIVE_MODULE(add_watch_type, "vestra._native",
                        "The native core of vestra.watch; private.");

}  // namespace

PyObject* init_native_module() {
  return entry_boundary([]() -> EntryResult { return make_module(NATIVE_MODULE); });
}

}  // namespace vestra
