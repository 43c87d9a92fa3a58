#include "plugins/tavoro/CaptureContext.h"

#include <cstring>

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

int CaptureContext::Trigger(uint16_t type) {
    std::lock_guard<std::mutex> guard(exchangeLock);
    return Arm_Trigger(device, type);
}

int CaptureContext::Status(uint32_t* status) {
    std::lock_guard<std::mutex> guard(exchangeLock);
    return Get_Acq_Status(device, status);
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
    {
        std::lock_guard<std::mutex> guard(exchangeLock);
        if (Get_Cmd(device, block) != T100_OK)
            return;
        std::memset(block + 2, 0, 2);
        std::memset(block + 20, 0, 2);
        if (Set_Cmd(device, block) != T100_OK)
            return;
    }
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
    uint32_t status = 0;
    if (Status(&status) != T100_OK || status == 3) {
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
        int r;
        {
            std::lock_guard<std::mutex> guard(exchangeLock);
            r = Get_Composite_Image(device, pixels, capacity, &acceptance, &reported);
        }
        bool accepted = r == T100_OK && acceptance < kAcceptanceLimit;
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
        // Waits for an exchange that a Step on another thread is running.
        std::lock_guard<std::mutex> guard(exchangeLock);
        if (stopped)
            return;
        Arm_Trigger(device, 0);
        T100DeviceClose(device);
        stopped = 1;
    }
}
