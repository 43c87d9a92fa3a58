// What a device handle of the plug-in points to: one opened sensor, a copy of
// its configuration and a small capture cycle, one step per host poll.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "plugins/tavoro/T100Transport.h"

// Records shared with the host (plain data, host-allocated).
struct TOmrImageSize {
    int32_t Width;
    int32_t Height;
    int32_t ByteSize;
};

struct TOmrImage {
    TOmrImageSize Size;
    int32_t Format;
    int32_t Resolution;
    // Pixels follow at offset 20.
};
static_assert(sizeof(TOmrImageSize) == 12 && sizeof(TOmrImage) == 20, "host record layout");

constexpr uint32_t kImagePixelsOffset = 20;
constexpr int32_t kAcceptanceLimit = 200;
constexpr int32_t kImageResolution = 500;

enum CaptureState : uint32_t { Idle = 0, ArmedTrigger1 = 1, Capturing = 2, ArmedTrigger4 = 3 };

struct CaptureContext {
    const char* tag = nullptr; // first field: the handle check reads it
    T100Device device;
    uint8_t configuration[128] = {};
    uint32_t state = Idle;
    std::atomic<uint8_t> stopped{0};
    std::atomic<uint8_t> stopping{0};
    TOmrImageSize keptSize{};
    // Held around every exchange, and by Stop while it closes the transport,
    // so that a transport is never closed under a running exchange.
    std::mutex exchangeLock;
    // Times the context found its sensor again after losing it.
    std::atomic<uint32_t> reconnects{0};

    // Back-off after a failed status request and between attempts to find
    // the sensor again: 50 ms, doubled after each failure up to 1 s, back to
    // none after an exchange that worked. It waits inside the step (the host
    // polls without a pause), and Stop cuts it short.
    static constexpr uint32_t kFirstBackoffMs = 50;
    static constexpr uint32_t kMaxBackoffMs = 1000;
    // Failed exchanges in a row after which the sensor is looked for anew even
    // when the transport does not know its link to be gone.
    static constexpr uint32_t kFailuresBeforeReopen = 3;

    // Opens the sensor and reads its configuration; true when both worked
    // (otherwise the device is closed again).
    bool Open(const char* prefixTag, uint32_t deviceIndex);
    void Arm();
    // 1 when an accepted image was written to `image`, 0 otherwise.
    int Step(TOmrImage* image);
    // Safe to call from another thread while Step runs.
    void Stop();

    // Uses an already open transport (taken over) and a configuration copy.
    void Attach(const char* prefixTag, ITransport* transport, const uint8_t* config128);

    // The model that is armed with trigger type 1 (all others get 4).
    bool ModelTakesTrigger1() const;

private:
    // Polls the acquisition status until it is 0 or 10 or a request fails;
    // false when stopping ended the poll.
    bool PollUntilReady();
    int Trigger(uint16_t type);
    int Status(uint32_t* status);
    // Runs one device operation under the exchange lock and keeps count of
    // the exchanges that brought no reply.
    template <class Operation>
    int Exchange(Operation operation);
    int Cycle(TOmrImage* image);
    // The link to the sensor is gone or has failed too often in a row.
    bool LinkGone();
    // Waits the next back-off; false when a stop ended the wait.
    bool WaitBackoff();
    // Closes the device and looks for the sensor with this configuration's
    // serial words among the devices now present (after a restart of the
    // service or a replug, its index and pipe may have changed).
    void Reopen();
    void SerialText(char (&text)[9]) const;

    std::mutex FWaitLock;
    std::condition_variable FWake;
    uint32_t FBackoffMs = 0;
    uint32_t FFailuresInARow = 0;
};
