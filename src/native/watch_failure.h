// Why a watch could not be set up: what becomes an OSError in Python.
#pragma once

#include <string>

namespace vestra {

/// An errno value, its message, and the path as the caller gave it.
struct WatchFailure {
  int error_number = 0;
  std::string message;
  std::string filename;
};

/// "[Errno 2] No such file or directory: '/missing'", as OSError's own text reads.
inline std::string text_form(const WatchFailure& failure) {
  return "[Errno " + std::to_string(failure.error_number) + "] " + failure.message + ": '" +
         failure.filename + "'";
}

}  // namespace vestra
