// The one header through which the watcher backend reaches the operating system's
// Core Foundation and FSEvents services. On Apple platforms these are the system
// frameworks; elsewhere they are vestra's own implementation of the same subset, over
// inotify and epoll, in platform/linux/.
#pragma once

#if defined(__APPLE__)
#include <CoreFoundation/CoreFoundation.h>
#include <CoreServices/CoreServices.h>
#else
#include "platform/api/core_foundation.h"
#include "platform/api/fsevents.h"
#endif
