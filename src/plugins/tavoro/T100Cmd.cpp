#include "plugins/tavoro/T100Cmd.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr uint64_t kMaxPayload = 0x7FFFFFFFu - kT100FrameOverhead;

uint32_t LoadU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint16_t LoadU16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

void StoreU32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

void StoreU16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

// Builds a 14 + n byte packet and returns its payload position.
uint8_t* BuildPacket(uint8_t*& packet, int32_t& size, uint32_t opcode, uint16_t argument,
                     uint32_t payloadLength) {
    std::free(packet);
    packet = nullptr;
    if (payloadLength > kMaxPayload)
        return nullptr;
    size = int32_t(kT100FrameOverhead + payloadLength);
    packet = static_cast<uint8_t*>(std::malloc(size_t(size)));
    if (!packet)
        return nullptr;
    packet[0] = kT100StartByte;
    packet[1] = kT100ProtocolByte;
    StoreU32(packet + 2, opcode);
    StoreU16(packet + 6, argument);
    StoreU32(packet + 8, payloadLength);
    // The trailer is neither set nor read by the protocol; keep it defined.
    packet[size - 2] = 0;
    packet[size - 1] = 0;
    return packet + kT100HeaderSize;
}

const uint8_t* ParseHeader(const uint8_t* packet, uint32_t& opcode, uint16_t* marker,
                           uint16_t* argument, uint32_t* payloadLength) {
    if (marker)
        *marker = LoadU16(packet);
    opcode = LoadU32(packet + 2);
    if (argument)
        *argument = LoadU16(packet + 6);
    if (payloadLength)
        *payloadLength = LoadU32(packet + 8);
    return packet + kT100HeaderSize;
}

} // namespace

// Walks the fields of one payload in one of three modes: measuring its size,
// writing it, or reading it back within the bytes that were received.
class T100Payload {
public:
    enum Mode { Measure, Write, Read };

    T100Payload(ICmd& cmd, Mode mode) : FCmd(cmd), FMode(mode) {}
    T100Payload(ICmd& cmd, uint8_t* out) : FCmd(cmd), FMode(Write), FOut(out) {}
    T100Payload(ICmd& cmd, const uint8_t* in, const uint8_t* end)
        : FCmd(cmd), FMode(Read), FIn(in), FEnd(end) {}

    bool Reading() const { return FMode == Read; }
    bool Packing() const { return FMode != Read; }
    uint64_t Size() const { return FSize; }
    uint32_t Remaining() const { return uint32_t(FEnd - FIn); }

    bool U32(uint32_t& v) {
        uint8_t b[4];
        if (FMode == Read) {
            if (!Take(b, 4))
                return false;
            v = LoadU32(b);
            return true;
        }
        StoreU32(b, v);
        return Put(b, 4);
    }

    bool U16(uint16_t& v) {
        uint8_t b[2];
        if (FMode == Read) {
            if (!Take(b, 2))
                return false;
            v = LoadU16(b);
            return true;
        }
        StoreU16(b, v);
        return Put(b, 2);
    }

    bool U8(uint8_t& v) { return FMode == Read ? Take(&v, 1) : Put(&v, 1); }

    // A fixed-size block held in the object.
    bool Block(void* p, uint32_t n) {
        return FMode == Read ? Take(p, n) : Put(p, n);
    }

    // A buffer of n bytes whose size an earlier field gave. Reading allocates
    // it (the object owns it); packing refuses a missing buffer.
    bool Data(uint8_t*& p, uint64_t n) {
        if (FMode != Read) {
            if (n > 0 && !p)
                return false;
            if (n > kMaxPayload)
                return false;
            return Put(p, uint32_t(n));
        }
        if (n > Remaining())
            return false;
        std::free(p);
        p = nullptr;
        if (n == 0)
            return true;
        p = static_cast<uint8_t*>(std::malloc(size_t(n)));
        if (!p)
            return false;
        return Take(p, uint32_t(n));
    }

    // u32 length followed by that many bytes; `limit` caps the length.
    bool LBlock(uint8_t*& p, uint32_t& n, uint64_t limit = UINT32_MAX) {
        uint32_t len = n;
        if (!U32(len))
            return false;
        if (len > limit)
            return false;
        if (!Data(p, len))
            return false;
        n = len;
        return true;
    }

    // u16 length followed by that many bytes.
    bool WBlock(uint8_t*& p, uint16_t& n) {
        uint16_t len = n;
        if (!U16(len))
            return false;
        if (!Data(p, len))
            return false;
        n = len;
        return true;
    }

private:
    bool Put(const void* src, uint32_t n) {
        if (FMode == Measure) {
            FSize += n;
            return FSize <= kMaxPayload;
        }
        FOut = FCmd.WriteBytes(FOut, src, n);
        return true;
    }

    bool Take(void* dst, uint32_t n) {
        if (n > Remaining())
            return false;
        FIn = FCmd.ReadBytes(dst, FIn, n);
        return true;
    }

    ICmd& FCmd;
    Mode FMode;
    uint64_t FSize = 0;
    uint8_t* FOut = nullptr;
    const uint8_t* FIn = nullptr;
    const uint8_t* FEnd = nullptr;
};

// The shared shape of the four packing and unpacking operations.
class T100Codec {
public:
    template <class C>
    static bool PackCommand(C& c, uint8_t** packet, int32_t* size) {
        T100Payload measure(c, T100Payload::Measure);
        if (!c.CommandFields(measure))
            return false;
        uint8_t* out = c.PackCommandHeader(0, uint32_t(measure.Size()));
        if (!out)
            return false;
        T100Payload writer(c, out);
        c.CommandFields(writer);
        if (packet)
            *packet = c.FCommandPacket;
        if (size)
            *size = c.FCommandSize;
        return true;
    }

    template <class C>
    static bool UnpackCommand(C& c, const uint8_t* packet, uint32_t length) {
        if (!packet || length < kT100HeaderSize)
            return false;
        const uint8_t* in = c.UnpackCommandHeader(packet, &c.FMarker, &c.FArgument, &c.FPayloadLength);
        T100Payload reader(c, in, in + Available(c, length));
        return c.CommandFields(reader);
    }

