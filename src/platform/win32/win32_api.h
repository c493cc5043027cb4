// <windows.h> as the Win32 platform files use it: without the min/max macros,
// and without the CreateEvent macro, which would rename the platform
// interface's method (the files call CreateEventA by its own name).
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#undef CreateEvent
