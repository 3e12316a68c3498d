// vestra's own stand-in for the CoreServices framework header (see
// CoreFoundation/CoreFoundation.h): of CoreServices, vestra uses only FSEvents.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include "platform/api/fsevents.h"