    // honourError false: the normal reply even when an error code is set.
    template <class C>
    static bool PackResponse(C& c, uint8_t** packet, int32_t* size, bool honourError = true) {
        if (honourError && c.FErrorCode != 0) {
            c.PackErrorResponse(packet, size);
            return c.FResponsePacket != nullptr;
        }
        T100Payload measure(c, T100Payload::Measure);
        if (!c.ResponseFields(measure))
            return false;
        uint8_t* out = c.PackResponseHeader(0, uint32_t(measure.Size()));
        if (!out)
            return false;
        T100Payload writer(c, out);
        c.ResponseFields(writer);
        if (packet)
            *packet = c.FResponsePacket;
        if (size)
            *size = c.FResponseSize;
        return true;
    }

    template <class C>
    static bool UnpackResponse(C& c, const uint8_t* packet, uint32_t length) {
        c.FUnpacked = false;
        if (!packet || length < kT100HeaderSize)
            return false;
        const uint8_t* in = c.UnpackResponseHeader(packet, &c.FMarker, &c.FArgument, &c.FPayloadLength);
        T100Payload reader(c, in, in + Available(c, length));
        c.FUnpacked = c.ResponseFields(reader);
        return c.FUnpacked;
    }

    static void SetSizes(ICmd& c, int32_t commandSize, int32_t responseSize) {
        c.FCommandSize = commandSize;
        c.FResponseSize = responseSize;
    }

    static void SetArgumentRaw(ICmd& c, uint16_t argument) { c.FArgument = argument; }
    static uint16_t ArgumentOf(const ICmd& c) { return c.FArgument; }

private:
    // Payload bytes that may be read: what the header announces, but never
    // more than what was received after the header.
    static uint32_t Available(const ICmd& c, uint32_t length) {
        uint32_t received = length - kT100HeaderSize;
        return c.FPayloadLength < received ? c.FPayloadLength : received;
    }
};

// ---------------------------------------------------------------- ICmd

ICmd::~ICmd() {
    std::free(FCommandPacket);
    std::free(FResponsePacket);
}

int32_t ICmd::GetCommandSize() { return FCommandSize; }
int32_t ICmd::GetResponseSize() { return FResponseSize; }
void ICmd::SetError(uint32_t error) { FErrorCode = error; }
uint32_t ICmd::GetError() { return FErrorCode; }
void ICmd::SetArgument(uint16_t argument) { FArgument = argument; }

void ICmd::GetArgument(uint16_t* argument) {
    if (argument)
        *argument = FArgument;
}

uint32_t ICmd::GetOpcode() { return FOpcode; }

// The size is always derived from the payload length, so the buffer and the
// length written into the header can never disagree.
uint8_t* ICmd::PackCommandHeader(uint16_t, uint32_t payloadLength) {
    return BuildPacket(FCommandPacket, FCommandSize, FOpcode, FArgument, payloadLength);
}

const uint8_t* ICmd::UnpackCommandHeader(const uint8_t* packet, uint16_t* marker, uint16_t* argument,
                                         uint32_t* payloadLength) {
    return ParseHeader(packet, FOpcode, marker, argument, payloadLength);
}

uint8_t* ICmd::PackResponseHeader(uint16_t, uint32_t payloadLength) {
    return BuildPacket(FResponsePacket, FResponseSize, FOpcode, FArgument, payloadLength);
}

const uint8_t* ICmd::UnpackResponseHeader(const uint8_t* packet, uint16_t* marker, uint16_t* argument,
                                          uint32_t* payloadLength) {
    return ParseHeader(packet, FOpcode, marker, argument, payloadLength);
}

void ICmd::Reserved(void*) {}

bool ICmd::PackErrorResponse(uint8_t** packet, int32_t* size) {
    if (FErrorCode == 0)
        return true;
    FArgument = uint16_t(FErrorCode);
    FResponseSize = int32_t(kT100FrameOverhead);
    PackResponseHeader(0, 0);
    if (packet)
        *packet = FResponsePacket;
    if (size)
        *size = FResponseSize;
    return false;
}

uint8_t* ICmd::WriteBytes(uint8_t* destination, const void* source, uint32_t count) {
    if (count)
        std::memcpy(destination, source, count);
    return destination + count;
}

const uint8_t* ICmd::ReadBytes(void* destination, const uint8_t* source, uint32_t count) {
    if (count)
        std::memcpy(destination, source, count);
    return source + count;
}

// ---------------------------------------------------------------- classes

#define TAVORO_STANDARD_SIDES(Name)                                                              \
    bool Name::PackCommand(uint8_t** p, int32_t* s) { return T100Codec::PackCommand(*this, p, s); } \
    bool Name::UnpackCommand(const uint8_t* p, uint32_t l) {                                     \
        return T100Codec::UnpackCommand(*this, p, l);                                            \
    }                                                                                            \
    bool Name::PackResponse(uint8_t** p, int32_t* s) { return T100Codec::PackResponse(*this, p, s); } \
    bool Name::UnpackResponse(const uint8_t* p, uint32_t l) {                                    \
        return T100Codec::UnpackResponse(*this, p, l);                                           \
    }

#define TAVORO_NO_COMMAND_FIELDS(Name) \
    bool Name::CommandFields(T100Payload&) { return true; }
#define TAVORO_NO_RESPONSE_FIELDS(Name) \
    bool Name::ResponseFields(T100Payload&) { return true; }

#define TAVORO_HEADER_ONLY(Name, Opcode)      \
    Name::Name() : ICmd(Opcode) {}            \
    TAVORO_NO_COMMAND_FIELDS(Name)            \
    TAVORO_NO_RESPONSE_FIELDS(Name)

// Macro_Match
Macro_Match::Macro_Match() : ICmd(OP_Macro_Match) {}
Macro_Match::~Macro_Match() {
    std::free(FFirstData);
    std::free(FSecondData);
}
bool Macro_Match::CommandFields(T100Payload& io) {
    return io.LBlock(FFirstData, FFirstSize) && io.LBlock(FSecondData, FSecondSize);
}
bool Macro_Match::ResponseFields(T100Payload& io) { return io.U32(FResult); }
bool Macro_Match::PackCommand(uint8_t** p, int32_t* s) { return T100Codec::PackCommand(*this, p, s); }
bool Macro_Match::UnpackCommand(const uint8_t* p, uint32_t l) {
    // Beyond the received-bytes bound, no block may exceed the packet length.
    if (!T100Codec::UnpackCommand(*this, p, l))
        return false;
    return FFirstSize <= l && FSecondSize <= l;
}
bool Macro_Match::PackResponse(uint8_t** p, int32_t* s) { return T100Codec::PackResponse(*this, p, s); }
bool Macro_Match::UnpackResponse(const uint8_t* p, uint32_t l) {
    return T100Codec::UnpackResponse(*this, p, l);
}

