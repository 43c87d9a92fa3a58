#include "plugins/tavoro/CaptureContext.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "plugins/tavoro/T100Diag.h"
#include "plugins/tavoro/T100DeviceHandler.h"

namespace {
uint16_t Word(const uint8_t* block, size_t offset) {
    return uint16_t(block[offset] | block[offset + 1] << 8);
}
} // namespace

bool CaptureContext::Open(const char* prefixTag, uint32_t deviceIndex) {
    tag = prefixTag;
    device = T100Device();
    device.index = deviceIndex;
    state = Idle;
    stopped = 0;
    stopping = 0;
    keptSize = TOmrImageSize{};
    if (T100DeviceOpen(device) != T100_OK)
        return false;
    int r;
    {
        std::lock_guard<std::mutex> guard(exchangeLock);
        r = Get_Config(device, configuration);
    }
    if (r != T100_OK) {
        T100DeviceClose(device);
        return false;
    }
    return true;
}

void CaptureContext::Attach(const char* prefixTag, ITransport* transport, const uint8_t* config128) {
    tag = prefixTag;
    device = T100Device();
    device.link = transport;
    if (config128)
        std::memcpy(configuration, config128, sizeof configuration);
}

bool CaptureContext::ModelTakesTrigger1() const {
    return Word(configuration, 0) == 0x0525 && Word(configuration, 2) == 0x3424;
}

template <class Operation>
int CaptureContext::Exchange(Operation operation) {
    std::lock_guard<std::mutex> guard(exchangeLock);
    int r = operation();
    if (r == T100_NO_REPLY)
        ++FFailuresInARow;
    else
        FFailuresInARow = 0;
    return r;
}

int CaptureContext::Trigger(uint16_t type) {
    return Exchange([&] { return Arm_Trigger(device, type); });
}

int CaptureContext::Status(uint32_t* status) {
    return Exchange([&] { return Get_Acq_Status(device, status); });
}

bool CaptureContext::LinkGone() {
    // Stop closes the device on another thread.
    std::lock_guard<std::mutex> guard(exchangeLock);
    auto* transport = static_cast<ITransport*>(device.link);
    return !transport || transport->LinkLost() || FFailuresInARow >= kFailuresBeforeReopen;
}

bool CaptureContext::WaitBackoff() {
    FBackoffMs = FBackoffMs == 0 ? kFirstBackoffMs : (FBackoffMs * 2 > kMaxBackoffMs ? kMaxBackoffMs : FBackoffMs * 2);
    std::unique_lock<std::mutex> lock(FWaitLock);
    return !FWake.wait_for(lock, std::chrono::milliseconds(FBackoffMs), [&] { return stopping.load() != 0; });
}

void CaptureContext::SerialText(char (&text)[9]) const {
    std::snprintf(text, sizeof text, "%04X%04X", unsigned(Word(configuration, 116)), unsigned(Word(configuration, 4)));
}

void CaptureContext::Reopen() {
    uint32_t lastIndex;
    {
        std::lock_guard<std::mutex> guard(exchangeLock);
        lastIndex = device.index;
        T100DeviceClose(device);
    }
    const uint16_t high = Word(configuration, 116);
    const uint16_t low = Word(configuration, 4);
    char serial[9];
    SerialText(serial);
    T100Device found;
    uint8_t config[sizeof configuration];
    // Only the very sensor is taken: two readers must never swap images.
    int r = T100WalkDevices(
        [&](uint32_t, const uint8_t* c) { return Word(c, 116) == high && Word(c, 4) == low; }, &found, config,
        lastIndex);
    if (r != T100_OK) {
        T100Print("\nTavoro sensor %s is not reachable; trying again", serial);
        return;
    }
    std::lock_guard<std::mutex> guard(exchangeLock);
    if (stopping) {
        T100DeviceClose(found);
        return;
    }
    device = found;
    std::memcpy(configuration, config, sizeof configuration);
    state = Idle;
    FFailuresInARow = 0;
    FBackoffMs = 0;
    ++reconnects;
    T100Print("\nTavoro sensor %s is reachable again", serial);
}

