#include "platform/linux/cf_array.h"

#include <algorithm>
#include <string>

#include "support/panic.h"

namespace {

const void* retain_value(CFAllocatorRef, const void* value) {
  return CFRetain(value);
}
void release_value(CFAllocatorRef, const void* value) {
  CFRelease(value);
}
Boolean same_value(const void* a, const void* b) {
  return a == b;
}

/// Arrays never reserve more than this up front, whatever capacity they are given.
constexpr CFIndex kMaxReserve = 4096;

}  // namespace

const CFArrayCallBacks kCFTypeArrayCallBacks = {0, retain_value, release_value, nullptr,
                                                same_value};

__CFArray::__CFArray(const CFArrayCallBacks* given) {
  if (given) callbacks = *given;
}

__CFArray::~__CFArray() {
  if (!callbacks.release) return;
  for (const void* value : values) callbacks.release(kCFAllocatorDefault, value);
}

void __CFArray::insert(std::size_t index, const void* value) {
  if (callbacks.retain) value = callbacks.retain(kCFAllocatorDefault, value);
  values.insert(values.begin() + static_cast<std::ptrdiff_t>(index), value);
}

CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef, CFIndex capacity,
                                       const CFArrayCallBacks* callBacks) {
  auto* array = new __CFArray(callBacks);
  if (capacity > 0)
    array->values.reserve(static_cast<std::size_t>(std::min(capacity, kMaxReserve)));
  return array;
}

void CFArrayAppendValue(CFMutableArrayRef theArray, const void* value) {
  if (!theArray) vestra::panic_static("CFArrayAppendValue: null array");
  theArray->insert(theArray->values.size(), value);
}

void CFArrayInsertValueAtIndex(CFMutableArrayRef theArray, CFIndex idx, const void* value) {
  if (!theArray) vestra::panic_static("CFArrayInsertValueAtIndex: null array");
  if (idx < 0 || static_cast<std::size_t>(idx) > theArray->values.size()) {
    vestra::panic("CFArrayInsertValueAtIndex: index " + std::to_string(idx) +
                  " is beyond the count " + std::to_string(theArray->values.size()));
  }
  theArray->insert(static_cast<std::size_t>(idx), value);
}

CFIndex CFArrayGetCount(CFArrayRef theArray) {
  return theArray ? static_cast<CFIndex>(theArray->values.size()) : 0;
}

const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx) {
  if (!theArray || idx < 0 || static_cast<std::size_t>(idx) >= theArray->values.size()) {
    vestra::panic("CFArrayGetValueAtIndex: index " + std::to_string(idx) + " is out of range");
  }
  return theArray->values[static_cast<std::size_t>(idx)];
}
