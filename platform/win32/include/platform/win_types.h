// Windows' own types, constants and last-error calls, from the SDK. Every
// header of this side includes this one first, so that Windows Sockets 2
// comes before windows.h (which would bring in the first version).
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
// After Windows Sockets 2, so that windows.h leaves out the first version.
#include <windows.h>

#include <cstddef>
#include <cstdint>

// The SDK's names are global; the namespace holds only what this side adds.
namespace winapi {}

using namespace winapi;
