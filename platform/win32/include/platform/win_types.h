// Windows' own types, constants and last-error calls, from the SDK. Every
// header of this side includes this one first, so that the SDK's headers come
// in the one order that works: Windows Sockets 2 before windows.h, and the
// full status table instead of winnt.h's few entries.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#define WIN32_NO_STATUS
#include <windows.h>
#include <winsock2.h>
#undef WIN32_NO_STATUS
#include <ntstatus.h>

#include <cstddef>
#include <cstdint>

// The SDK's names are global; the namespace holds only what this side adds.
namespace winapi {}

using namespace winapi;
