// The delivery channel between a watcher's thread and the Python thread.
#pragma once

#include "event/event_handler.h"
#include "support/channel.h"

namespace vestra {

/// The sending end of the delivery channel as an event handler. Once the receiving end is
/// gone, items are dropped silently: nobody is left to tell.
class EventSender final : public EventHandler {
 public:
  explicit EventSender(Sender<WatchItem> sender) : sender_(std::move(sender)) {}
  void handle_event(WatchItem item) override;

 private:
  Sender<WatchItem> sender_;
};

/// A new channel: its sending end wrapped as a shared handler, and its receiving end.
struct DeliveryChannel {
  SharedEventHandler handler;
  Receiver<WatchItem> receiver;
};
DeliveryChannel make_delivery_channel();

}  // namespace vestra
