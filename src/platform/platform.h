// The platform layer: everything that touches the operating system. Domain
// code includes these headers only, never <windows.h> or POSIX headers.
// Texts are UTF-8 std::strings throughout; the win32 side converts.
#pragma once
#include "platform/errors.h"
#include "platform/modules.h"
#include "platform/files.h"
