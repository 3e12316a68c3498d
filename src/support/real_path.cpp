#include "support/real_path.h"

#include <stdlib.h>

#include <memory>

namespace vestra {

std::optional<std::string> real_path(const std::string& path) {
  const std::unique_ptr<char, decltype(&::free)> resolved(::realpath(path.c_str(), nullptr),
                                                          &::free);
  if (!resolved) return std::nullopt;
  return std::string(resolved.get());
}

}  // namespace vestra
