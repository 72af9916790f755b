#pragma once

// Windows only: windows.h as every Windows file of the platform layer takes
// it. Lean: it brings in neither the old Winsock header, which would clash
// with Winsock 2, nor the many APIs this layer never calls. NOMINMAX: its
// min and max macros would break std::min and std::max. Included before any
// other system header, as the macros count only where windows.h is first
// read.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <windows.h>
