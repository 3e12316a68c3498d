// The watcher's failure value: what went wrong and which paths it concerns.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "event/event.h"
#include "support/io_error.h"

namespace vestra {

/// A watcher configuration, as carried by an InvalidConfig error.
struct Config {
  std::optional<std::chrono::nanoseconds> poll_interval;
  bool compare_contents = false;
  bool follow_symlinks = true;
  friend bool operator==(const Config&, const Config&) = default;
};

/// What went wrong.
class ErrorKind {
 public:
  struct Generic {
    std::string message;
    friend bool operator==(const Generic&, const Generic&) = default;
  };
  struct PathNotFound {
    friend bool operator==(PathNotFound, PathNotFound) = default;
  };
  struct WatchNotFound {
    friend bool operator==(WatchNotFound, WatchNotFound) = default;
  };
  struct MaxFilesWatch {
    friend bool operator==(MaxFilesWatch, MaxFilesWatch) = default;
  };
  using Value = std::variant<Generic, IoError, PathNotFound, WatchNotFound, Config, MaxFilesWatch>;

  /// Any alternative converts implicitly: Error(ErrorKind::PathNotFound{}).
  template <class T>
  requires std::is_constructible_v<Value, T&&> ErrorKind(T&& value)
      : value_(std::forward<T>(value)) {}  // NOLINT(google-explicit-constructor)
  const Value& value() const noexcept { return value_; }
  friend bool operator==(const ErrorKind&, const ErrorKind&) = default;

 private:
  Value value_;
};

/// A watcher error. It owns its paths and whatever its kind carries.
class Error {
 public:
  explicit Error(ErrorKind kind) : kind_(std::move(kind)) {}
  static Error path_not_found() { return Error(ErrorKind(ErrorKind::PathNotFound{})); }
  static Error io(IoError error) { return Error(ErrorKind(error)); }

  /// Appends `path` and gives the error back.
  Error add_path(Path path) &&;

  const ErrorKind& kind() const noexcept { return kind_; }
  const std::vector<Path>& paths() const noexcept { return paths_; }

 private:
  ErrorKind kind_;
  std::vector<Path> paths_;
};

/// One-line text forms: Error { kind: PathNotFound, paths: ["/missing"] }.
std::string text_form(const Error& error);
std::string text_form(const ErrorKind& kind);
std::string text_form(const Config& config);
/// A duration in compact form: 30s, 100ms, 1.5s, 250µs, 10ns.
std::string text_form_duration(std::chrono::nanoseconds duration);

}  // namespace vestra
