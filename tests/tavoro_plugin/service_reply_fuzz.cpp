// The device service's replies as arbitrary bytes: the main pipe's count,
// describe and names replies, and a per-device reply to every device
// operation the capture uses (the input's last byte picks the operation).
#include <cstdlib>
#include <cstring>
#include <vector>

#include "plugins/tavoro/T100DeviceHandler.h"
#include "plugins/tavoro/T100Transport.h"
#include "seed_replies.h"
#include "seeds.h"

namespace {

// Answers whatever is asked with the same bytes, as a service would send them.
class ReplayTransport : public ITransport {
public:
    ReplayTransport(const uint8_t* data, size_t size) : FData(data), FSize(size) {}
    int32_t Open(T100Device&) override { return 0; }
    int32_t Close(T100Device&) override { return 0; }
    int32_t Exchange(T100Device&, const uint8_t*, uint32_t, uint8_t* reply, uint32_t& replyLength) override {
        if (FSize > replyLength)
            return 0;
        std::memcpy(reply, FData, FSize);
        replyLength = uint32_t(FSize);
        return 1;
    }
    int32_t GetName(T100Device&, char* text, uint32_t capacity, uint32_t& length) override {
        if (text && capacity)
            text[0] = 0;
        length = 1;
        return 1;
    }

private:
    const uint8_t* FData;
    size_t FSize;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Every real reply for every operation.
    DlWriteSeedsIfAsked([] {
        std::vector<DlSeed> seeds;
        for (const auto& reply : seedreplies::Replies())
            for (uint8_t pick = 0; pick < 6; ++pick) {
                seeds.push_back(reply);
                seeds.back().push_back(pick);
            }
        return seeds;
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    // The last byte picks the device operation; each goes through
    // ExecuteCommand, whose fresh 1 MB reply buffer costs more under ASan
    // than everything else, so one operation per input.
    const uint8_t pick = data[--size];
    // An exactly sized heap copy, so that any read past the bytes is caught.
    auto* copy = static_cast<uint8_t*>(std::malloc(size ? size : 1));
    if (size)
        std::memcpy(copy, data, size);

    T100ParseCountReply(copy, size);
    T100DeviceInfo info{};
    if (T100ParseDescribeReply(copy, size, info) == 0 && info.kind == 1)
        T100ParseNamesReply(copy, size, info);
    T100ParseNamesReply(copy, size, info);

    ReplayTransport transport(copy, size);
    T100Device device;
    device.link = &transport;
    uint32_t status = 0;
    uint8_t config[128];
    uint8_t block[64] = {};
    switch (pick % 6) {
    case 0:
        Arm_Trigger(device, 1);
        break;
    case 1:
        Get_Acq_Status(device, &status);
        break;
    case 2:
        Get_Config(device, config);
        break;
    case 3:
        Get_Cmd(device, block);
        break;
    case 4:
        Set_Cmd(device, block);
        break;
    default: {
        // A host record sized from the first byte, exactly, as a kept size would.
        uint32_t capacity = size ? uint32_t(copy[0]) * 37u : 0;
        auto* pixels = static_cast<uint8_t*>(std::malloc(capacity ? capacity : 1));
        int32_t acceptance = 0;
        uint32_t reported = 0;
        Get_Composite_Image(device, pixels, capacity, &acceptance, &reported);
        std::free(pixels);
    }
    }
    device.link = nullptr;
    std::free(copy);
    return 0;
}
