#include "platform/linux/cf_object.h"

using vestra::platform::object_of;

const CFAllocatorRef kCFAllocatorDefault = nullptr;

CFTypeRef CFRetain(CFTypeRef cf) {
  if (cf) object_of(cf)->retain();
  return cf;
}

void CFRelease(CFTypeRef cf) {
  if (cf) object_of(cf)->release();
}

CFIndex CFGetRetainCount(CFTypeRef cf) {
  return cf ? object_of(cf)->retain_count() : 0;
}
