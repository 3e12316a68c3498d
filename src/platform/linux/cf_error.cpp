#include "platform/linux/cf_error.h"

namespace vestra::platform {

void store_error(CFErrorRef* slot, int error_number) {
  if (slot) *slot = new __CFError(error_number);
}

}  // namespace vestra::platform

CFIndex CFErrorGetCode(CFErrorRef err) {
  return err ? err->code : 0;
}