// Macro_Vid_Stream
Macro_Vid_Stream::Macro_Vid_Stream() : ICmd(OP_Macro_Vid_Stream) {}
bool Macro_Vid_Stream::CommandFields(T100Payload& io) { return io.U32(FSizeWord) && io.U32(FValue); }
TAVORO_NO_RESPONSE_FIELDS(Macro_Vid_Stream)
TAVORO_STANDARD_SIDES(Macro_Vid_Stream)

// Atomic_Get_Image: the image travels in the reply.
Atomic_Get_Image::Atomic_Get_Image() : ICmd(OP_Atomic_Get_Image) {
    T100Codec::SetSizes(*this, 18, 14);
}
Atomic_Get_Image::~Atomic_Get_Image() {
    if (!FPackedData)
        std::free(FImage);
}
bool Atomic_Get_Image::CommandFields(T100Payload& io) { return io.U32(FValue); }
bool Atomic_Get_Image::ResponseFields(T100Payload& io) {
    if (io.Reading()) {
        if (FPackedData)
            FImage = nullptr; // the caller's; do not free it
        FPackedData = false;
        FOwnsImage = true;
    }
    return io.U32(FValue) && io.LBlock(FImage, FImageSize);
}
bool Atomic_Get_Image::PackCommand(uint8_t** p, int32_t* s) { return T100Codec::PackCommand(*this, p, s); }
bool Atomic_Get_Image::UnpackCommand(const uint8_t* p, uint32_t l) {
    return T100Codec::UnpackCommand(*this, p, l);
}
bool Atomic_Get_Image::PackResponse(uint8_t** p, int32_t* s) {
    bool carriesData = FErrorCode == 0;
    bool ok = T100Codec::PackResponse(*this, p, s);
    if (ok && carriesData && !FOwnsImage)
        FPackedData = true;
    return ok;
}
bool Atomic_Get_Image::UnpackResponse(const uint8_t* p, uint32_t l) {
    return T100Codec::UnpackResponse(*this, p, l);
}

// Atomic_Set_Image / Atomic_Set_Composite_Image: the image travels in the command.
#define TAVORO_SET_IMAGE_CLASS(Name, Opcode)                                                        \
    Name::Name() : ICmd(Opcode) {}                                                                  \
    Name::~Name() {                                                                                 \
        if (!FPackedData)                                                                           \
            std::free(FImage);                                                                      \
    }                                                                                               \
    bool Name::CommandFields(T100Payload& io) {                                                     \
        if (io.Reading()) {                                                                         \
            if (FPackedData)                                                                        \
                FImage = nullptr;                                                                   \
            FPackedData = false;                                                                    \
            FOwnsImage = true;                                                                      \
        }                                                                                           \
        return io.LBlock(FImage, FImageSize);                                                       \
    }                                                                                               \
    TAVORO_NO_RESPONSE_FIELDS(Name)                                                                 \
    bool Name::PackCommand(uint8_t** p, int32_t* s) {                                               \
        bool ok = T100Codec::PackCommand(*this, p, s);                                              \
        if (ok && !FOwnsImage)                                                                      \
            FPackedData = true;                                                                     \
        return ok;                                                                                  \
    }                                                                                               \
    bool Name::UnpackCommand(const uint8_t* p, uint32_t l) { return T100Codec::UnpackCommand(*this, p, l); } \
    bool Name::PackResponse(uint8_t** p, int32_t* s) { return T100Codec::PackResponse(*this, p, s); } \
    bool Name::UnpackResponse(const uint8_t* p, uint32_t l) {                                       \
        return T100Codec::UnpackResponse(*this, p, l);                                              \
    }

TAVORO_SET_IMAGE_CLASS(Atomic_Set_Image, OP_Atomic_Set_Image)
TAVORO_SET_IMAGE_CLASS(Atomic_Set_Composite_Image, OP_Atomic_Set_Composite_Image)

// Atomic_Get_Composite_Image
Atomic_Get_Composite_Image::Atomic_Get_Composite_Image() : ICmd(OP_Atomic_Get_Composite_Image) {}
Atomic_Get_Composite_Image::~Atomic_Get_Composite_Image() { std::free(FImage); }
TAVORO_NO_COMMAND_FIELDS(Atomic_Get_Composite_Image)
bool Atomic_Get_Composite_Image::ResponseFields(T100Payload& io) {
    return io.U32(FAcceptance) && io.LBlock(FImage, FImageSize);
}
TAVORO_STANDARD_SIDES(Atomic_Get_Composite_Image)

// Templates
Atomic_Get_Template::Atomic_Get_Template() : ICmd(OP_Atomic_Get_Template) {}
Atomic_Get_Template::~Atomic_Get_Template() { std::free(FTemplate); }
TAVORO_NO_COMMAND_FIELDS(Atomic_Get_Template)
bool Atomic_Get_Template::ResponseFields(T100Payload& io) { return io.LBlock(FTemplate, FTemplateSize); }
TAVORO_STANDARD_SIDES(Atomic_Get_Template)

Atomic_Set_Template::Atomic_Set_Template() : ICmd(OP_Atomic_Set_Template) {}
Atomic_Set_Template::~Atomic_Set_Template() { std::free(FTemplate); }
bool Atomic_Set_Template::CommandFields(T100Payload& io) { return io.LBlock(FTemplate, FTemplateSize); }
TAVORO_NO_RESPONSE_FIELDS(Atomic_Set_Template)
TAVORO_STANDARD_SIDES(Atomic_Set_Template)

