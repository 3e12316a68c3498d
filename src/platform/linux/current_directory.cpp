#include "platform/linux/current_directory.h"

#include <unistd.h>

#include <cerrno>

namespace vestra::platform {

std::string current_directory() {
  std::string buffer(256, '\0');
  while (!::getcwd(buffer.data(), buffer.size())) {
    if (errno != ERANGE) return {};
    buffer.resize(buffer.size() * 2);
  }
  buffer.resize(std::char_traits<char>::length(buffer.c_str()));
  return buffer;
}

}  // namespace vestra::platform
