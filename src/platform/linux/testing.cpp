#include "platform/linux/testing.h"

#include "platform/linux/fsevent_stream.h"

namespace vestra::platform::testing {

void set_watch_limit(FSEventStreamRef stream, std::size_t limit) {
  stream->set_watch_limit(limit);
}

void hold_reading(FSEventStreamRef stream) {
  stream->hold_reading(true);
}

void release_reading(FSEventStreamRef stream) {
  stream->hold_reading(false);
}

void refuse_next_start() {
  next_start_fault.store(StartFault::Refuse);
}

void end_next_run_at_once() {
  next_start_fault.store(StartFault::EndRunAtOnce);
}

void limit_next_watches(std::size_t limit) {
  next_watch_limit.store(limit);
}

void set_device_being_watched(dev_t device) {
  vestra::platform::device_being_watched.store(device);
}

std::vector<dev_t> take_purged_devices() {
  return vestra::platform::take_purged_devices();
}

std::size_t watch_count(ConstFSEventStreamRef stream) {
  return stream->watch_count();
}

std::size_t resync_count(ConstFSEventStreamRef stream) {
  return stream->resync_count();
}

std::vector<Observer> observers(ConstFSEventStreamRef stream) {
  std::vector<Observer> found;
  for (const auto& [path, observation] : stream->observations()) {
    found.push_back(observation.observer);
  }
  return found;
}

std::vector<VestraStreamControl::Coverage> coverage(ConstFSEventStreamRef stream) {
  return stream->coverage();
}

}  // namespace vestra::platform::testing
