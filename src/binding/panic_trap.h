// The last line of defence of an entry: no fatal error may unwind into the interpreter.
#pragma once

#include "support/panic.h"

namespace vestra {

/// Armed for the whole of an entry and disarmed just before it returns. Destroyed while
/// still armed, which happens only when a fatal error unwinds past the entry's own catch, it
/// reports a second fatal error with its message and aborts the process.
class PanicTrap {
 public:
  explicit PanicTrap(const char* message, SourceLocation where = SourceLocation::current()) noexcept
      : message_(message), where_(where) {}
  PanicTrap(const PanicTrap&) = delete;
  PanicTrap& operator=(const PanicTrap&) = delete;
  ~PanicTrap();

  void disarm() noexcept { armed_ = false; }

 private:
  const char* message_;
  SourceLocation where_;
  bool armed_ = true;
};

}  // namespace vestra
