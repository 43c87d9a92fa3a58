// Helpers shared by the POSIX side of the platform layer only.
#pragma once
#include <cstdint>
#include <string>

#include "platform/errors.h"

namespace plat {
// Keeps `text` as the system text of `code` (POSIX has no table of its own).
void RecordErrorText(uint32_t code, const std::string& text);
// Maps an errno value onto the Windows-style code the layer reports.
uint32_t ErrnoToError(int e);
inline void SetLastErrorFromErrno(int e) { SetLastError(ErrnoToError(e)); }
}  // namespace plat
