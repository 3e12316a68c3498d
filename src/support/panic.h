// Fatal errors: one exception type that unwinds to the nearest entry boundary.
#pragma once

#include <exception>
#include <memory>
#if __has_include(<source_location>)
#include <source_location>
#endif
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace vestra {

/// Where a fatal error was raised. Taken from the compiler's builtins as a default argument,
/// so it names the caller.
class SourceLocation {
 public:
#if defined(__cpp_lib_source_location)
  static constexpr SourceLocation current(
      std::source_location where = std::source_location::current()) noexcept {
    return SourceLocation(where.file_name(), where.line(), where.column());
  }
#else
  // Compilers whose standard library lacks std::source_location still have the builtins.
  static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                          unsigned line = __builtin_LINE(),
                                          unsigned column = __builtin_COLUMN()) noexcept {
    return SourceLocation(file, line, column);
  }
#endif
  constexpr const char* file_name() const noexcept {
    return file_;
  }
  constexpr unsigned line() const noexcept {
    return line_;
  }
  constexpr unsigned column() const noexcept {
    return column_;
  }

 private:
  constexpr SourceLocation(const char* file, unsigned line, unsigned column) noexcept
      : file_(file), line_(line), column_(column) {}
  const char* file_;
  unsigned line_;
  unsigned column_;
};

/// A payload that is neither kind of text; boundaries report it generically.
struct OpaquePayload {
  std::shared_ptr<const void> value;
};

/// What a fatal error carries: an owned text, a static text, or anything else.
using PanicPayload = std::variant<std::string, const char*, OpaquePayload>;

/// The single exception type of fatal errors. Nothing else is thrown across module code.
class Panic final : public std::exception {
 public:
  explicit Panic(PanicPayload payload) noexcept : payload_(std::move(payload)) {}

  const PanicPayload& payload() const noexcept { return payload_; }
  PanicPayload take_payload() noexcept { return std::move(payload_); }
  /// The payload's text, or nullptr when the payload is not text.
  const char* message() const noexcept;
  const char* what() const noexcept override;

 private:
  PanicPayload payload_;
};

/// Reports a fatal error on standard error and unwinds with an owned text.
[[noreturn]] void panic(std::string message, SourceLocation where = SourceLocation::current());
/// Same, with a static text payload.
[[noreturn]] void panic_static(const char* message,
                               SourceLocation where = SourceLocation::current());
/// Same, with any payload; a payload that is not text is reported as "Box<dyn Any>".
[[noreturn]] void panic_with_payload(PanicPayload payload,
                                     SourceLocation where = SourceLocation::current());
/// Continues a fatal error that has already been reported: no second report.
[[noreturn]] void resume_panic(PanicPayload payload);

/// Writes the fatal-error report of the current thread to standard error in one write.
void write_panic_report(std::string_view message, SourceLocation where) noexcept;

/// The name that the current thread reports itself by ("main" for the process's main thread).
std::string current_thread_name();

/// Ends the process after a fatal error reached a function that cannot unwind: writes the
/// second report and the closing line, then aborts.
[[noreturn]] void abort_nounwind(SourceLocation where) noexcept;

/// Runs `body` in a function that cannot unwind (one the platform calls): a fatal error
/// inside it ends the process instead of escaping.
template <class F>
void call_nounwind(F&& body, SourceLocation where = SourceLocation::current()) noexcept {
  try {
    std::forward<F>(body)();
  } catch (const Panic&) {
    abort_nounwind(where);
  }
}

}  // namespace vestra
