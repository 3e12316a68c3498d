// The module's own standard output, for the lines that the watch loop prints.
#pragma once

#include <string_view>

namespace vestra {

/// Appends `text` to the module's line-buffered standard output: a line reaches descriptor 1
/// when its newline is written, independently of Python's sys.stdout. Safe from any thread;
/// a failed write is the fatal "failed printing to stdout".
void write_stdout_lines(std::string_view text);

}  // namespace vestra
