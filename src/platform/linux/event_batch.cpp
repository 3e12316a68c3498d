#include "platform/linux/event_batch.h"

namespace vestra::platform {

namespace {

/// Storage beyond this is given back after a delivery.
constexpr std::size_t kKeptText = 16 * 1024 * 1024;
constexpr std::size_t kKeptRecords = 256 * 1024;

}  // namespace

void EventBatch::add(std::string_view path, FSEventStreamEventFlags flags) {
  offsets_.push_back(text_.size());
  text_.append(path);
  text_.push_back('\0');
  flags_.push_back(flags);
}

void EventBatch::add(std::string_view dir, std::string_view name, FSEventStreamEventFlags flags) {
  offsets_.push_back(text_.size());
  text_.append(dir);
  if (!dir.empty() && dir.back() != '/') text_.push_back('/');
  text_.append(name);
  text_.push_back('\0');
  flags_.push_back(flags);
}

void EventBatch::mark_rename(std::uint32_t cookie, unsigned side) {
  if (cookie == 0 || flags_.empty()) return;
  renames_.emplace_back(flags_.size() - 1, std::uint64_t{cookie} << 2 | (side & 3));
}

void EventBatch::mark_exchange(std::uint32_t cookie, unsigned part) {
  const std::uint64_t bit = std::uint64_t{1} << (39 + (part & 3));
  for (auto& [index, mark] : renames_) {
    if ((mark >> 2 & 0xffffffff) == cookie) mark |= bit;
  }
}

const std::uint64_t* EventBatch::rename_marks() {
  marks_.assign(flags_.size(), 0);
  for (const auto& [index, mark] : renames_) marks_[index] = mark;
  return marks_.data();
}

void EventBatch::seal(FSEventStreamEventId first_id) {
  ids_.resize(flags_.size());
  pointers_.resize(flags_.size());
  for (std::size_t i = 0; i < flags_.size(); ++i) {
    ids_[i] = first_id + i;
    pointers_[i] = text_.data() + offsets_[i];
  }
}

std::string_view EventBatch::path(std::size_t index) const noexcept {
  return std::string_view(text_.data() + offsets_[index]);
}

void EventBatch::clear() noexcept {
  if (text_.capacity() > kKeptText || flags_.capacity() > kKeptRecords) {
    text_ = std::string();
    offsets_ = {};
    flags_ = {};
    ids_ = {};
    pointers_ = {};
    renames_ = {};
    marks_ = {};
    return;
  }
  text_.clear();
  offsets_.clear();
  flags_.clear();
  ids_.clear();
  pointers_.clear();
  renames_.clear();
  marks_.clear();
}

}  // namespace vestra::platform
