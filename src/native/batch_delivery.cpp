#include "native/batch_delivery.h"

#include <utility>
#include <vector>

#include "backend/stream_callback.h"
#include "backend/stream_context.h"
#include "event/kind_text.h"
#include "native/record_events.h"
#include "platform/api/stream_control.h"
#include "support/panic.h"

namespace vestra {

namespace {

IsDir is_dir_of(EventKind kind) {
  using Tag = EventKind::Tag;
  if (kind.tag() == Tag::Create) {
    if (kind.create_detail() == CreateDetail::Folder) return IsDir::Yes;
    if (kind.create_detail() == CreateDetail::File) return IsDir::No;
  }
  if (kind.tag() == Tag::Remove) {
    if (kind.remove_detail() == RemoveDetail::Folder) return IsDir::Yes;
    if (kind.remove_detail() == RemoveDetail::File) return IsDir::No;
  }
  return IsDir::Unknown;
}

class BatchingHandler final : public EventHandler {
 public:
  explicit BatchingHandler(std::shared_ptr<WatchState> state) : state_(std::move(state)) {}

  void handle_event(WatchItem item) override {
    std::vector<NativeEvent> events;
    if (item.is_err()) {
      const std::vector<Path>& paths = item.error().paths();
      events.push_back(NativeEvent{"Other", paths.empty() ? Path() : paths.front(), std::nullopt,
                                   IsDir::Unknown});
    } else {
      const Event& event = item.value();
      const std::vector<Path>& paths = event.paths();
      events.push_back(NativeEvent{kind_text(event.kind()), paths.empty() ? Path() : paths.front(),
                                   std::nullopt, is_dir_of(event.kind())});
    }
    state_->add(events);
  }

  void handle_events(std::vector<NativeEvent>& events) { state_->add(events); }

 private:
  std::shared_ptr<WatchState> state_;
};

}  // namespace

std::unique_ptr<EventHandler> make_batching_handler(std::shared_ptr<WatchState> state) {
  return std::make_unique<BatchingHandler>(std::move(state));
}

void batch_delivery_callback(ConstFSEventStreamRef stream, void* info, size_t count, void* paths,
                             const FSEventStreamEventFlags flags[],
                             const FSEventStreamEventId[]) noexcept {
  call_nounwind([&] {
    if (count == 0) return;
    const auto& context = *static_cast<const StreamContextInfo*>(info);
    StreamRecords records{count, static_cast<const char* const*>(paths), flags, nullptr};
#if !defined(__APPLE__)
    records.rename_marks = VestraFSEventStreamGetRenameMarks(stream);
#else
    (void)stream;
#endif
    std::vector<NativeEvent> events;
    append_record_events(
        records, [&](std::string_view path) { return is_admitted(path, context.subtree_by_path); },
        events);
    if (events.empty()) return;
    auto guard = context.event_handler->lock().expect("lock not to be poisoned");
    static_cast<BatchingHandler&>(**guard).handle_events(events);
  });
}

}  // namespace vestra
