// Process memory services: large pages, the lock-memory privilege, physical
// pages (AWE), working set, locking, heaps; Windows' own calls.
#pragma once

#include "platform/win_types.h"

#include <malloc.h>
