#include "platform/linux/path_text.h"

namespace vestra::platform::path_text {

std::string normalize(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  if (!path.empty() && path.front() == '/') out.push_back('/');
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view component = path.substr(start, end - start);
    if (!component.empty() && component != ".") append(out, component);
    start = end + 1;
  }
  if (out.empty() && !path.empty()) out.push_back('.');
  return out;
}

std::string absolute(std::string_view path, std::string_view base) {
  if (!path.empty() && path.front() == '/') return normalize(path);
  return normalize(join(base, path));
}

void append(std::string& dir, std::string_view name) {
  if (!dir.empty() && dir.back() != '/') dir.push_back('/');
  dir.append(name);
}

std::string join(std::string_view dir, std::string_view name) {
  std::string out;
  out.reserve(dir.size() + 1 + name.size());
  out.append(dir);
  append(out, name);
  return out;
}

std::string_view last_component(std::string_view path) noexcept {
  if (path == "/") return path;
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view parent(std::string_view path) noexcept {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {};
  if (slash == 0) return path.substr(0, 1);
  return path.substr(0, slash);
}

}  // namespace vestra::platform::path_text
