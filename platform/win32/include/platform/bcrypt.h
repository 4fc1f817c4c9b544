// Windows CNG hashing (bcrypt).
#pragma once

#include "platform/win_types.h"

#include <bcrypt.h>
