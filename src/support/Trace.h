// The library's trace hook. Trace points pass a format and its arguments; the
// hook writes nothing unless the environment variable DACTYLINK_TRACE is set
// (to anything but "0" or empty), in which case each text goes to standard
// error on a line of its own, prefixed with "dactylink: ".
#pragma once

void Trace(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
bool TraceEnabled();
