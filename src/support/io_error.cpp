#include "support/io_error.h"

#include <cerrno>
#include <cstring>

#include "support/text.h"

namespace vestra {

IoError IoError::last_os_error() noexcept {
  return IoError(errno);
}

std::string_view IoError::kind_name() const noexcept {
  switch (code_) {
    case EPERM:
    case EACCES:
      return "PermissionDenied";
    case ENOENT:
      return "NotFound";
    case EINTR:
      return "Interrupted";
    case E2BIG:
      return "ArgumentListTooLong";
    case EAGAIN:
      return "WouldBlock";
    case ENOMEM:
      return "OutOfMemory";
    case EBUSY:
      return "ResourceBusy";
    case EEXIST:
      return "AlreadyExists";
    case EXDEV:
      return "CrossesDevices";
    case ENOTDIR:
      return "NotADirectory";
    case EISDIR:
      return "IsADirectory";
    case EINVAL:
      return "InvalidInput";
    case ETXTBSY:
      return "ExecutableFileBusy";
    case EFBIG:
      return "FileTooLarge";
    case ENOSPC:
      return "StorageFull";
    case ESPIPE:
      return "NotSeekable";
    case EROFS:
      return "ReadOnlyFilesystem";
    case EMLINK:
      return "TooManyLinks";
    case EPIPE:
      return "BrokenPipe";
    case EDEADLK:
      return "Deadlock";
    case ENAMETOOLONG:
      return "InvalidFilename";
    case ENOSYS:
      return "Unsupported";
    case ENOTEMPTY:
      return "DirectoryNotEmpty";
    case ELOOP:
      return "FilesystemLoop";
    case EDQUOT:
      return "QuotaExceeded";
    case ESTALE:
      return "StaleNetworkFileHandle";
    case EADDRINUSE:
      return "AddrInUse";
    case EADDRNOTAVAIL:
      return "AddrNotAvailable";
    case ENETDOWN:
      return "NetworkDown";
    case ENETUNREACH:
      return "NetworkUnreachable";
    case ECONNABORTED:
      return "ConnectionAborted";
    case ECONNREFUSED:
      return "ConnectionRefused";
    case ECONNRESET:
      return "ConnectionReset";
    case ENOTCONN:
      return "NotConnected";
    case EHOSTUNREACH:
      return "HostUnreachable";
    case ETIMEDOUT:
      return "TimedOut";
    default:
      return "Uncategorized";
  }
}

std::string IoError::message() const {
  char buffer[256] = {};
  // The GNU variant may return a static string instead of filling the buffer.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  return ::strerror_r(code_, buffer, sizeof buffer);
#else
  if (::strerror_r(code_, buffer, sizeof buffer) != 0)
    return "Unknown error " + std::to_string(code_);
  return buffer;
#endif
}

std::string text_form(const IoError& error) {
  std::string out = "Os { code: " + std::to_string(error.raw_os_error()) + ", kind: ";
  out += error.kind_name();
  out += ", message: ";
  write_quoted(out, error.message());
  out += " }";
  return out;
}

}  // namespace vestra
