// Calling convention of functions exported by outside libraries (reader
// plug-ins, vendor libraries) and of callbacks handed to them: the platform's
// standard convention (stdcall on 32-bit Windows; x64 and POSIX have only one).
#pragma once

#if defined(_WIN32) && !defined(_WIN64)
#define DL_STDCALL __stdcall
#else
#define DL_STDCALL
#endif
