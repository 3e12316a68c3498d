// The subset of the FSEvents service that the watcher backend uses, with the service's
// names, signatures and constants.
#pragma once

#include <sys/types.h>

#include "platform/linux/core_foundation.h"

extern "C" {

typedef struct __FSEventStream* FSEventStreamRef;
typedef const struct __FSEventStream* ConstFSEventStreamRef;
typedef UInt32 FSEventStreamCreateFlags;
typedef UInt32 FSEventStreamEventFlags;
typedef UInt64 FSEventStreamEventId;

enum : FSEventStreamCreateFlags {
  kFSEventStreamCreateFlagNone = 0x00,
  kFSEventStreamCreateFlagUseCFTypes = 0x01,
  kFSEventStreamCreateFlagNoDefer = 0x02,
  kFSEventStreamCreateFlagWatchRoot = 0x04,
  kFSEventStreamCreateFlagIgnoreSelf = 0x08,
  kFSEventStreamCreateFlagFileEvents = 0x10,
};

enum : FSEventStreamEventFlags {
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

#define kFSEventStreamEventIdSinceNow 0xFFFFFFFFFFFFFFFFULL

/// Called on the run loop's thread with one batch: `numEvents` records as parallel arrays
/// of NUL-terminated paths (`eventPaths` is a `char**`), flag words and event ids.
typedef void (*FSEventStreamCallback)(ConstFSEventStreamRef streamRef, void* clientCallBackInfo,
                                      size_t numEvents, void* eventPaths,
                                      const FSEventStreamEventFlags eventFlags[],
                                      const FSEventStreamEventId eventIds[]);

typedef struct {
  CFIndex version;
  void* info;
  CFAllocatorRetainCallBack retain;
  CFAllocatorReleaseCallBack release;
  CFAllocatorCopyDescriptionCallBack copyDescription;
} FSEventStreamContext;

FSEventStreamRef FSEventStreamCreate(CFAllocatorRef allocator, FSEventStreamCallback callback,
                                     FSEventStreamContext* context, CFArrayRef pathsToWatch,
                                     FSEventStreamEventId sinceWhen, CFTimeInterval latency,
                                     FSEventStreamCreateFlags flags);
void FSEventStreamScheduleWithRunLoop(FSEventStreamRef streamRef, CFRunLoopRef runLoop,
                                      CFStringRef runLoopMode);
Boolean FSEventStreamStart(FSEventStreamRef streamRef);
void FSEventStreamStop(FSEventStreamRef streamRef);
void FSEventStreamInvalidate(FSEventStreamRef streamRef);
void FSEventStreamRelease(FSEventStreamRef streamRef);

FSEventStreamEventId FSEventsGetCurrentEventId(void);
dev_t FSEventStreamGetDeviceBeingWatched(ConstFSEventStreamRef streamRef);
Boolean FSEventsPurgeEventsForDeviceUpToEventId(dev_t dev, FSEventStreamEventId eventId);

}  // extern "C"
