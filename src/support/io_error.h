// An operating-system error as the runtime reports it.
#pragma once

#include <string>
#include <string_view>

namespace vestra {

/// A failed system call: the errno value it left. Text form:
/// Os { code: 2, kind: NotFound, message: "No such file or directory" }.
class IoError {
 public:
  explicit IoError(int code) noexcept : code_(code) {}
  /// The error of the last failed system call on this thread.
  static IoError last_os_error() noexcept;

  int raw_os_error() const noexcept { return code_; }
  /// The name of the error's category, such as NotFound or PermissionDenied.
  std::string_view kind_name() const noexcept;
  /// The system's message text for the error number.
  std::string message() const;

  friend bool operator==(const IoError&, const IoError&) = default;

 private:
  int code_;
};

std::string text_form(const IoError& error);

}  // namespace vestra