// Atomic_Arm_Trigger
Atomic_Arm_Trigger::Atomic_Arm_Trigger() : ICmd(OP_Atomic_Arm_Trigger) { SetArgument(1); }
TAVORO_NO_COMMAND_FIELDS(Atomic_Arm_Trigger)
TAVORO_NO_RESPONSE_FIELDS(Atomic_Arm_Trigger)
bool Atomic_Arm_Trigger::PackCommand(uint8_t** p, int32_t* s) { return T100Codec::PackCommand(*this, p, s); }
bool Atomic_Arm_Trigger::UnpackCommand(const uint8_t* p, uint32_t l) {
    return T100Codec::UnpackCommand(*this, p, l);
}
bool Atomic_Arm_Trigger::PackResponse(uint8_t** p, int32_t* s) {
    return T100Codec::PackResponse(*this, p, s, false);
}
bool Atomic_Arm_Trigger::UnpackResponse(const uint8_t* p, uint32_t l) {
    return T100Codec::UnpackResponse(*this, p, l);
}

// Atomic_Get_Acq_Status
Atomic_Get_Acq_Status::Atomic_Get_Acq_Status() : ICmd(OP_Atomic_Get_Acq_Status) {}
TAVORO_NO_COMMAND_FIELDS(Atomic_Get_Acq_Status)
bool Atomic_Get_Acq_Status::ResponseFields(T100Payload& io) { return io.U32(FStatus); }
TAVORO_STANDARD_SIDES(Atomic_Get_Acq_Status)

// Atomic_Get_Config
Atomic_Get_Config::Atomic_Get_Config() : ICmd(OP_Atomic_Get_Config) {
    T100Codec::SetSizes(*this, 18, 14 + int32_t(kT100ConfigSize));
}
bool Atomic_Get_Config::CommandFields(T100Payload& io) { return io.U32(FRequestedSize); }
bool Atomic_Get_Config::ResponseFields(T100Payload& io) { return io.Block(FConfig, kT100ConfigSize); }
bool Atomic_Get_Config::PackCommand(uint8_t** p, int32_t* s) { return T100Codec::PackCommand(*this, p, s); }
bool Atomic_Get_Config::UnpackCommand(const uint8_t* p, uint32_t l) {
    return T100Codec::UnpackCommand(*this, p, l);
}
bool Atomic_Get_Config::PackResponse(uint8_t** p, int32_t* s) {
    return T100Codec::PackResponse(*this, p, s, false);
}
bool Atomic_Get_Config::UnpackResponse(const uint8_t* p, uint32_t l) {
    return T100Codec::UnpackResponse(*this, p, l);
}

// Atomic_Get_Status: the block is always 32 bytes, whatever the length word says.
Atomic_Get_Status::Atomic_Get_Status() : ICmd(OP_Atomic_Get_Status) {}
TAVORO_NO_COMMAND_FIELDS(Atomic_Get_Status)
bool Atomic_Get_Status::ResponseFields(T100Payload& io) {
    return io.U32(FLengthWord) && io.Block(FStatus, sizeof FStatus);
}
TAVORO_STANDARD_SIDES(Atomic_Get_Status)

// Atomic_Get_Cmd
Atomic_Get_Cmd::Atomic_Get_Cmd() : ICmd(OP_Atomic_Get_Cmd) {}
TAVORO_NO_COMMAND_FIELDS(Atomic_Get_Cmd)
bool Atomic_Get_Cmd::ResponseFields(T100Payload& io) {
    if (!io.U32(FBlockLength))
        return false;
    if (io.Reading() && FBlockLength != kT100CmdBlockSize)
        return false;
    return io.Block(FBlock, kT100CmdBlockSize);
}
TAVORO_STANDARD_SIDES(Atomic_Get_Cmd)

// Atomic_Set_Cmd
Atomic_Set_Cmd::Atomic_Set_Cmd() : ICmd(OP_Atomic_Set_Cmd) { T100Codec::SetSizes(*this, 18, 14); }
bool Atomic_Set_Cmd::CommandFields(T100Payload& io) {
    if (!io.U32(FBlockLength) || FBlockLength > kT100CmdBlockSize)
        return false;
    return io.Block(FBlock, FBlockLength);
}
TAVORO_NO_RESPONSE_FIELDS(Atomic_Set_Cmd)
TAVORO_STANDARD_SIDES(Atomic_Set_Cmd)

// Atomic_Set_LED
Atomic_Set_LED::Atomic_Set_LED() : ICmd(OP_Atomic_Set_LED) {}
bool Atomic_Set_LED::CommandFields(T100Payload& io) { return io.U32(FSizeWord) && io.U32(FLedValue); }
TAVORO_NO_RESPONSE_FIELDS(Atomic_Set_LED)
TAVORO_STANDARD_SIDES(Atomic_Set_LED)

// Atomic_Config_Comport
Atomic_Config_Comport::Atomic_Config_Comport() : ICmd(OP_Atomic_Config_Comport) {}
bool Atomic_Config_Comport::CommandFields(T100Payload& io) {
    if (!io.U32(FSizeWord) || FSizeWord != 4)
        return false;
    return io.U32(FValue);
}
TAVORO_NO_RESPONSE_FIELDS(Atomic_Config_Comport)
TAVORO_STANDARD_SIDES(Atomic_Config_Comport)

TAVORO_HEADER_ONLY(Atomic_Process, OP_Atomic_Process)
TAVORO_STANDARD_SIDES(Atomic_Process)

// Atomic_Set_Option
Atomic_Set_Option::Atomic_Set_Option() : ICmd(OP_Atomic_Set_Option) {}
Atomic_Set_Option::~Atomic_Set_Option() { std::free(FOption); }
bool Atomic_Set_Option::CommandFields(T100Payload& io) { return io.LBlock(FOption, FOptionSize); }
TAVORO_NO_RESPONSE_FIELDS(Atomic_Set_Option)
TAVORO_STANDARD_SIDES(Atomic_Set_Option)

// Atomic_Truncate_378
Atomic_Truncate_378::Atomic_Truncate_378() : ICmd(OP_Atomic_Truncate_378) {}
Atomic_Truncate_378::~Atomic_Truncate_378() { std::free(FTemplate); }
bool Atomic_Truncate_378::CommandFields(T100Payload& io) {
    return io.U32(FValue) && io.LBlock(FTemplate, FTemplateSize);
}
bool Atomic_Truncate_378::ResponseFields(T100Payload& io) { return io.LBlock(FTemplate, FTemplateSize); }
TAVORO_STANDARD_SIDES(Atomic_Truncate_378)

