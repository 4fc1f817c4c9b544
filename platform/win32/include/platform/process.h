// Process-wide services: priority, debugger, exit, and the console control
// handler, all Windows' own.
#pragma once

#include "platform/win_types.h"
