#include "binding/panic_trap.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "support/panic.h"

namespace vestra {

PanicTrap::~PanicTrap() {
  if (!armed_) return;
  write_panic_report(message_, where_);
  constexpr const char* kClosing = "thread caused non-unwinding panic. aborting.\n";
  (void)!::write(STDERR_FILENO, kClosing, std::strlen(kClosing));
  std::abort();
}

}  // namespace vestra
