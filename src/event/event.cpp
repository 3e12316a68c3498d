#include "event/event.h"

namespace vestra {

EventAttributes::Inner& EventAttributes::block() {
  if (!inner_) inner_ = std::make_unique<Inner>();
  return *inner_;
}

void EventAttributes::set_info(std::string_view text) {
  block().info.emplace(text);
}

void EventAttributes::set_flag(EventFlag flag) {
  block().flag = flag;
}

void EventAttributes::set_process_id(std::uint32_t id) {
  block().process_id = id;
}

std::optional<EventFlag> EventAttributes::flag() const noexcept {
  return inner_ ? inner_->flag : std::nullopt;
}

const std::string* EventAttributes::info() const noexcept {
  return inner_ && inner_->info ? &*inner_->info : nullptr;
}

std::optional<std::uint32_t> EventAttributes::process_id() const noexcept {
  return inner_ ? inner_->process_id : std::nullopt;
}

Event Event::add_path(Path path) && {
  paths_.push_back(std::move(path));
  return std::move(*this);
}

Event Event::set_flag(EventFlag flag) && {
  attributes_.set_flag(flag);
  return std::move(*this);
}

Event Event::set_info(std::string_view text) && {
  attributes_.set_info(text);
  return std::move(*this);
}

Event Event::set_process_id(std::uint32_t id) && {
  attributes_.set_process_id(id);
  return std::move(*this);
}

}  // namespace vestra