// Atomic_Match_Ex
Atomic_Match_Ex::Atomic_Match_Ex() : ICmd(OP_Atomic_Match_Ex) {}
Atomic_Match_Ex::~Atomic_Match_Ex() {
    std::free(FFirstTemplate);
    std::free(FSecondTemplate);
}
bool Atomic_Match_Ex::CommandFields(T100Payload& io) {
    if (io.Packing())
        T100Codec::SetArgumentRaw(*this, FSecondTemplate ? 2 : 1);
    if (!io.LBlock(FFirstTemplate, FFirstSize))
        return false;
    if (T100Codec::ArgumentOf(*this) >= 2)
        return io.LBlock(FSecondTemplate, FSecondSize);
    return true;
}
bool Atomic_Match_Ex::ResponseFields(T100Payload& io) {
    return io.U32(FFirstResult) && io.U32(FSecondResult);
}
bool Atomic_Match_Ex::PackCommand(uint8_t** p, int32_t* s) { return T100Codec::PackCommand(*this, p, s); }
bool Atomic_Match_Ex::UnpackCommand(const uint8_t* p, uint32_t l) {
    if (!T100Codec::UnpackCommand(*this, p, l))
        return false;
    return FFirstSize <= l && FSecondSize <= l;
}
bool Atomic_Match_Ex::PackResponse(uint8_t** p, int32_t* s) { return T100Codec::PackResponse(*this, p, s); }
bool Atomic_Match_Ex::UnpackResponse(const uint8_t* p, uint32_t l) {
    return T100Codec::UnpackResponse(*this, p, l);
}

// Atomic_Spoof_Get_Template: an argument other than 0, 1 or 2 names no
// payload shape, so packing (and the sensor's unpacking) refuses it.
Atomic_Spoof_Get_Template::Atomic_Spoof_Get_Template() : ICmd(OP_Atomic_Spoof_Get_Template) {
    SetArgument(0xFFFF);
}
Atomic_Spoof_Get_Template::~Atomic_Spoof_Get_Template() {
    std::free(FData);
    std::free(FTemplate);
}
bool Atomic_Spoof_Get_Template::CommandFields(T100Payload& io) {
    uint16_t argument = T100Codec::ArgumentOf(*this);
    if (argument == 0)
        return true;
    if (argument == 1 || argument == 2)
        return io.LBlock(FData, FDataSize);
    return false;
}
bool Atomic_Spoof_Get_Template::ResponseFields(T100Payload& io) {
    return io.LBlock(FTemplate, FTemplateSize);
}
TAVORO_STANDARD_SIDES(Atomic_Spoof_Get_Template)

// GPIO
Atomic_Set_GPIO::Atomic_Set_GPIO() : ICmd(OP_Atomic_Set_GPIO) {}
bool Atomic_Set_GPIO::CommandFields(T100Payload& io) { return io.U8(FValue); }
TAVORO_NO_RESPONSE_FIELDS(Atomic_Set_GPIO)
TAVORO_STANDARD_SIDES(Atomic_Set_GPIO)

Atomic_Get_GPIO::Atomic_Get_GPIO() : ICmd(OP_Atomic_Get_GPIO) {}
TAVORO_NO_COMMAND_FIELDS(Atomic_Get_GPIO)
bool Atomic_Get_GPIO::ResponseFields(T100Payload& io) { return io.U8(FValue); }
TAVORO_STANDARD_SIDES(Atomic_Get_GPIO)

TAVORO_HEADER_ONLY(Atomic_Cancel_Operation, OP_Atomic_Cancel_Operation)
TAVORO_STANDARD_SIDES(Atomic_Cancel_Operation)

// Atomic_Get_FIR_Image
Atomic_Get_FIR_Image::Atomic_Get_FIR_Image() : ICmd(OP_Atomic_Get_FIR_Image) {}
Atomic_Get_FIR_Image::~Atomic_Get_FIR_Image() { std::free(FImage); }
bool Atomic_Get_FIR_Image::CommandFields(T100Payload& io) {
    return io.U32(FFirstWord) && io.U32(FSecondWord);
}
bool Atomic_Get_FIR_Image::ResponseFields(T100Payload& io) { return io.LBlock(FImage, FImageSize); }
TAVORO_STANDARD_SIDES(Atomic_Get_FIR_Image)

// Fixed-size command blocks with no reply payload, and the reverse.
#define TAVORO_COMMAND_BLOCK(Name, Opcode, Field)                                       \
    Name::Name() : ICmd(Opcode) {}                                                      \
    bool Name::CommandFields(T100Payload& io) { return io.Block(Field, sizeof Field); }  \
    TAVORO_NO_RESPONSE_FIELDS(Name)                                                     \
    TAVORO_STANDARD_SIDES(Name)

#define TAVORO_RESPONSE_BLOCK(Name, Opcode, Field)                                      \
    Name::Name() : ICmd(Opcode) {}                                                      \
    TAVORO_NO_COMMAND_FIELDS(Name)                                                      \
    bool Name::ResponseFields(T100Payload& io) { return io.Block(Field, sizeof Field); } \
    TAVORO_STANDARD_SIDES(Name)

#define TAVORO_COMMAND_U32(Name, Opcode)                                  \
    Name::Name() : ICmd(Opcode) {}                                        \
    bool Name::CommandFields(T100Payload& io) { return io.U32(FValue); }  \
    TAVORO_NO_RESPONSE_FIELDS(Name)                                       \
    TAVORO_STANDARD_SIDES(Name)

