// The subset of Core Foundation that vestra uses, declared in the same forms as Apple's
// framework headers (the same types, enum kinds and signatures), so that code that compiles
// against these declarations compiles on macOS too. The Linux layer implements them; the
// stand-in framework headers of the macOS cross-compile check (tools/macos-stand-in) map
// onto them. Ownership: a function whose name contains Create or Copy returns a reference
// that the caller owns; CFRelease gives up one reference; an array made with
// kCFTypeArrayCallBacks retains its elements.
#pragma once

extern "C" {

// Integer types, as on 64-bit macOS.
typedef unsigned char Boolean;
typedef unsigned char UInt8;
typedef unsigned int UInt32;
typedef unsigned long long UInt64;
typedef signed long CFIndex;
typedef double CFTimeInterval;

typedef const void* CFTypeRef;
typedef const struct __CFAllocator* CFAllocatorRef;
typedef const struct __CFString* CFStringRef;
typedef const struct __CFArray* CFArrayRef;
typedef struct __CFArray* CFMutableArrayRef;
typedef const struct __CFURL* CFURLRef;
typedef struct __CFError* CFErrorRef;
typedef struct __CFRunLoop* CFRunLoopRef;

// Enumerations with a fixed underlying type, each a type of its own: a plain integer does
// not convert to them.
typedef UInt32 CFStringEncoding;
enum CFStringBuiltInEncodings : CFStringEncoding {
  kCFStringEncodingUTF8 = 0x08000100,
};
enum CFURLPathStyle : CFIndex {
  kCFURLPOSIXPathStyle = 0,
};

typedef const void* (*CFArrayRetainCallBack)(CFAllocatorRef allocator, const void* value);
typedef void (*CFArrayReleaseCallBack)(CFAllocatorRef allocator, const void* value);
typedef CFStringRef (*CFArrayCopyDescriptionCallBack)(const void* value);
typedef Boolean (*CFArrayEqualCallBack)(const void* value1, const void* value2);
typedef struct {
  CFIndex version;
  CFArrayRetainCallBack retain;
  CFArrayReleaseCallBack release;
  CFArrayCopyDescriptionCallBack copyDescription;
  CFArrayEqualCallBack equal;
} CFArrayCallBacks;

typedef const void* (*CFAllocatorRetainCallBack)(const void* info);
typedef void (*CFAllocatorReleaseCallBack)(const void* info);
typedef CFStringRef (*CFAllocatorCopyDescriptionCallBack)(const void* info);

/// The default allocator: a null reference.
extern const CFAllocatorRef kCFAllocatorDefault;
/// Callbacks that make an array retain and release its elements.
extern const CFArrayCallBacks kCFTypeArrayCallBacks;
/// The run-loop mode in which streams are scheduled.
extern const CFStringRef kCFRunLoopDefaultMode;

// Objects.
CFTypeRef CFRetain(CFTypeRef cf);
void CFRelease(CFTypeRef cf);
CFIndex CFGetRetainCount(CFTypeRef cf);

// Arrays.
CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                       const CFArrayCallBacks* callBacks);
void CFArrayAppendValue(CFMutableArrayRef theArray, const void* value);
void CFArrayInsertValueAtIndex(CFMutableArrayRef theArray, CFIndex idx, const void* value);
CFIndex CFArrayGetCount(CFArrayRef theArray);
const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx);

// Strings.
CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr,
                                      CFStringEncoding encoding);
const char* CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding);
Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding);

// URLs of file-system locations.
CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef allocator, const UInt8* buffer,
                                                 CFIndex bufLen, Boolean isDirectory);
CFURLRef CFURLCopyAbsoluteURL(CFURLRef relativeURL);
Boolean CFURLResourceIsReachable(CFURLRef url, CFErrorRef* error);
CFStringRef CFURLCopyLastPathComponent(CFURLRef url);
CFURLRef CFURLCreateCopyDeletingLastPathComponent(CFAllocatorRef allocator, CFURLRef url);
CFURLRef CFURLCreateFileReferenceURL(CFAllocatorRef allocator, CFURLRef url, CFErrorRef* error);
CFURLRef CFURLCreateFilePathURL(CFAllocatorRef allocator, CFURLRef url, CFErrorRef* error);
CFURLRef CFURLCreateCopyAppendingPathComponent(CFAllocatorRef allocator, CFURLRef url,
                                               CFStringRef pathComponent, Boolean isDirectory);
CFStringRef CFURLCopyFileSystemPath(CFURLRef anURL, CFURLPathStyle pathStyle);

// Errors.
CFIndex CFErrorGetCode(CFErrorRef err);

// Run loops: one per thread.
CFRunLoopRef CFRunLoopGetCurrent(void);
void CFRunLoopRun(void);
Boolean CFRunLoopIsWaiting(CFRunLoopRef rl);
void CFRunLoopStop(CFRunLoopRef rl);

}  // extern "C"
