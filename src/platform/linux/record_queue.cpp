#include "platform/linux/record_queue.h"

#include <limits.h>
#include <poll.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vestra::platform {

namespace {

constexpr std::size_t kReadSize = 256 * 1024;
// One read fills at most half, leaving room for the reads that look further ahead.
constexpr std::size_t kBufferSize = 2 * kReadSize;
constexpr std::size_t kLargestRecord = sizeof(inotify_event) + NAME_MAX + 1;
constexpr std::size_t kMoveSelfWindow = 64;
// Where no rename barrier tells: how long a lone old half at the end of a read waits for its
// new half, and the end of a rename for the second rename of an exchange, which the kernel
// queues right behind it.
constexpr long kSecondHalfWaitNs = 3'000'000;
constexpr long kExchangeWaitNs = 3'000'000;

std::int64_t stamp_clock() noexcept {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

}  // namespace

std::optional<InotifyRecord> decode_record(const char* data, std::size_t size, std::size_t offset,
                                           std::size_t& next) noexcept {
  if (offset > size || size - offset < sizeof(inotify_event)) return std::nullopt;
  inotify_event event;
  std::memcpy(&event, data + offset, sizeof event);
  if (event.len > size - offset - sizeof event) return std::nullopt;
  const char* name = data + offset + sizeof event;
  next = offset + sizeof event + event.len;
  return InotifyRecord{event.wd, event.mask, event.cookie,
                       std::string_view(name, ::strnlen(name, event.len))};
}

RecordQueue::RecordQueue(FileDescriptor source)
    : source_(std::move(source)), buffer_(std::make_unique<char[]>(kBufferSize)) {}

void RecordQueue::mark_drained() noexcept {
  unread_since_ = stamp_clock();
}

bool RecordQueue::fill() {
  // A record cut by the last read moves to the front (the kernel never cuts one; a pipe may).
  const std::size_t rest = end_ - begin_;
  if (rest > 0) std::memmove(buffer_.get(), buffer_.get() + begin_, rest);
  begin_ = 0;
  end_ = rest;
  indexed_end_ = 0;
  taken_.reset();
  covered_wd_ = -1;
  moved_to_.clear();
  arrivals_.clear();
  drained_at_.reset();
  return read_into(kReadSize);
}

// A read that found the queue empty, or that left room in the buffer for one more record of
// any size, took every record queued when it began.
bool RecordQueue::read_into(std::size_t limit) {
  const std::size_t room = std::min(limit, kBufferSize - end_);
  if (room < kLargestRecord) return false;
  const std::int64_t started = stamp_clock();
  ++reads_;
  ssize_t count;
  do {
    count = ::read(source_.get(), buffer_.get() + end_, room);
  } while (count < 0 && errno == EINTR);
  const bool empty = count < 0 && errno == EAGAIN;
  if (empty || (count > 0 && static_cast<std::size_t>(count) + kLargestRecord <= room)) {
    drained_at_ = started;
    drained_read_ = reads_;
  }
  if (count <= 0) return false;
  end_ += static_cast<std::size_t>(count);
  return true;
}

std::optional<InotifyRecord> RecordQueue::next() {
  std::size_t after = 0;
  if (taken_ == begin_) {
    taken_.reset();
    if (!decode_record(buffer_.get(), end_, begin_, after)) return std::nullopt;
    begin_ = after;
  }
  const auto record = decode_record(buffer_.get(), end_, begin_, after);
  if (record) {
    at_hand_wd_ = record->wd;
    at_hand_ = begin_;
    renames_read_.reset();
    begin_ = after;
  }
  return record;
}

void RecordQueue::finish() noexcept {
  if (drained_at_) unread_since_ = *drained_at_;
  drained_at_.reset();
}

namespace {

std::string name_key(int wd, std::string_view name) {
  std::string key(reinterpret_cast<const char*>(&wd), sizeof wd);
  key.append(name);
  return key;
}

}  // namespace

void RecordQueue::index_records() {
  std::size_t after = 0;
  while (const auto record = decode_record(buffer_.get(), end_, indexed_end_, after)) {
    if (record->mask & IN_MOVED_TO) moved_to_.emplace(record->cookie, indexed_end_);
    if ((record->mask & (IN_MOVED_TO | IN_CREATE)) && !record->name.empty()) {
      arrivals_.insert_or_assign(name_key(record->wd, record->name), indexed_end_);
    }
    indexed_end_ = after;
  }
}

bool RecordQueue::arrives_later(int wd, std::string_view name) {
  index_records();
  const auto found = arrivals_.find(name_key(wd, name));
  return found != arrivals_.end() && found->second >= begin_;
}

// The kernel queues the two halves of a rename one after the other, not at once, and an
// exchange as two renames: a read can come between them. Waits at most `nanoseconds` for more.
bool RecordQueue::more_comes(long nanoseconds) {
  pollfd ready{source_.get(), POLLIN, 0};
  const timespec wait{0, nanoseconds};
  int count;
  do {
    count = ::ppoll(&ready, 1, &wait, nullptr);
  } while (count < 0 && errno == EINTR);
  return count > 0;
}

bool RecordQueue::read_more(long patience_ns) {
  return read_into(kBufferSize) ||
         (patience_ns > 0 && more_comes(patience_ns) && read_into(kBufferSize));
}

bool RecordQueue::renames_read() {
  if (!barrier_) return false;
  if (renames_read_) return *renames_read_;
  // A burst in one directory passes its barrier once.
  if (at_hand_wd_ == covered_wd_ && at_hand_ < covered_end_) return *(renames_read_ = true);
  renames_read_ = false;
  const std::size_t end_before = end_;
  if (barrier_(at_hand_wd_)) {
    const std::uint64_t before = reads_;
    read_into(kBufferSize);
    renames_read_ = reads_ > before && drained_read_ == reads_;
    if (*renames_read_) {
      covered_wd_ = at_hand_wd_;
      covered_end_ = end_before;
    }
  }
  return *renames_read_;
}

std::optional<InotifyRecord> RecordQueue::find_moved_to(std::uint32_t cookie, bool due) {
  index_records();
  auto found = moved_to_.find(cookie);
  // A read may have come between the two halves, even with other records read after the
  // first: behind the barrier both are queued. Without one, a moment's wait finds most.
  if (found == moved_to_.end() &&
      (renames_read() || ((begin_ >= end_ || due) && read_more(kSecondHalfWaitNs)))) {
    index_records();
    found = moved_to_.find(cookie);
  }
  if (found == moved_to_.end() || found->second < begin_) return std::nullopt;
  std::size_t after = 0;
  return decode_record(buffer_.get(), end_, found->second, after);
}

template <class Settles>
std::optional<InotifyRecord> RecordQueue::look_ahead(Settles&& settles, long patience_ns) {
  std::size_t offset = begin_;
  for (std::size_t seen = 0; seen < kMoveSelfWindow; ++seen) {
    if (offset >= end_) {
      // What a wait would look for, the barrier has read, or there is none.
      if (patience_ns > 0 && renames_read()) {
        if (offset >= end_) return std::nullopt;
      } else if (!read_more(patience_ns)) {
        return std::nullopt;
      }
    }
    std::size_t after = 0;
    auto record = decode_record(buffer_.get(), end_, offset, after);
    if (!record) return record;
    if (settles(*record)) {
      peeked_ = offset;
      return record;
    }
    offset = after;
  }
  return std::nullopt;
}

std::optional<InotifyRecord> RecordQueue::peek_past_move_self() {
  return look_ahead([](const InotifyRecord& record) { return !(record.mask & IN_MOVE_SELF); });
}

bool RecordQueue::move_self_follows(int wd, std::uint32_t cookie) {
  const auto moved_self = [wd](const InotifyRecord& record) {
    return record.wd == wd && (record.mask & IN_MOVE_SELF);
  };
  // An overflow or another rename ends the search.
  const auto found = look_ahead([&](const InotifyRecord& record) {
    return moved_self(record) || (record.mask & IN_Q_OVERFLOW) ||
           ((record.mask & (IN_MOVED_FROM | IN_MOVED_TO)) && record.cookie != cookie);
  });
  return found && moved_self(*found);
}

std::optional<InotifyRecord> RecordQueue::after_rename(std::uint32_t cookie, bool may_exchange) {
  return look_ahead(
      [cookie](const InotifyRecord& record) {
        const bool part = (record.mask & IN_MOVE_SELF) ||
                          ((record.mask & IN_MOVED_TO) && record.cookie == cookie);
        return !part;
      },
      may_exchange ? kExchangeWaitNs : 0);
}

}  // namespace vestra::platform