TAVORO_COMMAND_BLOCK(Macro_ID_Create_DB, OP_Macro_ID_Create_DB, FBlock)
TAVORO_COMMAND_U32(Macro_ID_Set_Working_DB, OP_Macro_ID_Set_Working_DB)
TAVORO_COMMAND_BLOCK(Macro_ID_Verify_User_Record, OP_Macro_ID_Verify_User_Record, FHeader)
TAVORO_COMMAND_BLOCK(Atomic_ID_Delete_User_Record, OP_Atomic_ID_Delete_User_Record, FHeader)
TAVORO_COMMAND_U32(Macro_ID_Delete_DB, OP_Macro_ID_Delete_DB)
TAVORO_COMMAND_BLOCK(Atomic_ID_Set_Parameters, OP_Atomic_ID_Set_Parameters, FBlock)
TAVORO_COMMAND_BLOCK(Atomic_Set_Verification_Rules, OP_Atomic_Set_Verification_Rules, FBlock)
TAVORO_RESPONSE_BLOCK(Atomic_ID_Get_Result, OP_Atomic_ID_Get_Result, FBlock)
TAVORO_RESPONSE_BLOCK(Atomic_ID_Get_Parameters, OP_Atomic_ID_Get_Parameters, FBlock)
TAVORO_RESPONSE_BLOCK(Atomic_Get_Verification_Rules, OP_Atomic_Get_Verification_Rules, FBlock)
TAVORO_RESPONSE_BLOCK(Atomic_Get_DB_Metrics, OP_Atomic_Get_DB_Metrics, FBlock)
TAVORO_RESPONSE_BLOCK(Atomic_Get_OP_Status, OP_Atomic_Get_OP_Status, FBlock)
TAVORO_RESPONSE_BLOCK(Atomic_ID_Get_User_Record_Header, OP_Atomic_ID_Get_User_Record_Header, FHeader)

// Atomic_ID_Get_DB_Metrics: 28 bytes both ways.
Atomic_ID_Get_DB_Metrics::Atomic_ID_Get_DB_Metrics() : ICmd(OP_Atomic_ID_Get_DB_Metrics) {}
bool Atomic_ID_Get_DB_Metrics::CommandFields(T100Payload& io) { return io.Block(FBlock, sizeof FBlock); }
bool Atomic_ID_Get_DB_Metrics::ResponseFields(T100Payload& io) { return io.Block(FBlock, sizeof FBlock); }
TAVORO_STANDARD_SIDES(Atomic_ID_Get_DB_Metrics)

// ID user records: a 44-byte header, then N blocks of 2048 bytes.
namespace {
uint64_t RecordBlocksSize(const uint8_t* header) {
    return uint64_t(LoadU32(header + 40)) * kT100RecordBlockSize;
}
} // namespace

Atomic_ID_Get_User_Record::Atomic_ID_Get_User_Record() : ICmd(OP_Atomic_ID_Get_User_Record) {}
Atomic_ID_Get_User_Record::~Atomic_ID_Get_User_Record() { std::free(FBlocks); }
bool Atomic_ID_Get_User_Record::CommandFields(T100Payload& io) { return io.Block(FHeader, sizeof FHeader); }
bool Atomic_ID_Get_User_Record::ResponseFields(T100Payload& io) {
    return io.Block(FHeader, sizeof FHeader) && io.Data(FBlocks, RecordBlocksSize(FHeader));
}
TAVORO_STANDARD_SIDES(Atomic_ID_Get_User_Record)

Atomic_ID_Set_User_Record::Atomic_ID_Set_User_Record() : ICmd(OP_Atomic_ID_Set_User_Record) {}
Atomic_ID_Set_User_Record::~Atomic_ID_Set_User_Record() { std::free(FBlocks); }
bool Atomic_ID_Set_User_Record::CommandFields(T100Payload& io) {
    return io.Block(FHeader, sizeof FHeader) && io.Data(FBlocks, RecordBlocksSize(FHeader));
}
TAVORO_NO_RESPONSE_FIELDS(Atomic_ID_Set_User_Record)
TAVORO_STANDARD_SIDES(Atomic_ID_Set_User_Record)

// Macro_ID_Enroll_User_Record
Macro_ID_Enroll_User_Record::Macro_ID_Enroll_User_Record() : ICmd(OP_Macro_ID_Enroll_User_Record) {}
bool Macro_ID_Enroll_User_Record::CommandFields(T100Payload& io) { return io.Block(FHeader, sizeof FHeader); }
TAVORO_NO_RESPONSE_FIELDS(Macro_ID_Enroll_User_Record)
TAVORO_STANDARD_SIDES(Macro_ID_Enroll_User_Record)
void Macro_ID_Enroll_User_Record::SetRecordHeader(const void* header) {
    if (header)
        std::memcpy(FHeader, header, sizeof FHeader);
}
uint8_t* Macro_ID_Enroll_User_Record::GetRecordHeader() { return FHeader; }

// Macro_ID_Identify_378: the sensor takes at most 2048 template bytes.
Macro_ID_Identify_378::Macro_ID_Identify_378() : ICmd(OP_Macro_ID_Identify_378) {}
Macro_ID_Identify_378::~Macro_ID_Identify_378() { std::free(FTemplate); }
bool Macro_ID_Identify_378::CommandFields(T100Payload& io) {
    return io.LBlock(FTemplate, FTemplateSize, io.Reading() ? kT100MaxIdentifyTemplate : UINT32_MAX);
}
TAVORO_NO_RESPONSE_FIELDS(Macro_ID_Identify_378)
TAVORO_STANDARD_SIDES(Macro_ID_Identify_378)

TAVORO_HEADER_ONLY(Macro_ID_Identify, OP_Macro_ID_Identify)
TAVORO_STANDARD_SIDES(Macro_ID_Identify)

// Atomic_ID_Get_System_Metrics: the argument counts the 28-byte records.
Atomic_ID_Get_System_Metrics::Atomic_ID_Get_System_Metrics() : ICmd(OP_Atomic_ID_Get_System_Metrics) {}
Atomic_ID_Get_System_Metrics::~Atomic_ID_Get_System_Metrics() { std::free(FRecords); }
TAVORO_NO_COMMAND_FIELDS(Atomic_ID_Get_System_Metrics)
bool Atomic_ID_Get_System_Metrics::ResponseFields(T100Payload& io) {
    return io.Data(FRecords, uint64_t(T100Codec::ArgumentOf(*this)) * 28);
}
TAVORO_STANDARD_SIDES(Atomic_ID_Get_System_Metrics)

// User records: the sensor refuses a record whose u32 at offset 12 is 256 or more.
#define TAVORO_USER_RECORD_CLASS(Name, Opcode)                                      \
    Name::Name() : ICmd(Opcode) {}                                                  \
    bool Name::CommandFields(T100Payload& io) {                                     \
        if (io.Packing() && LoadU32(FUser + 12) >= 256)                              \
            return false;                                                           \
        return io.Block(FUser, sizeof FUser);                                       \
    }                                                                               \
    TAVORO_NO_RESPONSE_FIELDS(Name)                                                 \
    TAVORO_STANDARD_SIDES(Name)

