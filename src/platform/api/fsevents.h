// The subset of the FSEvents service that vestra uses, declared in the same forms as
// Apple's CoreServices headers (see core_foundation.h beside this file).
#pragma once

#include <stddef.h>
#include <sys/types.h>

#include "platform/api/core_foundation.h"

// Apple marks the run-loop scheduling deprecated from macOS 13 in favour of dispatch queues.
#if defined(__APPLE__)
#define VESTRA_FSEVENTS_RUN_LOOP_DEPRECATED                                \
  __attribute__((availability(macos, introduced = 10.5, deprecated = 13.0, \
                              message = "Use FSEventStreamSetDispatchQueue instead.")))
#else
#define VESTRA_FSEVENTS_RUN_LOOP_DEPRECATED
#endif

extern "C" {

typedef struct __FSEventStream* FSEventStreamRef;
typedef const struct __FSEventStream* ConstFSEventStreamRef;

// The flag sets are plain unnamed enumerations beside plain integer types, as in Apple's
// headers: the constants are ints, combined with | and stored in the integer type.
typedef UInt32 FSEventStreamCreateFlags;
enum {
  kFSEventStreamCreateFlagNone = 0x00000000,
  kFSEventStreamCreateFlagUseCFTypes = 0x00000001,
  kFSEventStreamCreateFlagNoDefer = 0x00000002,
  kFSEventStreamCreateFlagWatchRoot = 0x00000004,
  kFSEventStreamCreateFlagIgnoreSelf = 0x00000008,
  kFSEventStreamCreateFlagFileEvents = 0x00000010,
};

typedef UInt32 FSEventStreamEventFlags;
enum {
  kFSEventStreamEventFlagNone = 0x00000000,
  kFSEventStreamEventFlagMustScanSubDirs = 0x00000001,
  kFSEventStreamEventFlagUserDropped = 0x00000002,
  kFSEventStreamEventFlagKernelDropped = 0x00000004,
  kFSEventStreamEventFlagEventIdsWrapped = 0x00000008,
  kFSEventStreamEventFlagHistoryDone = 0x00000010,
  kFSEventStreamEventFlagRootChanged = 0x00000020,
  kFSEventStreamEventFlagMount = 0x00000040,
  kFSEventStreamEventFlagUnmount = 0x00000080,
  kFSEventStreamEventFlagItemCreated = 0x00000100,
  kFSEventStreamEventFlagItemRemoved = 0x00000200,
  kFSEventStreamEventFlagItemInodeMetaMod = 0x00000400,
  kFSEventStreamEventFlagItemRenamed = 0x00000800,
  kFSEventStreamEventFlagItemModified = 0x00001000,
  kFSEventStreamEventFlagItemFinderInfoMod = 0x00002000,
  kFSEventStreamEventFlagItemChangeOwner = 0x00004000,
  kFSEventStreamEventFlagItemXattrMod = 0x00008000,
  kFSEventStreamEventFlagItemIsFile = 0x00010000,
  kFSEventStreamEventFlagItemIsDir = 0x00020000,
  kFSEventStreamEventFlagItemIsSymlink = 0x00040000,
  kFSEventStreamEventFlagOwnEvent = 0x00080000,
  kFSEventStreamEventFlagItemIsHardlink = 0x00100000,
  kFSEventStreamEventFlagItemIsLastHardlink = 0x00200000,
  kFSEventStreamEventFlagItemCloned = 0x00400000,
};

typedef UInt64 FSEventStreamEventId;
enum {
  kFSEventStreamEventIdSinceNow = 0xFFFFFFFFFFFFFFFFULL,
};

/// Called on the run loop's thread with one batch: `numEvents` records as parallel arrays
/// of NUL-terminated paths (`eventPaths` is a `char**`), flag words and event ids.
typedef void (*FSEventStreamCallback)(ConstFSEventStreamRef streamRef, void* clientCallBackInfo,
                                      size_t numEvents, void* eventPaths,
                                      const FSEventStreamEventFlags eventFlags[],
                                      const FSEventStreamEventId eventIds[]);

struct FSEventStreamContext {
  CFIndex version;
  void* info;
  CFAllocatorRetainCallBack retain;
  CFAllocatorReleaseCallBack release;
  CFAllocatorCopyDescriptionCallBack copyDescription;
};
typedef struct FSEventStreamContext FSEventStreamContext;

FSEventStreamRef FSEventStreamCreate(CFAllocatorRef allocator, FSEventStreamCallback callback,
                                     FSEventStreamContext* context, CFArrayRef pathsToWatch,
                                     FSEventStreamEventId sinceWhen, CFTimeInterval latency,
                                     FSEventStreamCreateFlags flags);
VESTRA_FSEVENTS_RUN_LOOP_DEPRECATED
void FSEventStreamScheduleWithRunLoop(FSEventStreamRef streamRef, CFRunLoopRef runLoop,
                                      CFStringRef runLoopMode);
/// False when the stream could not be started; it must then not be stopped.
Boolean FSEventStreamStart(FSEventStreamRef streamRef);
/// Only for a started stream.
void FSEventStreamStop(FSEventStreamRef streamRef);
/// Only for a scheduled stream.
void FSEventStreamInvalidate(FSEventStreamRef streamRef);
void FSEventStreamRelease(FSEventStreamRef streamRef);

FSEventStreamEventId FSEventsGetCurrentEventId(void);
/// The device a stream created relative to a device watches; 0 for any other stream.
dev_t FSEventStreamGetDeviceBeingWatched(ConstFSEventStreamRef streamRef);
Boolean FSEventsPurgeEventsForDeviceUpToEventId(dev_t dev, FSEventStreamEventId eventId);

}  // extern "C"
