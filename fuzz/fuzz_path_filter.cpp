// Fuzzes the component-wise path filter against a plain reference model.
//
// Input: lines; the first is the record path, each further line is a registry entry whose
// first byte chooses its depth (odd: subtree).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "backend/stream_callback.h"
#include "support/path.h"

namespace {

std::vector<std::string> reference_components(std::string_view path) {
  std::vector<std::string> out;
  std::size_t i = 0;
  if (!path.empty() && path[0] == '/') {
    out.emplace_back("/");
    i = 1;
  } else if (path == "." || path.starts_with("./")) {
    out.emplace_back(".");
    i = 1;
  }
  while (i <= path.size()) {
    std::size_t end = path.find('/', i);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(i, end - i);
    if (!part.empty() && part != ".") out.emplace_back(part);
    i = end + 1;
  }
  return out;
}

bool reference_admits(const std::vector<std::string>& path, const std::vector<std::string>& root,
                      bool subtree) {
  if (root.size() > path.size()) return false;
  for (std::size_t i = 0; i < root.size(); ++i) {
    if (root[i] != path[i]) return false;
  }
  if (subtree || path.size() == root.size()) return true;
  const bool has_parent = !path.empty() && !(path.size() == 1 && path[0] == "/");
  return has_parent && path.size() == root.size() + 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start <= input.size() && lines.size() < 8) {
    std::size_t end = input.find('\n', start);
    if (end == std::string_view::npos) end = input.size();
    lines.push_back(input.substr(start, end - start));
    start = end + 1;
  }
  const std::string_view path = lines[0];
  const auto path_parts = reference_components(path);

  vestra::WatchRegistry registry;
  bool expected = false;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    if (lines[i].empty()) continue;
    const bool subtree = static_cast<unsigned char>(lines[i][0]) & 1;
    const std::string_view root = lines[i].substr(1);
    auto [entry, inserted] = registry.try_emplace(std::string(root), subtree);
    if (!inserted) entry->second = subtree;
  }
  for (const auto& [root, subtree] : registry) {
    expected = expected || reference_admits(path_parts, reference_components(root), subtree);
  }
  if (vestra::is_admitted(path, registry) != expected) std::abort();

  // Equality, prefix and hashing agree with the components of every pair.
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string_view other = lines[i];
    const auto other_parts = reference_components(other);
    const bool equal = path_parts == other_parts;
    if (vestra::path_equals(path, other) != equal) std::abort();
    if (vestra::path_equals(other, path) != equal) std::abort();
    if (equal && vestra::PathHash{}(path) != vestra::PathHash{}(other)) std::abort();
    if (vestra::path_starts_with(path, other) != reference_admits(path_parts, other_parts, true)) {
      std::abort();
    }
  }
  return 0;
}
