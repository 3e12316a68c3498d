// What kind of change an event reports: a plain value of at most three levels.
#pragma once

#include <cstdint>

namespace vestra {

enum class OpenMode : std::uint8_t { Any, Execute, Read, Write, Other };

/// Detail of an access: Open and Close carry the mode of the opening.
struct AccessDetail {
  enum class Tag : std::uint8_t { Any, Read, Open, Close, Other };
  Tag tag = Tag::Any;
  OpenMode mode = OpenMode::Any;  ///< meaningful for Open and Close only

  static constexpr AccessDetail any() { return {Tag::Any}; }
  static constexpr AccessDetail read() { return {Tag::Read}; }
  static constexpr AccessDetail open(OpenMode mode) { return {Tag::Open, mode}; }
  static constexpr AccessDetail close(OpenMode mode) { return {Tag::Close, mode}; }
  static constexpr AccessDetail other() { return {Tag::Other}; }
  friend constexpr bool operator==(AccessDetail, AccessDetail) = default;
};

enum class CreateDetail : std::uint8_t { Any, File, Folder, Other };
enum class RemoveDetail : std::uint8_t { Any, File, Folder, Other };
enum class DataDetail : std::uint8_t { Any, Size, Content, Other };
enum class MetadataDetail : std::uint8_t {
  Any,
  AccessTime,
  WriteTime,
  Permissions,
  Ownership,
  Extended,
  Other
};
enum class NameDetail : std::uint8_t { Any, To, From, Both, Other };

/// Detail of a modification: Data, Metadata and Name carry a further detail.
struct ModifyDetail {
  enum class Tag : std::uint8_t { Any, Data, Metadata, Name, Other };
  Tag tag = Tag::Any;
  DataDetail data = DataDetail::Any;              ///< meaningful for Data only
  MetadataDetail metadata = MetadataDetail::Any;  ///< meaningful for Metadata only
  NameDetail name = NameDetail::Any;              ///< meaningful for Name only

  static constexpr ModifyDetail any() { return {Tag::Any}; }
  static constexpr ModifyDetail data_change(DataDetail d) { return {Tag::Data, d}; }
  static constexpr ModifyDetail metadata_change(MetadataDetail m) {
    return {Tag::Metadata, DataDetail::Any, m};
  }
  static constexpr ModifyDetail name_change(NameDetail n) {
    return {Tag::Name, DataDetail::Any, MetadataDetail::Any, n};
  }
  static constexpr ModifyDetail other() { return {Tag::Other}; }
  friend constexpr bool operator==(ModifyDetail, ModifyDetail) = default;
};

/// The kind of an event. Details that an alternative does not carry stay at Any, so two
/// kinds are equal exactly when they render the same text.
class EventKind {
 public:
  enum class Tag : std::uint8_t { Any, Access, Create, Modify, Remove, Other };

  static constexpr EventKind any() { return EventKind(Tag::Any); }
  static constexpr EventKind access(AccessDetail d) {
    EventKind k(Tag::Access);
    k.access_ = d;
    return k;
  }
  static constexpr EventKind create(CreateDetail d) {
    EventKind k(Tag::Create);
    k.create_ = d;
    return k;
  }
  static constexpr EventKind modify(ModifyDetail d) {
    EventKind k(Tag::Modify);
    k.modify_ = d;
    return k;
  }
  static constexpr EventKind remove(RemoveDetail d) {
    EventKind k(Tag::Remove);
    k.remove_ = d;
    return k;
  }
  static constexpr EventKind other() { return EventKind(Tag::Other); }

  constexpr Tag tag() const { return tag_; }
  constexpr AccessDetail access_detail() const { return access_; }
  constexpr CreateDetail create_detail() const { return create_; }
  constexpr ModifyDetail modify_detail() const { return modify_; }
  constexpr RemoveDetail remove_detail() const { return remove_; }

  friend constexpr bool operator==(EventKind, EventKind) = default;

 private:
  constexpr explicit EventKind(Tag tag) : tag_(tag) {}

  Tag tag_;
  AccessDetail access_{};
  CreateDetail create_ = CreateDetail::Any;
  ModifyDetail modify_{};
  RemoveDetail remove_ = RemoveDetail::Any;
};

}  // namespace vestra
