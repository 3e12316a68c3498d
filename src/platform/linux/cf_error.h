// Errors carried back through an error slot: a POSIX error number.
#pragma once

#include "platform/linux/cf_object.h"

struct __CFError final : vestra::platform::CfObject {
  explicit __CFError(int error_number) noexcept : code(error_number) {}

  const int code;
};

namespace vestra::platform {

/// Stores a new error with `error_number` in `slot` when the caller gave one; the caller
/// then owns that error.
void store_error(CFErrorRef* slot, int error_number);

}  // namespace vestra::platform
