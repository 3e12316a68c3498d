// vestra's own stand-in for the Core Foundation framework header, for compiling vestra for
// macOS where Apple's SDK is not at hand (scripts/check-macos). It declares only what
// vestra uses, in the forms of Apple's published API: the declarations that the Linux
// layer implements.
#pragma once

#include "platform/api/core_foundation.h"
