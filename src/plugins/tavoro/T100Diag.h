// The plug-in's messages on standard output, and the stop flag that every
// wait on a sensor or on the device service looks at.
#pragma once

#include <atomic>
#include <cstdint>

// Prints a message (printf format) on standard output, in the console's code
// page. Identical texts are limited: the first is printed at once; repeats
// within kT100RepeatIntervalMs of the last printed one are only counted, and
// the first repeat after that interval is printed with that count, so that a
// failure that lasts prints about one line a second.
void T100Print(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
constexpr uint64_t kT100RepeatIntervalMs = 1000;
// Messages written so far (repeats left out do not count).
uint64_t T100PrintedMessages();
// Forgets the texts seen, so that the next of each is printed at once.
void T100ForgetMessages();
// How often this text was given since it was first seen (printed or not).
uint64_t T100TimesGiven(const char* text);

// While a scope lives, the waits of this thread's exchanges, pipe connects
// and device-service requests give up as soon as `*flag` is nonzero. A stop
// on another thread sets the flag, so that it never waits for a sensor or a
// service that has gone silent.
class T100AbandonScope {
public:
    explicit T100AbandonScope(const std::atomic<uint8_t>* flag);
    ~T100AbandonScope();
    T100AbandonScope(const T100AbandonScope&) = delete;
    T100AbandonScope& operator=(const T100AbandonScope&) = delete;

private:
    const std::atomic<uint8_t>* FPrevious;
};
// True when this thread's scope flag is set (usable as a transfer's abandon test).
bool T100Abandoned();
// Sleeps up to `ms` in short slices; false when abandoned meanwhile.
bool T100Pause(uint32_t ms);