bool CaptureContext::PollUntilReady() {
    while (!stopping) {
        uint32_t status = 0;
        if (Status(&status) != T100_OK || status == 0 || status == 10)
            return true;
    }
    return false;
}

void CaptureContext::Arm() {
    if (stopping)
        return;
    uint8_t block[64];
    if (Exchange([&] { return Get_Cmd(device, block); }) != T100_OK)
        return;
    std::memset(block + 2, 0, 2);
    std::memset(block + 20, 0, 2);
    if (Exchange([&] { return Set_Cmd(device, block); }) != T100_OK)
        return;
    Trigger(0);
    if (!PollUntilReady())
        return;
    if (ModelTakesTrigger1()) {
        Trigger(1);
        state = ArmedTrigger1;
    } else {
        Trigger(4);
        state = ArmedTrigger4;
    }
}

int CaptureContext::Step(TOmrImage* image) {
    if (stopping)
        return 0;
    // A stop on another thread ends every wait of this step at once.
    T100AbandonScope abandon(&stopping);
    if (LinkGone()) {
        if (WaitBackoff())
            Reopen();
        return 0;
    }
    return Cycle(image);
}

int CaptureContext::Cycle(TOmrImage* image) {
    uint32_t status = 0;
    if (Status(&status) != T100_OK) {
        // Not at once: a sensor or service that fails every request would
        // otherwise be asked again without a pause for as long as it fails.
        if (WaitBackoff() && !LinkGone())
            Arm();
        return 0;
    }
    FBackoffMs = 0;
    if (status == 3) {
        Arm();
        return 0;
    }
    switch (state) {
    case Idle:
        Arm();
        return 0;
    case ArmedTrigger1:
        if (status == 4)
            state = Capturing;
        else if (status == 0)
            Arm();
        return 0;
    case ArmedTrigger4:
        if (status != 4)
            return 0;
        Trigger(0);
        if (!PollUntilReady())
            return 0;
        Trigger(1);
        state = Capturing;
        return 0;
    case Capturing: {
        if (status != 0)
            return 0;
        if (!image) {
            Arm();
            return 0;
        }
        image->Size = keptSize;
        image->Format = 0;
        image->Resolution = kImageResolution;
        // The host sized the pixel area from the kept ByteSize: never copy more.
        uint32_t capacity = keptSize.ByteSize > 0 ? uint32_t(keptSize.ByteSize) : 0;
        uint8_t* pixels = reinterpret_cast<uint8_t*>(image) + kImagePixelsOffset;
        int32_t acceptance = 0;
        uint32_t reported = 0;
        int r = Exchange([&] { return Get_Composite_Image(device, pixels, capacity, &acceptance, &reported); });
        // An image with fewer pixels than the kept size holds would leave the
        // previous image's pixels in the tail of the record.
        const uint64_t expected = uint64_t(keptSize.Width > 0 ? keptSize.Width : 0) *
                                  uint64_t(keptSize.Height > 0 ? keptSize.Height : 0);
        bool complete = uint64_t(reported) >= expected;
        if (r == T100_OK && !complete)
            T100Print("\nTavoro sensor image of %u bytes is shorter than %llu: not delivered", reported,
                      static_cast<unsigned long long>(expected));
        bool accepted = r == T100_OK && complete && acceptance < kAcceptanceLimit;
        Arm();
        return accepted ? 1 : 0;
    }
    default:
        return 0;
    }
}

void CaptureContext::Stop() {
    if (stopped)
        return;
    stopping = 1;
    {
        // Ends a back-off wait of a running step at once.
        std::lock_guard<std::mutex> lock(FWaitLock);
    }
    FWake.notify_all();
    {
        // Waits for an exchange that a Step on another thread is running; the
        // stop flag has made it give up.
        std::lock_guard<std::mutex> guard(exchangeLock);
        if (stopped)
            return;
        // A link that is gone, or whose last exchange failed, would only make
        // the trigger wait out its limit.
        auto* transport = static_cast<ITransport*>(device.link);
        if (transport && !transport->LinkLost() && FFailuresInARow == 0)
            Arm_Trigger(device, 0);
        T100DeviceClose(device);
        stopped = 1;
    }
}
