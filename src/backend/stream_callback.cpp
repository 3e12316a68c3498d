#include "backend/stream_callback.h"

#include <unistd.h>

#include <string>

#include "support/log.h"
#include "support/panic.h"

namespace vestra {

namespace {

/// The detail of a created or removed item, from its type bits; the info text names a type
/// that has no alternative of its own.
struct ItemType {
  CreateDetail detail;
  const char* info;
};

ItemType item_type(StreamFlags flags) {
  if (flags.contains(StreamFlags::IS_DIR)) return {CreateDetail::Folder, nullptr};
  if (flags.contains(StreamFlags::IS_FILE)) return {CreateDetail::File, nullptr};
  if (flags.contains(StreamFlags::IS_SYMLINK)) return {CreateDetail::Other, "is: symlink"};
  if (flags.contains(StreamFlags::IS_HARDLINK)) return {CreateDetail::Other, "is: hardlink"};
  if (flags.contains(StreamFlags::ITEM_CLONED)) return {CreateDetail::Other, "is: clone"};
  return {CreateDetail::Any, nullptr};
}

RemoveDetail as_remove(CreateDetail detail) {
  switch (detail) {
    case CreateDetail::File:
      return RemoveDetail::File;
    case CreateDetail::Folder:
      return RemoveDetail::Folder;
    case CreateDetail::Other:
      return RemoveDetail::Other;
    case CreateDetail::Any:
      break;
  }
  return RemoveDetail::Any;
}

Event with_info(Event event, const char* info) {
  return info ? std::move(event).set_info(info) : std::move(event);
}

void deliver(const SharedEventHandler& handler, Event event) {
  auto guard = handler->lock().expect("lock not to be poisoned");
  (*guard)->handle_event(Ok(std::move(event)));
}

void process_record(const StreamContextInfo& context, const char* raw_path,
                    FSEventStreamEventFlags raw_flags, std::vector<Event>& events) {
  // Flags are decoded before the filter: an undecodable record is fatal wherever it lies.
  const auto flags = StreamFlags::from_bits(raw_flags);
  if (!flags) panic("Unable to decode StreamFlags: " + std::to_string(raw_flags));

  // A path is carried as the bytes the platform gave, whether or not they are UTF-8.
  const std::string_view path(raw_path);
  if (!is_admitted(path, context.subtree_by_path)) return;

  if (log::enabled(log::Level::Trace)) {
    log::write(log::Level::Trace,
               "stream record: path=" + std::string(path) + " flags=" + text_form(*flags));
  }

  events.clear();
  append_events_from_flags(*flags, events);
  for (Event& event : events) {
    deliver(context.event_handler, std::move(event).add_path(Path(path)));
  }
}

}  // namespace

void append_events_from_flags(StreamFlags flags, std::vector<Event>& out) {
  using F = StreamFlags;
  if (flags.contains(F::HISTORY_DONE)) return;
  const std::size_t first = out.size();

  if (flags.contains(F::MUST_SCAN_SUBDIRS)) {
    Event event = Event(EventKind::other()).set_flag(EventFlag::Rescan);
    if (flags.contains(F::USER_DROPPED)) {
      event = std::move(event).set_info("rescan: user dropped");
    } else if (flags.contains(F::KERNEL_DROPPED)) {
      event = std::move(event).set_info("rescan: kernel dropped");
    }
    out.push_back(std::move(event));
  }
  if (flags.contains(F::ROOT_CHANGED)) {
    out.push_back(Event(EventKind::modify(ModifyDetail::name_change(NameDetail::From)))
                      .set_info("root changed"));
  }
  if (flags.contains(F::MOUNT)) {
    out.push_back(Event(EventKind::create(CreateDetail::Other)).set_info("mount"));
  }
  if (flags.contains(F::UNMOUNT)) {
    out.push_back(Event(EventKind::remove(RemoveDetail::Other)).set_info("mount"));
  }
  if (flags.contains(F::ITEM_CREATED)) {
    const ItemType type = item_type(flags);
    out.push_back(with_info(Event(EventKind::create(type.detail)), type.info));
  }
  if (flags.contains(F::ITEM_REMOVED)) {
    const ItemType type = item_type(flags);
    out.push_back(with_info(Event(EventKind::remove(as_remove(type.detail))), type.info));
  }
  // Renamed is reported before the inode change although its bit is higher.
  if (flags.contains(F::ITEM_RENAMED)) {
    out.emplace_back(EventKind::modify(ModifyDetail::name_change(NameDetail::Any)));
  }
  if (flags.contains(F::INODE_META_MOD)) {
    out.emplace_back(EventKind::modify(ModifyDetail::metadata_change(MetadataDetail::Any)));
  }
  if (flags.contains(F::FINDER_INFO_MOD)) {
    out.push_back(Event(EventKind::modify(ModifyDetail::metadata_change(MetadataDetail::Other)))
                      .set_info("meta: finder info"));
  }
  if (flags.contains(F::ITEM_CHANGE_OWNER)) {
    out.emplace_back(EventKind::modify(ModifyDetail::metadata_change(MetadataDetail::Ownership)));
  }
  if (flags.contains(F::ITEM_XATTR_MOD)) {
    out.emplace_back(EventKind::modify(ModifyDetail::metadata_change(MetadataDetail::Extended)));
  }
  if (flags.contains(F::ITEM_MODIFIED)) {
    out.emplace_back(EventKind::modify(ModifyDetail::data_change(DataDetail::Content)));
  }
  if (flags.contains(F::OWN_EVENT)) {
    const auto pid = static_cast<std::uint32_t>(::getpid());
    for (std::size_t i = first; i < out.size(); ++i) {
      out[i] = std::move(out[i]).set_process_id(pid);
    }
  }
}

std::vector<Event> events_from_flags(StreamFlags flags) {
  std::vector<Event> events;
  append_events_from_flags(flags, events);
  return events;
}

bool is_admitted(std::string_view path, const WatchRegistry& subtree_by_path) noexcept {
  for (const auto& [root, subtree] : subtree_by_path) {
    if (!path_starts_with(path, root)) continue;
    if (subtree || path_equals(path, root) || path_parent_equals(path, root)) return true;
  }
  return false;
}

void callback(ConstFSEventStreamRef, void* info, size_t count, void* paths,
              const FSEventStreamEventFlags flags[], const FSEventStreamEventId[]) noexcept {
  call_nounwind([&] {
    if (count == 0) return;
    const auto& context = *static_cast<const StreamContextInfo*>(info);
    const auto* record_paths = static_cast<const char* const*>(paths);
    std::vector<Event> events;  // reused across the batch's records
    for (size_t i = 0; i < count; ++i) {
      process_record(context, record_paths[i], flags[i], events);
    }
  });
}

}  // namespace vestra
