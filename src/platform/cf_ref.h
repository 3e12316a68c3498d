// Ownership of one Core Foundation reference.
#pragma once

#include <utility>

#include "platform/platform.h"

namespace vestra {

/// Owns one reference to a Core Foundation object and gives it up with CFRelease, once.
template <class Ref>
class CFRef {
 public:
  CFRef() noexcept = default;
  /// Takes over a reference the caller owns (from a Create or Copy call); null is allowed.
  explicit CFRef(Ref ref) noexcept : ref_(ref) {}
  CFRef(CFRef&& other) noexcept : ref_(std::exchange(other.ref_, nullptr)) {}
  CFRef& operator=(CFRef&& other) noexcept {
    if (this != &other) reset(std::exchange(other.ref_, nullptr));
    return *this;
  }
  CFRef(const CFRef&) = delete;
  CFRef& operator=(const CFRef&) = delete;
  ~CFRef() { reset(); }

  Ref get() const noexcept { return ref_; }
  explicit operator bool() const noexcept { return ref_ != nullptr; }
  /// Hands the reference to the caller, who must release it.
  Ref release() noexcept { return std::exchange(ref_, nullptr); }
  void reset(Ref ref = nullptr) noexcept {
    if (ref_) CFRelease(ref_);
    ref_ = ref;
  }

 private:
  Ref ref_ = nullptr;
};

}  // namespace vestra
