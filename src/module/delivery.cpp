#include "module/delivery.h"

namespace vestra {

void EventSender::handle_event(WatchItem item) {
  // A failed send hands the item back; dropping it here destroys it.
  (void)sender_.send(std::move(item));
}

DeliveryChannel make_delivery_channel() {
  auto [sender, receiver] = channel<WatchItem>();
  return {share_event_handler(std::make_unique<EventSender>(std::move(sender))),
          std::move(receiver)};
}

}  // namespace vestra