TAVORO_USER_RECORD_CLASS(Macro_Enroll_User, OP_Macro_Enroll_User)
TAVORO_USER_RECORD_CLASS(Macro_Verify_User, OP_Macro_Verify_User)

TAVORO_HEADER_ONLY(Atomic_Delete_User, OP_Atomic_Delete_User)
TAVORO_STANDARD_SIDES(Atomic_Delete_User)
TAVORO_HEADER_ONLY(Atomic_Format_DB, OP_Atomic_Format_DB)
TAVORO_STANDARD_SIDES(Atomic_Format_DB)

// Tags
Atomic_Set_Tag::Atomic_Set_Tag() : ICmd(OP_Atomic_Set_Tag) {}
Atomic_Set_Tag::~Atomic_Set_Tag() { std::free(FTag); }
bool Atomic_Set_Tag::CommandFields(T100Payload& io) { return io.WBlock(FTag, FTagSize); }
TAVORO_NO_RESPONSE_FIELDS(Atomic_Set_Tag)
TAVORO_STANDARD_SIDES(Atomic_Set_Tag)

Atomic_Get_Tag::Atomic_Get_Tag() : ICmd(OP_Atomic_Get_Tag) {}
Atomic_Get_Tag::~Atomic_Get_Tag() { std::free(FTag); }
TAVORO_NO_COMMAND_FIELDS(Atomic_Get_Tag)
bool Atomic_Get_Tag::ResponseFields(T100Payload& io) { return io.WBlock(FTag, FTagSize); }
TAVORO_STANDARD_SIDES(Atomic_Get_Tag)

// Atomic_Get_User / Atomic_Add_User: record, then L bytes, L = record u32 at 8.
Atomic_Get_User::Atomic_Get_User() : ICmd(OP_Atomic_Get_User) {}
Atomic_Get_User::~Atomic_Get_User() { std::free(FData); }
bool Atomic_Get_User::CommandFields(T100Payload& io) {
    switch (T100Codec::ArgumentOf(*this)) {
    case 0:
        return io.Block(FUser, sizeof FUser);
    case 1:
        return io.U32(FValue);
    default:
        return true;
    }
}
bool Atomic_Get_User::ResponseFields(T100Payload& io) {
    return io.Block(FUser, sizeof FUser) && io.Data(FData, LoadU32(FUser + 8));
}
TAVORO_STANDARD_SIDES(Atomic_Get_User)

Atomic_Add_User::Atomic_Add_User() : ICmd(OP_Atomic_Add_User) {}
Atomic_Add_User::~Atomic_Add_User() { std::free(FData); }
bool Atomic_Add_User::CommandFields(T100Payload& io) {
    return io.Block(FUser, sizeof FUser) && io.Data(FData, LoadU32(FUser + 8));
}
TAVORO_NO_RESPONSE_FIELDS(Atomic_Add_User)
TAVORO_STANDARD_SIDES(Atomic_Add_User)

// Macro_ID_Verify_378
Macro_ID_Verify_378::Macro_ID_Verify_378() : ICmd(OP_Macro_ID_Verify_378) {}
Macro_ID_Verify_378::~Macro_ID_Verify_378() { std::free(FTemplate); }
bool Macro_ID_Verify_378::CommandFields(T100Payload& io) {
    return io.Block(FHeader, sizeof FHeader) && io.LBlock(FTemplate, FTemplateSize);
}
TAVORO_NO_RESPONSE_FIELDS(Macro_ID_Verify_378)
TAVORO_STANDARD_SIDES(Macro_ID_Verify_378)

// Macro_Save_Last_Capture: every reply it unpacks counts as a failure.
Macro_Save_Last_Capture::Macro_Save_Last_Capture() : ICmd(OP_Macro_Save_Last_Capture) {}
TAVORO_NO_COMMAND_FIELDS(Macro_Save_Last_Capture)
TAVORO_NO_RESPONSE_FIELDS(Macro_Save_Last_Capture)
bool Macro_Save_Last_Capture::PackCommand(uint8_t** p, int32_t* s) {
    return T100Codec::PackCommand(*this, p, s);
}
bool Macro_Save_Last_Capture::UnpackCommand(const uint8_t* p, uint32_t l) {
    return T100Codec::UnpackCommand(*this, p, l);
}
bool Macro_Save_Last_Capture::PackResponse(uint8_t** p, int32_t* s) {
    return T100Codec::PackResponse(*this, p, s);
}
bool Macro_Save_Last_Capture::UnpackResponse(const uint8_t* p, uint32_t l) {
    T100Codec::UnpackResponse(*this, p, l);
    FUnpacked = false;
    return false;
}

// Macro_Update_Firmware: the sensor takes at most 10 MiB.
Macro_Update_Firmware::Macro_Update_Firmware() : ICmd(OP_Macro_Update_Firmware) {}
Macro_Update_Firmware::~Macro_Update_Firmware() { std::free(FFirmware); }
bool Macro_Update_Firmware::CommandFields(T100Payload& io) {
    return io.LBlock(FFirmware, FFirmwareSize, io.Reading() ? kT100MaxFirmware : UINT32_MAX);
}
TAVORO_NO_RESPONSE_FIELDS(Macro_Update_Firmware)
TAVORO_STANDARD_SIDES(Macro_Update_Firmware)

// Macro_ID_Verify_Many
Macro_ID_Verify_Many::Macro_ID_Verify_Many() : ICmd(OP_Macro_ID_Verify_Many) {}
Macro_ID_Verify_Many::~Macro_ID_Verify_Many() {
    std::free(FLengths);
    std::free(FData);
}
bool Macro_ID_Verify_Many::CommandFields(T100Payload& io) {
    if (!io.U32(FCount))
        return false;
    if (io.Reading()) {
        // Every count and length must fit in what arrived before anything is allocated.
        if (uint64_t(FCount) * 4 > io.Remaining())
            return false;
        std::free(FLengths);
        FLengths = nullptr;
        if (FCount) {
            FLengths = static_cast<uint32_t*>(std::calloc(FCount, 4));
            if (!FLengths) {
                FCount = 0;
                return false;
            }
        }
    } else if (FCount && !FLengths) {
        return false;
    }
    uint64_t total = 0;
    for (uint32_t i = 0; i < FCount; ++i) {
        if (!io.U32(FLengths[i]))
            return false;
        total += FLengths[i];
    }
    return io.Data(FData, total);
}
TAVORO_NO_RESPONSE_FIELDS(Macro_ID_Verify_Many)
TAVORO_STANDARD_SIDES(Macro_ID_Verify_Many)

