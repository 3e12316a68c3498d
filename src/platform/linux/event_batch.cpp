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
    return;
  }
  text_.clear();
  offsets_.clear();
  flags_.clear();
  ids_.clear();
  pointers_.clear();
}

}  // namespace vestra::platform
