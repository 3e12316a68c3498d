// One observed change: its kind, the paths it concerns, and optional attributes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "event/event_kind.h"

namespace vestra {

/// A file-system path as the raw bytes the platform reports. On Linux any byte string is a
/// valid name; text is made from it only at the Python boundary.
using Path = std::string;

/// A marker for the consumer. Rescan: changes were dropped, look at the tree again.
enum class EventFlag : std::uint8_t { Rescan };

/// Optional extras of an event, stored out of line and only once one is set.
class EventAttributes {
 public:
  EventAttributes() = default;
  EventAttributes(EventAttributes&&) noexcept = default;
  EventAttributes& operator=(EventAttributes&&) noexcept = default;

  /// Stores an owned copy of `text`, replacing an earlier info text.
  void set_info(std::string_view text);
  void set_flag(EventFlag flag);
  void set_process_id(std::uint32_t id);

  /// False until the first setter has run.
  bool has_block() const noexcept { return inner_ != nullptr; }
  std::optional<EventFlag> flag() const noexcept;
  /// The info text, or nullptr when absent.
  const std::string* info() const noexcept;
  std::optional<std::uint32_t> process_id() const noexcept;

 private:
  struct Inner {
    std::optional<EventFlag> flag;
    std::optional<std::string> info;
    std::optional<std::string> source;  // room for a source name; never set here
    std::optional<std::uint32_t> process_id;
    std::optional<std::uintptr_t> tracker;  // room for a rename tracker; never set here
  };
  Inner& block();

  std::unique_ptr<Inner> inner_;
};

/// An event owns its paths and attributes; it is moved, never shared. The builders take the
/// event and give it back, so one can be made in a single expression:
///   Event(EventKind::other()).set_flag(EventFlag::Rescan).set_info("rescan: kernel dropped")
class Event {
 public:
  explicit Event(EventKind kind) noexcept : kind_(kind) {}
  Event(Event&&) noexcept = default;
  Event& operator=(Event&&) noexcept = default;

  Event add_path(Path path) &&;
  Event set_flag(EventFlag flag) &&;
  Event set_info(std::string_view text) &&;
  Event set_process_id(std::uint32_t id) &&;

  EventKind kind() const noexcept { return kind_; }
  const std::vector<Path>& paths() const noexcept { return paths_; }
  const EventAttributes& attributes() const noexcept { return attributes_; }

 private:
  EventKind kind_;
  std::vector<Path> paths_;
  EventAttributes attributes_;
};

}  // namespace vestra
