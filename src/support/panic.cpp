#include "support/panic.h"

#include <pthread.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <string>

namespace vestra {

namespace {

constexpr const char* kOpaqueText = "Box<dyn Any>";

void write_all(int fd, std::string_view text) noexcept {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace

const char* Panic::message() const noexcept {
  if (auto* owned = std::get_if<std::string>(&payload_)) return owned->c_str();
  if (auto* text = std::get_if<const char*>(&payload_)) return *text;
  return nullptr;
}

const char* Panic::what() const noexcept {
  const char* text = message();
  return text ? text : kOpaqueText;
}

std::string current_thread_name() {
#if defined(__linux__)
  if (::syscall(SYS_gettid) == ::getpid()) return "main";
#else
  if (pthread_main_np()) return "main";
#endif
  char name[64] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') {
    return "<unnamed>";
  }
  return name;
}

void write_panic_report(std::string_view message, SourceLocation where) noexcept {
  try {
    std::string report = "\nthread '" + current_thread_name() + "' panicked at ";
    report += where.file_name();
    report += ':' + std::to_string(where.line()) + ':' + std::to_string(where.column()) + ":\n";
    report += message;
    report += '\n';
    write_all(STDERR_FILENO, report);
  } catch (...) {
    write_all(STDERR_FILENO, "\nthread panicked:\n");
    write_all(STDERR_FILENO, message);
    write_all(STDERR_FILENO, "\n");
  }
}

void panic(std::string message, SourceLocation where) {
  write_panic_report(message, where);
  throw Panic(std::move(message));
}

void panic_static(const char* message, SourceLocation where) {
  write_panic_report(message, where);
  throw Panic(message);
}

void panic_with_payload(PanicPayload payload, SourceLocation where) {
  Panic error(std::move(payload));
  write_panic_report(error.what(), where);
  throw error;
}

void resume_panic(PanicPayload payload) {
  throw Panic(std::move(payload));
}

void abort_nounwind(SourceLocation where) noexcept {
  write_panic_report("panic in a function that cannot unwind", where);
  write_all(STDERR_FILENO, "thread caused non-unwinding panic. aborting.\n");
  std::abort();
}

}  // namespace vestra
