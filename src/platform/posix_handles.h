/* The records behind window and event handles on POSIX (see messagewindow.h).
   Plain C so that outside libraries and test fakes can include it. A library
   given such a handle calls the record's first field with the handle itself. */
#ifndef DL_POSIX_HANDLES_H
#define DL_POSIX_HANDLES_H
#include <stdint.h>

typedef void (*DlPostMessageFn)(void* window, uint32_t msg, uintptr_t wParam, intptr_t lParam);
typedef void (*DlSignalEventFn)(void* event);

typedef struct DlPosixWindow {
  DlPostMessageFn Post; /* queue a message for the window; safe from any thread */
} DlPosixWindow;

typedef struct DlPosixEvent {
  DlSignalEventFn Signal; /* set the event; safe from any thread */
} DlPosixEvent;

#endif
