// The interface through which a watcher hands over what it observes.
#pragma once

#include <memory>

#include "event/error.h"
#include "event/event.h"
#include "support/poison_mutex.h"
#include "support/result.h"

namespace vestra {

/// One delivered item: an event, or an error of the watcher.
using WatchItem = Result<Event, Error>;

/// Receives every item a watcher produces, taking ownership of it.
class EventHandler {
 public:
  virtual ~EventHandler() = default;
  virtual void handle_event(WatchItem item) = 0;
};

/// A handler shared by the watcher and its live stream: the mutex serialises deliveries and
/// is poisoned by a fatal error raised while it is held.
using SharedEventHandler = std::shared_ptr<PoisonMutex<std::unique_ptr<EventHandler>>>;

inline SharedEventHandler share_event_handler(std::unique_ptr<EventHandler> handler) {
  return std::make_shared<PoisonMutex<std::unique_ptr<EventHandler>>>(std::move(handler));
}

}  // namespace vestra
