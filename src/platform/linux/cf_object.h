// The reference-counted base of every object behind a Core Foundation reference.
#pragma once

#include <atomic>

#include "platform/api/core_foundation.h"

namespace vestra::platform {

/// A reference-counted object. It starts with one reference, owned by its creator, and is
/// destroyed when the last one is given up. References may be taken and given up on any
/// thread.
class CfObject {
 public:
  CfObject(const CfObject&) = delete;
  CfObject& operator=(const CfObject&) = delete;

  void retain() noexcept {
    if (!immortal_) count_.fetch_add(1, std::memory_order_relaxed);
  }
  /// Gives up one reference; the last one destroys the object.
  void release() noexcept {
    if (immortal_) return;
    if (count_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
  CFIndex retain_count() const noexcept { return count_.load(std::memory_order_relaxed); }

  /// Marks a constant that lives as long as the process and ignores retain and release.
  struct Constant {};

 protected:
  CfObject() noexcept = default;
  explicit CfObject(Constant) noexcept : count_(kConstantCount), immortal_(true) {}
  virtual ~CfObject() = default;

 private:
  static constexpr CFIndex kConstantCount = 0x7FFFFFFF;

  std::atomic<CFIndex> count_{1};
  const bool immortal_ = false;
};

/// The object behind a reference handed out by this layer. Every object type derives from
/// CfObject alone, so the reference and its base share one address.
inline CfObject* object_of(CFTypeRef ref) noexcept {
  return static_cast<CfObject*>(const_cast<void*>(ref));
}

}  // namespace vestra::platform
