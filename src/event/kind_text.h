// The exact text of an event kind, as the Python callback receives it under "kind".
#pragma once

#include <string>

#include "event/event_kind.h"

namespace vestra {

/// Appends the kind's text: each alternative's name, and a carried detail in parentheses,
/// e.g. Modify(Data(Content)). No spaces, quotes or line breaks.
void write_kind_text(std::string& out, EventKind kind);
std::string kind_text(EventKind kind);

}  // namespace vestra
