// The exception type of a thread being ended by pthread_exit, where the C++ runtime has one.
#pragma once

#include <cstddef>  // defines the runtime's identifying macros

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace vestra {

#if defined(__GLIBCXX__)
/// glibc ends a thread (pthread_exit, as CPython does to a daemon thread at exit) with a
/// forced unwind that catch (...) sees; it must always be rethrown.
using ForcedUnwind = abi::__forced_unwind;
#else
/// Other runtimes end a thread without unwinding its C++ frames: never thrown there.
struct ForcedUnwind {};
#endif

}  // namespace vestra

/// For a function with a `catch (const ForcedUnwind&)`: a forced unwind carries no exception
/// object, so the handler binds its reference to null, which UndefinedBehaviorSanitizer
/// would report. The handler only rethrows and never reads it.
#if defined(__GLIBCXX__)
#define VESTRA_CATCHES_FORCED_UNWIND __attribute__((no_sanitize("null")))
#else
#define VESTRA_CATCHES_FORCED_UNWIND
#endif
