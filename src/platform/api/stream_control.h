// vestra's own extension of the event stream, implemented by the Linux layer only (Apple's
// service watches without walking, so there is nothing to stop, count or prune there).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/api/fsevents.h"

/// Shared between a stream and the threads that control it; it must outlive the stream.
struct VestraStreamControl {
  /// Set from any thread: a walk in progress stops at its next directory, and the stream
  /// sets up no more watches.
  std::atomic<bool> stop_requested{false};
  /// Written by the stream: how many directories it holds a kernel watch on.
  std::atomic<size_t> watch_count{0};
  /// Written by the stream: what cut watching short for want of a kernel resource, first
  /// seen (ENOSPC: the watch limit; the errno of an inotify instance that could not be
  /// made); 0 while nothing did.
  std::atomic<int> resource_error{0};
  /// With resource_error EMFILE: true when the process was at its own descriptor limit
  /// rather than at the inotify instance limit, which the kernel reports the same way.
  std::atomic<bool> descriptor_limit{false};
  /// When set, consulted before a directory below a stream path is watched; true leaves it
  /// (and all below it) unwatched and unwalked. Called on the stream's thread.
  bool (*skip_directory)(const void* info, const char* path, size_t length) = nullptr;
  const void* skip_info = nullptr;

  /// Read at the start: whether polling is forced for every path (Force), never forced
  /// (Never: the environment's VESTRA_POLL is not consulted), or chosen as the environment
  /// and the file systems say (Auto); and the time between polls, when positive (otherwise
  /// VESTRA_POLL_INTERVAL or its default).
  enum class Polling : uint8_t { Auto, Force, Never };
  Polling polling = Polling::Auto;
  double poll_interval_seconds = 0;

  /// How one directory is observed: "inotify" or "polling", and why.
  struct Coverage {
    std::string directory;
    std::string mechanism;
    std::string reason;
  };
  /// Written by the stream whenever it changes, under `coverage_mutex`: a row per stream
  /// path, then one per polled part of a watched tree.
  std::mutex coverage_mutex;
  std::vector<Coverage> coverage;
};

#if !defined(__APPLE__)
extern "C" {
/// Hands `control` to `stream`; call before FSEventStreamStart.
void VestraFSEventStreamSetControl(FSEventStreamRef stream, VestraStreamControl* control);
/// Inside the stream's callback, one value per record: for either half of a rename that the
/// kernel paired, `key << 2 | 1` on the old name's record and `key << 2 | 2` on the new
/// name's (a key below 2^32), the two halves sharing the key and a lone half carrying a key
/// no other record carries; 0 on every other record. Where the two renames of an exchange
/// are known as such, bit 40 is set on the first one's halves and bit 41 on the second's.
const uint64_t* VestraFSEventStreamGetRenameMarks(ConstFSEventStreamRef stream);
}
#endif
