// Mutable arrays of untyped values, optionally retaining them.
#pragma once

#include <vector>

#include "platform/linux/cf_object.h"

struct __CFArray final : vestra::platform::CfObject {
  explicit __CFArray(const CFArrayCallBacks* callbacks);
  ~__CFArray() override;

  /// Stores `value` at `index` (0 to size), taking a reference when the array retains.
  void insert(std::size_t index, const void* value);

  CFArrayCallBacks callbacks{};
  std::vector<const void*> values;
};
