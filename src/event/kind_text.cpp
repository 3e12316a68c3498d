#include "event/kind_text.h"

#include <string_view>

namespace vestra {

namespace {

constexpr std::string_view kOpenModeNames[] = {"Any", "Execute", "Read", "Write", "Other"};
constexpr std::string_view kCreateNames[] = {"Any", "File", "Folder", "Other"};
constexpr std::string_view kDataNames[] = {"Any", "Size", "Content", "Other"};
constexpr std::string_view kMetadataNames[] = {
    "Any", "AccessTime", "WriteTime", "Permissions", "Ownership", "Extended", "Other"};
constexpr std::string_view kNameNames[] = {"Any", "To", "From", "Both", "Other"};

template <class Enum, std::size_t N>
std::string_view name_of(const std::string_view (&names)[N], Enum value) {
  return names[static_cast<std::size_t>(value)];
}

/// Writes `name(` + inner + `)`.
template <class Inner>
void write_carrying(std::string& out, std::string_view name, Inner&& inner) {
  out += name;
  out += '(';
  inner();
  out += ')';
}

void write_access(std::string& out, AccessDetail d) {
  using Tag = AccessDetail::Tag;
  switch (d.tag) {
    case Tag::Any:
      out += "Any";
      return;
    case Tag::Read:
      out += "Read";
      return;
    case Tag::Open:
    case Tag::Close:
      write_carrying(out, d.tag == Tag::Open ? "Open" : "Close",
                     [&] { out += name_of(kOpenModeNames, d.mode); });
      return;
    case Tag::Other:
      out += "Other";
      return;
  }
}

void write_modify(std::string& out, ModifyDetail d) {
  using Tag = ModifyDetail::Tag;
  switch (d.tag) {
    case Tag::Any:
      out += "Any";
      return;
    case Tag::Data:
      write_carrying(out, "Data", [&] { out += name_of(kDataNames, d.data); });
      return;
    case Tag::Metadata:
      write_carrying(out, "Metadata", [&] { out += name_of(kMetadataNames, d.metadata); });
      return;
    case Tag::Name:
      write_carrying(out, "Name", [&] { out += name_of(kNameNames, d.name); });
      return;
    case Tag::Other:
      out += "Other";
      return;
  }
}

}  // namespace

void write_kind_text(std::string& out, EventKind kind) {
  using Tag = EventKind::Tag;
  switch (kind.tag()) {
    case Tag::Any:
      out += "Any";
      return;
    case Tag::Access:
      write_carrying(out, "Access", [&] { write_access(out, kind.access_detail()); });
      return;
    case Tag::Create:
      write_carrying(out, "Create", [&] { out += name_of(kCreateNames, kind.create_detail()); });
      return;
    case Tag::Modify:
      write_carrying(out, "Modify", [&] { write_modify(out, kind.modify_detail()); });
      return;
    case Tag::Remove:
      // Remove shares its alternatives' names with Create.
      write_carrying(out, "Remove", [&] { out += name_of(kCreateNames, kind.remove_detail()); });
      return;
    case Tag::Other:
      out += "Other";
      return;
  }
}

std::string kind_text(EventKind kind) {
  std::string out;
  write_kind_text(out, kind);
  return out;
}

}  // namespace vestra
