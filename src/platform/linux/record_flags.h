// The stream-record flags that the tree watcher produces, under short names.
#pragma once

#include "platform/api/fsevents.h"

namespace vestra::platform::record_flags {

inline constexpr FSEventStreamEventFlags kCreated = kFSEventStreamEventFlagItemCreated;
inline constexpr FSEventStreamEventFlags kRemoved = kFSEventStreamEventFlagItemRemoved;
inline constexpr FSEventStreamEventFlags kRenamed = kFSEventStreamEventFlagItemRenamed;
inline constexpr FSEventStreamEventFlags kModified = kFSEventStreamEventFlagItemModified;
inline constexpr FSEventStreamEventFlags kMetaMod = kFSEventStreamEventFlagItemInodeMetaMod;
inline constexpr FSEventStreamEventFlags kIsFile = kFSEventStreamEventFlagItemIsFile;
inline constexpr FSEventStreamEventFlags kIsDir = kFSEventStreamEventFlagItemIsDir;
inline constexpr FSEventStreamEventFlags kIsSymlink = kFSEventStreamEventFlagItemIsSymlink;
inline constexpr FSEventStreamEventFlags kIsHardlink = kFSEventStreamEventFlagItemIsHardlink;
inline constexpr FSEventStreamEventFlags kRootChanged = kFSEventStreamEventFlagRootChanged;
inline constexpr FSEventStreamEventFlags kUserDropped =
    kFSEventStreamEventFlagMustScanSubDirs | kFSEventStreamEventFlagUserDropped;
inline constexpr FSEventStreamEventFlags kKernelDropped =
    kFSEventStreamEventFlagMustScanSubDirs | kFSEventStreamEventFlagKernelDropped;

}  // namespace vestra::platform::record_flags
