// Arbitrary bytes as a reply and as a command, for every opcode.
#include <cstdlib>
#include <cstring>

#include "plugins/tavoro/T100Cmd.h"

namespace {
const uint32_t kOpcodes[] = {4,   6,   65,  66,  67,  68,  69,  70,  71,  72,  73,  74,  76,  77,  84,
                             86,  87,  88,  89,  96,  97,  98,  99,  100, 101, 112, 113, 115, 116, 117,
                             118, 119, 120, 121, 122, 123, 124, 125, 126, 127, 128, 129, 130, 131, 132,
                             133, 134, 135, 136, 137, 139, 140, 160, 161, 162, 163, 164, 181, 194, 224};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exactly sized heap copy, so that any read past the bytes is caught.
    uint8_t* copy = static_cast<uint8_t*>(std::malloc(size ? size : 1));
    if (size)
        std::memcpy(copy, data, size);
    for (uint32_t op : kOpcodes) {
        ICmd* reply = CreateCommand(op);
        reply->UnpackResponse(copy, uint32_t(size));
        uint8_t* p = nullptr;
        int32_t n = 0;
        reply->PackResponse(&p, &n); // re-packing what was read must stay in bounds too
        delete reply;

        ICmd* cmd = CreateCommand(op);
        if (cmd->UnpackCommand(copy, uint32_t(size)))
            cmd->PackResponse(&p, &n);
        delete cmd;
    }
    std::free(copy);
    return 0;
}
