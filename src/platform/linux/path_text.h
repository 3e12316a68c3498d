// Lexical operations on path text: no file-system access.
#pragma once

#include <string>
#include <string_view>

namespace vestra::platform::path_text {

/// Collapses repeated separators and drops "." components and a trailing separator, keeping
/// ".." as it is (through a symbolic link, "a/.." need not be where "a" is). A relative
/// path made only of "." components becomes ".".
std::string normalize(std::string_view path);

/// `path` normalized, taken against the normalized absolute `base` when it is relative.
/// The one place where paths given from outside are made absolute.
std::string absolute(std::string_view path, std::string_view base);

/// Appends `name` to `dir` with one separator between them.
void append(std::string& dir, std::string_view name);
std::string join(std::string_view dir, std::string_view name);

/// The last component of a normalized path; "/" for "/".
std::string_view last_component(std::string_view path) noexcept;

/// A normalized path without its last component: "/" for "/x" and for "/"; empty for a
/// relative path of one component.
std::string_view parent(std::string_view path) noexcept;

}  // namespace vestra::platform::path_text
