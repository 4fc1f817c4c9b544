// Console and runtime services: system message texts and the wide-character
// runtime, Windows' own.
#pragma once

#include "platform/win_types.h"

#include <clocale>
#include <cstdlib>
#include <cwchar>
