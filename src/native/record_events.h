// The new API's reading of a stream's records: one event per change, renames whose halves
// the platform paired as one event with both paths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "native/native_event.h"
#include "platform/platform.h"

namespace vestra {

/// One batch of records as a stream hands it over. `rename_marks` is null where the
/// platform pairs no renames; otherwise one mark per record (see stream_control.h).
struct StreamRecords {
  std::size_t count = 0;
  const char* const* paths = nullptr;
  const FSEventStreamEventFlags* flags = nullptr;
  const std::uint64_t* rename_marks = nullptr;
};

/// Appends the events of `records` to `out`, in order, leaving out records whose path
/// `admitted` refuses. Two adjacent halves of one rename become "Modify(Name(Both))"
/// (old_path to path), or the half inside when only one is admitted; the two renames of a
/// known exchange become one "Modify(Name(Other))" (path and old_path swapped); a lone old
/// half is "Modify(Name(From))", a lone new half "Modify(Name(To))", an unmarked one
/// "Modify(Name(Any))". Undecodable flags are a fatal error.
void append_record_events(const StreamRecords& records,
                          const std::function<bool(std::string_view)>& admitted,
                          std::vector<NativeEvent>& out);

}  // namespace vestra