// Atomic_File_Delete: the name is held in a 64-byte field.
Atomic_File_Delete::Atomic_File_Delete() : ICmd(OP_Atomic_File_Delete) {}
bool Atomic_File_Delete::CommandFields(T100Payload& io) {
    if (!io.U32(FNameSize) || FNameSize > sizeof FName)
        return false;
    return io.Block(FName, FNameSize) && io.U32(FValue);
}
TAVORO_NO_RESPONSE_FIELDS(Atomic_File_Delete)
TAVORO_STANDARD_SIDES(Atomic_File_Delete)

TAVORO_HEADER_ONLY(Atomic_Reset, OP_Atomic_Reset)
TAVORO_STANDARD_SIDES(Atomic_Reset)

// Atomic_Error: a reply only.
Atomic_Error::Atomic_Error() : ICmd(OP_Atomic_Error) { T100Codec::SetSizes(*this, 0, 14); }
TAVORO_NO_COMMAND_FIELDS(Atomic_Error)
TAVORO_NO_RESPONSE_FIELDS(Atomic_Error)
bool Atomic_Error::PackCommand(uint8_t**, int32_t*) { return false; }
bool Atomic_Error::UnpackCommand(const uint8_t*, uint32_t) { return false; }
bool Atomic_Error::PackResponse(uint8_t** p, int32_t* s) { return T100Codec::PackResponse(*this, p, s); }
bool Atomic_Error::UnpackResponse(const uint8_t* p, uint32_t l) {
    return T100Codec::UnpackResponse(*this, p, l);
}
void Atomic_Error::SetErrorCode(uint16_t code) { SetArgument(code); }
int32_t Atomic_Error::GetErrorCode() { return int16_t(T100Codec::ArgumentOf(*this)); }

// ---------------------------------------------------------------- factory

ICmd* CreateCommand(uint32_t opcode) {
    switch (opcode) {
#define TAVORO_MAKE(Name) \
    case OP_##Name:       \
        return new (std::nothrow) Name();
        TAVORO_MAKE(Macro_Match)
        TAVORO_MAKE(Macro_Vid_Stream)
        TAVORO_MAKE(Atomic_Get_Image)
        TAVORO_MAKE(Atomic_Set_Image)
        TAVORO_MAKE(Atomic_Get_Composite_Image)
        TAVORO_MAKE(Atomic_Set_Composite_Image)
        TAVORO_MAKE(Atomic_Get_Template)
        TAVORO_MAKE(Atomic_Set_Template)
        TAVORO_MAKE(Atomic_Arm_Trigger)
        TAVORO_MAKE(Atomic_Get_Acq_Status)
        TAVORO_MAKE(Atomic_Get_Config)
        TAVORO_MAKE(Atomic_Get_Status)
        TAVORO_MAKE(Atomic_Get_Cmd)
        TAVORO_MAKE(Atomic_Set_Cmd)
        TAVORO_MAKE(Atomic_Set_LED)
        TAVORO_MAKE(Atomic_Config_Comport)
        TAVORO_MAKE(Atomic_Process)
        TAVORO_MAKE(Atomic_Set_Option)
        TAVORO_MAKE(Atomic_Truncate_378)
        TAVORO_MAKE(Atomic_Match_Ex)
        TAVORO_MAKE(Atomic_Spoof_Get_Template)
        TAVORO_MAKE(Atomic_Set_GPIO)
        TAVORO_MAKE(Atomic_Get_GPIO)
        TAVORO_MAKE(Atomic_Cancel_Operation)
        TAVORO_MAKE(Atomic_Get_FIR_Image)
        TAVORO_MAKE(Macro_ID_Create_DB)
        TAVORO_MAKE(Macro_ID_Set_Working_DB)
        TAVORO_MAKE(Macro_ID_Verify_User_Record)
        TAVORO_MAKE(Atomic_ID_Get_User_Record)
        TAVORO_MAKE(Atomic_ID_Set_User_Record)
        TAVORO_MAKE(Macro_ID_Enroll_User_Record)
        TAVORO_MAKE(Macro_ID_Identify_378)
        TAVORO_MAKE(Macro_ID_Delete_DB)
        TAVORO_MAKE(Macro_ID_Identify)
        TAVORO_MAKE(Atomic_ID_Get_DB_Metrics)
        TAVORO_MAKE(Atomic_ID_Get_Result)
        TAVORO_MAKE(Atomic_ID_Delete_User_Record)
        TAVORO_MAKE(Atomic_ID_Get_System_Metrics)
        TAVORO_MAKE(Atomic_ID_Get_Parameters)
        TAVORO_MAKE(Atomic_ID_Set_Parameters)
        TAVORO_MAKE(Atomic_Set_Verification_Rules)
        TAVORO_MAKE(Atomic_Get_Verification_Rules)
        TAVORO_MAKE(Macro_Enroll_User)
        TAVORO_MAKE(Macro_Verify_User)
        TAVORO_MAKE(Atomic_Delete_User)
        TAVORO_MAKE(Atomic_Get_DB_Metrics)
        TAVORO_MAKE(Atomic_Format_DB)
        TAVORO_MAKE(Atomic_Set_Tag)
        TAVORO_MAKE(Atomic_Get_User)
        TAVORO_MAKE(Atomic_Add_User)
        TAVORO_MAKE(Atomic_Get_OP_Status)
        TAVORO_MAKE(Atomic_Get_Tag)
        TAVORO_MAKE(Macro_ID_Verify_378)
        TAVORO_MAKE(Macro_Save_Last_Capture)
        TAVORO_MAKE(Macro_Update_Firmware)
        TAVORO_MAKE(Atomic_ID_Get_User_Record_Header)
        TAVORO_MAKE(Macro_ID_Verify_Many)
        TAVORO_MAKE(Atomic_File_Delete)
        TAVORO_MAKE(Atomic_Reset)
        TAVORO_MAKE(Atomic_Error)
#undef TAVORO_MAKE
    default:
        return nullptr;
    }
}
