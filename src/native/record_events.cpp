#include "native/record_events.h"

#include <string>

#include "backend/stream_callback.h"
#include "backend/stream_flags.h"
#include "event/kind_text.h"
#include "support/panic.h"

namespace vestra {

namespace {

constexpr std::uint64_t kOldName = 1;
constexpr std::uint64_t kFirstOfExchange = std::uint64_t{1} << 40;
constexpr std::uint64_t kSecondOfExchange = std::uint64_t{1} << 41;

IsDir is_dir_of(StreamFlags flags) {
  if (flags.contains(StreamFlags::IS_DIR)) return IsDir::Yes;
  if (flags.contains(StreamFlags::IS_FILE) || flags.contains(StreamFlags::IS_SYMLINK) ||
      flags.contains(StreamFlags::IS_HARDLINK)) {
    return IsDir::No;
  }
  return IsDir::Unknown;
}

StreamFlags decoded(FSEventStreamEventFlags raw) {
  const auto flags = StreamFlags::from_bits(raw);
  if (!flags) panic("Unable to decode StreamFlags: " + std::to_string(raw));
  return *flags;
}

bool is_rename(const Event& event) {
  return event.kind() == EventKind::modify(ModifyDetail::name_change(NameDetail::Any));
}

const char* name_text(NameDetail detail) {
  switch (detail) {
    case NameDetail::Both:
      return "Modify(Name(Both))";
    case NameDetail::From:
      return "Modify(Name(From))";
    case NameDetail::To:
      return "Modify(Name(To))";
    case NameDetail::Other:
      return "Modify(Name(Other))";
    default:
      return "Modify(Name(Any))";
  }
}

/// The events of one record; its rename, if any, as `rename` says.
void append_one(std::string_view path, StreamFlags flags, NameDetail rename,
                std::optional<std::string_view> old_path, std::vector<Event>& scratch,
                std::vector<NativeEvent>& out) {
  scratch.clear();
  append_events_from_flags(flags, scratch);
  for (const Event& event : scratch) {
    NativeEvent native{kind_text(event.kind()), Path(path), std::nullopt, IsDir::Unknown};
    if (event.kind().tag() == EventKind::Tag::Create ||
        event.kind().tag() == EventKind::Tag::Remove || is_rename(event)) {
      native.is_dir = is_dir_of(flags);
    }
    if (is_rename(event)) {
      native.text = name_text(rename);
      if (old_path) native.old_path = Path(*old_path);
    }
    out.push_back(std::move(native));
  }
}

/// Whether record `i` is the old half of a rename whose new half is not next to it.
bool is_lone_departure(const StreamRecords& records, std::size_t i) {
  const std::uint64_t* marks = records.rename_marks;
  if (!marks || marks[i] == 0 || (marks[i] & 3) != kOldName) return false;
  if (!decoded(records.flags[i]).contains(StreamFlags::ITEM_RENAMED)) return false;
  return !(i + 1 < records.count && marks[i + 1] == (marks[i] ^ 3));
}

/// Whether one of the two is known to be a directory and the other known not to be.
bool swapped_types(StreamFlags a, StreamFlags b) {
  const IsDir first = is_dir_of(a), second = is_dir_of(b);
  return first != IsDir::Unknown && second != IsDir::Unknown && first != second;
}

}  // namespace

void append_record_events(const StreamRecords& records,
                          const std::function<bool(std::string_view)>& admitted,
                          std::vector<NativeEvent>& out) {
  std::vector<Event> scratch;
  const std::uint64_t* marks = records.rename_marks;
  for (std::size_t i = 0; i < records.count; ++i) {
    const StreamFlags flags = decoded(records.flags[i]);
    const std::string_view path(records.paths[i]);
    const std::uint64_t mark = marks ? marks[i] : 0;
    if (!flags.contains(StreamFlags::ITEM_RENAMED) || mark == 0) {
      if (admitted(path)) append_one(path, flags, NameDetail::Any, std::nullopt, scratch, out);
      continue;
    }
    const bool old_half = (mark & 3) == kOldName;
    const bool paired = old_half && i + 1 < records.count && marks[i + 1] == (mark ^ 3) &&
                        decoded(records.flags[i + 1]).contains(StreamFlags::ITEM_RENAMED);
    if (!paired) {
      // An exchange with something no watch sees queues the arrival at a name before the
      // departure of what held it. When the two differ in type, they are two objects (a
      // rename cannot put a directory over a file, nor a file over a directory): the old one
      // left first.
      if (!old_half && i + 1 < records.count && is_lone_departure(records, i + 1) &&
          std::string_view(records.paths[i + 1]) == path &&
          swapped_types(flags, decoded(records.flags[i + 1]))) {
        if (admitted(path)) {
          append_one(path, decoded(records.flags[i + 1]), NameDetail::From, std::nullopt, scratch,
                     out);
          append_one(path, flags, NameDetail::To, std::nullopt, scratch, out);
        }
        ++i;
        continue;
      }
      if (admitted(path)) {
        append_one(path, flags, old_half ? NameDetail::From : NameDetail::To, std::nullopt, scratch,
                   out);
      }
      continue;
    }
    const std::string_view new_path(records.paths[i + 1]);
    const StreamFlags new_flags = decoded(records.flags[i + 1]);
    const bool old_inside = admitted(path);
    const bool new_inside = admitted(new_path);
    if (old_inside && new_inside) {
      // An exchange swaps the two paths: its first rename says so, its second (the other
      // direction of the same swap) adds nothing.
      if (!(mark & kSecondOfExchange)) {
        const NameDetail detail = mark & kFirstOfExchange ? NameDetail::Other : NameDetail::Both;
        append_one(new_path, new_flags, detail, path, scratch, out);
      }
    } else if (old_inside) {
      append_one(path, flags, NameDetail::From, std::nullopt, scratch, out);
    } else if (new_inside) {
      append_one(new_path, new_flags, NameDetail::To, std::nullopt, scratch, out);
    }
    ++i;
  }
}

}  // namespace vestra
