// T100 command objects: one object per exchange with a Tavoro sensor.
//
// Packet frame (little-endian), same for requests and replies:
//   0 start byte 0x0D, 1 protocol byte 0x56, 2 u32 command code,
//   6 u16 argument, 8 u32 payload length n, 12 payload, 12+n two trailer bytes.
// A packet is 14 + n bytes.
//
// Host side: PackCommand -> transport -> CreateCommand(reply opcode) ->
// UnpackResponse. Sensor side (simulator): UnpackCommand -> PackResponse.
//
// Memory: packets and every data buffer come from malloc and are released
// with free. A buffer attached by a caller must therefore come from malloc.
// Every unpack is bounded by the bytes actually received: a length field
// (L-block, W-block, record count) that does not fit makes the unpack fail.
#pragma once

#include <cstdint>

constexpr uint8_t kT100StartByte = 0x0D;
constexpr uint8_t kT100ProtocolByte = 0x56;
constexpr uint32_t kT100HeaderSize = 12;   // start, protocol, code, argument, length
constexpr uint32_t kT100FrameOverhead = 14; // header plus the two trailer bytes

enum T100Opcode : uint32_t {
    OP_Macro_Match = 4,
    OP_Macro_Vid_Stream = 6,
    OP_Atomic_Get_Image = 65,
    OP_Atomic_Set_Image = 66,
    OP_Atomic_Get_Composite_Image = 67,
    OP_Atomic_Set_Composite_Image = 68,
    OP_Atomic_Get_Template = 69,
    OP_Atomic_Set_Template = 70,
    OP_Atomic_Arm_Trigger = 71,
    OP_Atomic_Get_Acq_Status = 72,
    OP_Atomic_Get_Config = 73,
    OP_Atomic_Get_Status = 74,
    OP_Atomic_Get_Cmd = 76,
    OP_Atomic_Set_Cmd = 77,
    OP_Atomic_Set_LED = 84,
    OP_Atomic_Config_Comport = 86,
    OP_Atomic_Process = 87,
    OP_Atomic_Set_Option = 88,
    OP_Atomic_Truncate_378 = 89,
    OP_Atomic_Match_Ex = 96,
    OP_Atomic_Spoof_Get_Template = 97,
    OP_Atomic_Set_GPIO = 98,
    OP_Atomic_Get_GPIO = 99,
    OP_Atomic_Cancel_Operation = 100,
    OP_Atomic_Get_FIR_Image = 101,
    OP_Macro_ID_Create_DB = 112,
    OP_Macro_ID_Set_Working_DB = 113,
    OP_Macro_ID_Verify_User_Record = 115,
    OP_Atomic_ID_Get_User_Record = 116,
    OP_Atomic_ID_Set_User_Record = 117,
    OP_Macro_ID_Enroll_User_Record = 118,
    OP_Macro_ID_Identify_378 = 119,
    OP_Macro_ID_Delete_DB = 120,
    OP_Macro_ID_Identify = 121,
    OP_Atomic_ID_Get_DB_Metrics = 122,
    OP_Atomic_ID_Get_Result = 123,
    OP_Atomic_ID_Delete_User_Record = 124,
    OP_Atomic_ID_Get_System_Metrics = 125,
    OP_Atomic_ID_Get_Parameters = 126,
    OP_Atomic_ID_Set_Parameters = 127,
    OP_Atomic_Set_Verification_Rules = 128,
    OP_Atomic_Get_Verification_Rules = 129,
    OP_Macro_Enroll_User = 130,
    OP_Macro_Verify_User = 131,
    OP_Atomic_Delete_User = 132,
    OP_Atomic_Get_DB_Metrics = 133,
    OP_Atomic_Format_DB = 134,
    OP_Atomic_Set_Tag = 135,
    OP_Atomic_Get_User = 136,
    OP_Atomic_Add_User = 137,
    OP_Atomic_Get_OP_Status = 139,
    OP_Atomic_Get_Tag = 140,
    OP_Macro_ID_Verify_378 = 160,
    OP_Macro_Save_Last_Capture = 161,
    OP_Macro_Update_Firmware = 162,
    OP_Atomic_ID_Get_User_Record_Header = 163,
    OP_Macro_ID_Verify_Many = 164,
    OP_Atomic_File_Delete = 181,
    OP_Atomic_Reset = 194,
    OP_Atomic_Error = 224,
};

constexpr uint32_t kT100RecordHeaderSize = 44;    // ID user record header
constexpr uint32_t kT100RecordBlockSize = 2048;   // one block after a record header
constexpr uint32_t kT100UserRecordSize = 272;     // user record of Enroll/Verify/Get/Add
constexpr uint32_t kT100ConfigSize = 128;
constexpr uint32_t kT100CmdBlockSize = 64;
constexpr uint32_t kT100MaxIdentifyTemplate = 2048;
constexpr uint32_t kT100MaxFirmware = 0xA00000;

class T100Payload; // field walker used by the implementations

class MemoryBase {};

class ICmd : public MemoryBase {
public:
    explicit ICmd(uint32_t opcode) : FOpcode(opcode) {}
    ICmd(const ICmd&) = delete;
    ICmd& operator=(const ICmd&) = delete;

    virtual ~ICmd();
    virtual bool PackCommand(uint8_t** packet, int32_t* size) = 0;
    virtual bool UnpackCommand(const uint8_t* packet, uint32_t length) = 0;
    // True when a reply packet was built: the normal reply, or the error
    // reply when an error code is set. False only when nothing was built.
    virtual bool PackResponse(uint8_t** packet, int32_t* size) = 0;
    virtual bool UnpackResponse(const uint8_t* packet, uint32_t length) = 0;
    virtual int32_t GetCommandSize();
    virtual int32_t GetResponseSize();
    virtual void SetError(uint32_t error);
    virtual uint32_t GetError();
    virtual void SetArgument(uint16_t argument);
    virtual void GetArgument(uint16_t* argument);
    virtual uint32_t GetOpcode();
    virtual uint8_t* PackCommandHeader(uint16_t unused, uint32_t payloadLength);
    virtual const uint8_t* UnpackCommandHeader(const uint8_t* packet, uint16_t* marker,
                                               uint16_t* argument, uint32_t* payloadLength);
    virtual uint8_t* PackResponseHeader(uint16_t unused, uint32_t payloadLength);
    virtual const uint8_t* UnpackResponseHeader(const uint8_t* packet, uint16_t* marker,
                                                uint16_t* argument, uint32_t* payloadLength);
    virtual void Reserved(void* unused);
    virtual bool PackErrorResponse(uint8_t** packet, int32_t* size);
    virtual uint8_t* WriteBytes(uint8_t* destination, const void* source, uint32_t count);
    virtual const uint8_t* ReadBytes(void* destination, const uint8_t* source, uint32_t count);

    // Non-virtual conveniences.
    uint16_t Argument() const { return FArgument; }
    uint16_t Marker() const { return FMarker; }
    uint32_t PayloadLength() const { return FPayloadLength; }
    const uint8_t* CommandPacket() const { return FCommandPacket; }
    const uint8_t* ResponsePacket() const { return FResponsePacket; }
    // Whether the last UnpackResponse succeeded. The exchange hands out reply
    // objects whatever their unpack gave, so callers check this before
    // trusting the fields.
    bool Unpacked() const { return FUnpacked; }

protected:
    friend class T100Codec;

    uint32_t FOpcode;
    uint8_t* FCommandPacket = nullptr;
    int32_t FCommandSize = 14;
    uint8_t* FResponsePacket = nullptr;
    int32_t FResponseSize = 14;
    uint16_t FArgument = 0;
    uint16_t FMarker = 0;
    uint32_t FPayloadLength = 0;
    uint32_t FErrorCode = 0;
    bool FUnpacked = false;
};

// Returns a new object for a known opcode, nullptr otherwise (or when memory
// runs out). Destroy it with delete.
ICmd* CreateCommand(uint32_t opcode);

// Common declarations of every concrete class.
#define TAVORO_CMD_OPERATIONS                                                   \
    bool PackCommand(uint8_t** packet, int32_t* size) override;               \
    bool UnpackCommand(const uint8_t* packet, uint32_t length) override;      \
    bool PackResponse(uint8_t** packet, int32_t* size) override;              \
    bool UnpackResponse(const uint8_t* packet, uint32_t length) override;     \
                                                                              \
private:                                                                      \
    friend class T100Codec;                                                   \
    bool CommandFields(T100Payload& io);                                      \
    bool ResponseFields(T100Payload& io);                                     \
                                                                              \
public:

#define TAVORO_HEADER_ONLY_CMD(Name)                                           \
    class Name : public ICmd {                                                \
    public:                                                                   \
        Name();                                                               \
        TAVORO_CMD_OPERATIONS                                                 \
    };

// Owned byte buffer fields are a pointer plus a byte count. Unless a class
// says otherwise, the object frees them when destroyed (an attached buffer is
// handed over).

class Macro_Match : public ICmd {
public:
    Macro_Match();
    ~Macro_Match() override;
    TAVORO_CMD_OPERATIONS
    uint8_t* FFirstData = nullptr;
    uint32_t FFirstSize = 0;
    uint8_t* FSecondData = nullptr;
    uint32_t FSecondSize = 0;
    uint32_t FResult = 0;
};

class Macro_Vid_Stream : public ICmd {
public:
    Macro_Vid_Stream();
    TAVORO_CMD_OPERATIONS
    uint32_t FSizeWord = 4;
    uint32_t FValue = 0;
};

// Image classes: an image attached for packing stays the caller's once this
// object has built the packet carrying it; otherwise the object frees it. An
// image that the object's own unpack allocated is always the object's.
class Atomic_Get_Image : public ICmd {
public:
    Atomic_Get_Image();
    ~Atomic_Get_Image() override;
    TAVORO_CMD_OPERATIONS
    uint32_t FValue = 0;
    uint8_t* FImage = nullptr;
    uint32_t FImageSize = 0;
    bool FPackedData = false; // built the packet carrying a caller's image
    bool FOwnsImage = false;  // FImage was allocated by an unpack
};

class Atomic_Set_Image : public ICmd {
public:
    Atomic_Set_Image();
    ~Atomic_Set_Image() override;
    TAVORO_CMD_OPERATIONS
    uint8_t* FImage = nullptr;
    uint32_t FImageSize = 0;
    bool FPackedData = false; // built the packet carrying a caller's image
    bool FOwnsImage = false;  // FImage was allocated by an unpack
};

class Atomic_Get_Composite_Image : public ICmd {
public:
    Atomic_Get_Composite_Image();
    ~Atomic_Get_Composite_Image() override;
    TAVORO_CMD_OPERATIONS
    uint32_t FAcceptance = 0;
    uint8_t* FImage = nullptr;
    uint32_t FImageSize = 0;
};

class Atomic_Set_Composite_Image : public ICmd {
public:
    Atomic_Set_Composite_Image();
    ~Atomic_Set_Composite_Image() override;
    TAVORO_CMD_OPERATIONS
    uint8_t* FImage = nullptr;
    uint32_t FImageSize = 0;
    bool FPackedData = false; // built the packet carrying a caller's image
    bool FOwnsImage = false;  // FImage was allocated by an unpack
};

class Atomic_Get_Template : public ICmd {
public:
    Atomic_Get_Template();
    ~Atomic_Get_Template() override;
    TAVORO_CMD_OPERATIONS
    uint8_t* FTemplate = nullptr;
    uint32_t FTemplateSize = 0;
};

class Atomic_Set_Template : public ICmd {
public:
    Atomic_Set_Template();
    ~Atomic_Set_Template() override;
    TAVORO_CMD_OPERATIONS
    uint8_t* FTemplate = nullptr;
    uint32_t FTemplateSize = 0;
};

// Argument = trigger type (preset 1). Packs its normal reply even with an
// error code set.
TAVORO_HEADER_ONLY_CMD(Atomic_Arm_Trigger)

class Atomic_Get_Acq_Status : public ICmd {
public:
    Atomic_Get_Acq_Status();
    TAVORO_CMD_OPERATIONS
    uint32_t FStatus = 0;
};

// Packs its normal reply even with an error code set.
class Atomic_Get_Config : public ICmd {
public:
    Atomic_Get_Config();
    TAVORO_CMD_OPERATIONS
    uint32_t FRequestedSize = kT100ConfigSize;
    uint8_t FConfig[kT100ConfigSize] = {};
};

class Atomic_Get_Status : public ICmd {
public:
    Atomic_Get_Status();
    TAVORO_CMD_OPERATIONS
    uint32_t FLengthWord = 32;
    uint8_t FStatus[32] = {};
};

class Atomic_Get_Cmd : public ICmd {
public:
    Atomic_Get_Cmd();
    TAVORO_CMD_OPERATIONS
    uint32_t FBlockLength = kT100CmdBlockSize;
    uint8_t FBlock[kT100CmdBlockSize] = {};
};

// FBlockLength above 64 is refused by both packing and unpacking.
class Atomic_Set_Cmd : public ICmd {
public:
    Atomic_Set_Cmd();
    TAVORO_CMD_OPERATIONS
    uint32_t FBlockLength = kT100CmdBlockSize;
    uint8_t FBlock[kT100CmdBlockSize] = {};
};

class Atomic_Set_LED : public ICmd {
public:
    Atomic_Set_LED();
    TAVORO_CMD_OPERATIONS
    uint32_t FSizeWord = 4;
    uint32_t FLedValue = 0;
};

// The L-block carries one u32; a length other than 4 is refused.
class Atomic_Config_Comport : public ICmd {
public:
    Atomic_Config_Comport();
    TAVORO_CMD_OPERATIONS
    uint32_t FSizeWord = 4;
    uint32_t FValue = 0;
};

TAVORO_HEADER_ONLY_CMD(Atomic_Process)

class Atomic_Set_Option : public ICmd {
public:
    Atomic_Set_Option();
    ~Atomic_Set_Option() override;
    TAVORO_CMD_OPERATIONS
    uint8_t* FOption = nullptr;
    uint32_t FOptionSize = 0;
};

class Atomic_Truncate_378 : public ICmd {
public:
    Atomic_Truncate_378();
    ~Atomic_Truncate_378() override;
    TAVORO_CMD_OPERATIONS
    uint32_t FValue = 0;
    uint8_t* FTemplate = nullptr;
    uint32_t FTemplateSize = 0;
};

// Packing sets the argument to the number of attached templates (1 or 2).
class Atomic_Match_Ex : public ICmd {
public:
    Atomic_Match_Ex();
    ~Atomic_Match_Ex() override;
    TAVORO_CMD_OPERATIONS
    uint8_t* FFirstTemplate = nullptr;
    uint32_t FFirstSize = 0;
    uint8_t* FSecondTemplate = nullptr;
    uint32_t FSecondSize = 0;
    uint32_t FFirstResult = 0;
    uint32_t FSecondResult = 0;
};

// Argument 0: no command payload; 1 or 2: FData as an L-block; any other
// argument (including the preset 0xFFFF) is refused by packing.
class Atomic_Spoof_Get_Template : public ICmd {
public:
    Atomic_Spoof_Get_Template();
    ~Atomic_Spoof_Get_Template() override;
    TAVORO_CMD_OPERATIONS
    uint8_t* FData = nullptr;
    uint32_t FDataSize = 0;
    uint8_t* FTemplate = nullptr;
    uint32_t FTemplateSize = 0;
};

class Atomic_Set_GPIO : public ICmd {
public:
    Atomic_Set_GPIO();
    TAVORO_CMD_OPERATIONS
    uint8_t FValue = 0;
};

class Atomic_Get_GPIO : public ICmd {
public:
    Atomic_Get_GPIO();
    TAVORO_CMD_OPERATIONS
    uint8_t FValue = 0;
};

TAVORO_HEADER_ONLY_CMD(Atomic_Cancel_Operation)

class Atomic_Get_FIR_Image : public ICmd {
public:
    Atomic_Get_FIR_Image();
    ~Atomic_Get_FIR_Image() override;
    TAVORO_CMD_OPERATIONS
    uint32_t FFirstWord = 255;
    uint32_t FSecondWord = 0;
    uint8_t* FImage = nullptr;
    uint32_t FImageSize = 0;
};

class Macro_ID_Create_DB : public ICmd {
public:
    Macro_ID_Create_DB();
    TAVORO_CMD_OPERATIONS
    uint8_t FBlock[32] = {};
};

class Macro_ID_Set_Working_DB : public ICmd {
public:
    Macro_ID_Set_Working_DB();
    TAVORO_CMD_OPERATIONS
    uint32_t FValue = 0;
};

class Macro_ID_Verify_User_Record : public ICmd {
public:
    Macro_ID_Verify_User_Record();
    TAVORO_CMD_OPERATIONS
    uint8_t FHeader[kT100RecordHeaderSize] = {};
};

// Reply: record header, then N blocks of 2048 bytes, N = header u32 at 40.
class Atomic_ID_Get_User_Record : public ICmd {
public:
    Atomic_ID_Get_User_Record();
    ~Atomic_ID_Get_User_Record() override;
    TAVORO_CMD_OPERATIONS
    uint8_t FHeader[kT100RecordHeaderSize] = {};
    uint8_t* FBlocks = nullptr; // N * 2048 bytes
};

class Atomic_ID_Set_User_Record : public ICmd {
public:
    Atomic_ID_Set_User_Record();
    ~Atomic_ID_Set_User_Record() override;
    TAVORO_CMD_OPERATIONS
    uint8_t FHeader[kT100RecordHeaderSize] = {};
    uint8_t* FBlocks = nullptr; // N * 2048 bytes, N = header u32 at 40
};

class Macro_ID_Enroll_User_Record : public ICmd {
public:
    Macro_ID_Enroll_User_Record();
    TAVORO_CMD_OPERATIONS
    virtual void SetRecordHeader(const void* header); // copies 44 bytes
    virtual uint8_t* GetRecordHeader();
    uint8_t FHeader[kT100RecordHeaderSize] = {};
};

class Macro_ID_Identify_378 : public ICmd {
public:
    Macro_ID_Identify_378();
    ~Macro_ID_Identify_378() override;
    TAVORO_CMD_OPERATIONS
    uint8_t* FTemplate = nullptr;
    uint32_t FTemplateSize = 0;
};

class Macro_ID_Delete_DB : public ICmd {
public:
    Macro_ID_Delete_DB();
    TAVORO_CMD_OPERATIONS
    uint32_t FValue = 0;
};

TAVORO_HEADER_ONLY_CMD(Macro_ID_Identify)

class Atomic_ID_Get_DB_Metrics : public ICmd {
public:
    Atomic_ID_Get_DB_Metrics();
    TAVORO_CMD_OPERATIONS
    uint8_t FBlock[28] = {};
};

class Atomic_ID_Get_Result : public ICmd {
public:
    Atomic_ID_Get_Result();
    TAVORO_CMD_OPERATIONS
    uint8_t FBlock[68] = {};
};

class Atomic_ID_Delete_User_Record : public ICmd {
public:
    Atomic_ID_Delete_User_Record();
    TAVORO_CMD_OPERATIONS
    uint8_t FHeader[kT100RecordHeaderSize] = {};
};

// Reply: argument N records of 28 bytes.
class Atomic_ID_Get_System_Metrics : public ICmd {
public:
    Atomic_ID_Get_System_Metrics();
    ~Atomic_ID_Get_System_Metrics() override;
    TAVORO_CMD_OPERATIONS
    uint8_t* FRecords = nullptr; // argument * 28 bytes
};

class Atomic_ID_Get_Parameters : public ICmd {
public:
    Atomic_ID_Get_Parameters();
    TAVORO_CMD_OPERATIONS
    uint8_t FBlock[20] = {};
};

class Atomic_ID_Set_Parameters : public ICmd {
public:
    Atomic_ID_Set_Parameters();
    TAVORO_CMD_OPERATIONS
    uint8_t FBlock[20] = {};
};

class Atomic_Set_Verification_Rules : public ICmd {
public:
    Atomic_Set_Verification_Rules();
    TAVORO_CMD_OPERATIONS
    uint8_t FBlock[28] = {};
};

class Atomic_Get_Verification_Rules : public ICmd {
public:
    Atomic_Get_Verification_Rules();
    TAVORO_CMD_OPERATIONS
    uint8_t FBlock[28] = {};
};

// Packing refuses a user record whose u32 at offset 12 is 256 or more.
class Macro_Enroll_User : public ICmd {
public:
    Macro_Enroll_User();
    TAVORO_CMD_OPERATIONS
    uint8_t FUser[kT100UserRecordSize] = {};
};

class Macro_Verify_User : public ICmd {
public:
    Macro_Verify_User();
    TAVORO_CMD_OPERATIONS
    uint8_t FUser[kT100UserRecordSize] = {};
};

TAVORO_HEADER_ONLY_CMD(Atomic_Delete_User)

class Atomic_Get_DB_Metrics : public ICmd {
public:
    Atomic_Get_DB_Metrics();
    TAVORO_CMD_OPERATIONS
    uint8_t FBlock[16] = {};
};

TAVORO_HEADER_ONLY_CMD(Atomic_Format_DB)

class Atomic_Set_Tag : public ICmd {
public:
    Atomic_Set_Tag();
    ~Atomic_Set_Tag() override;
    TAVORO_CMD_OPERATIONS
    uint8_t* FTag = nullptr;
    uint16_t FTagSize = 0;
};

// Command: argument 0 -> user record; 1 -> FValue; other -> nothing.
// Reply: user record, then L bytes, L = record u32 at offset 8.
class Atomic_Get_User : public ICmd {
public:
    Atomic_Get_User();
    ~Atomic_Get_User() override;
    TAVORO_CMD_OPERATIONS
    uint8_t FUser[kT100UserRecordSize] = {};
    uint32_t FValue = 0;
    uint8_t* FData = nullptr;
};

class Atomic_Add_User : public ICmd {
public:
    Atomic_Add_User();
    ~Atomic_Add_User() override;
    TAVORO_CMD_OPERATIONS
    uint8_t FUser[kT100UserRecordSize] = {};
    uint8_t* FData = nullptr; // record u32 at offset 8 bytes
};

class Atomic_Get_OP_Status : public ICmd {
public:
    Atomic_Get_OP_Status();
    TAVORO_CMD_OPERATIONS
    uint8_t FBlock[16] = {};
};

class Atomic_Get_Tag : public ICmd {
public:
    Atomic_Get_Tag();
    ~Atomic_Get_Tag() override;
    TAVORO_CMD_OPERATIONS
    uint8_t* FTag = nullptr;
    uint16_t FTagSize = 0;
};

class Macro_ID_Verify_378 : public ICmd {
public:
    Macro_ID_Verify_378();
    ~Macro_ID_Verify_378() override;
    TAVORO_CMD_OPERATIONS
    uint8_t FHeader[kT100RecordHeaderSize] = {};
    uint8_t* FTemplate = nullptr;
    uint32_t FTemplateSize = 0;
};

// Unpacking a reply always reports failure.
TAVORO_HEADER_ONLY_CMD(Macro_Save_Last_Capture)

class Macro_Update_Firmware : public ICmd {
public:
    Macro_Update_Firmware();
    ~Macro_Update_Firmware() override;
    TAVORO_CMD_OPERATIONS
    uint8_t* FFirmware = nullptr;
    uint32_t FFirmwareSize = 0;
};

class Atomic_ID_Get_User_Record_Header : public ICmd {
public:
    Atomic_ID_Get_User_Record_Header();
    TAVORO_CMD_OPERATIONS
    uint8_t FHeader[kT100RecordHeaderSize] = {};
};

// Command: u32 count N, N u32 lengths, then the N blocks back to back.
// FLengths is an owned array of FCount entries; FData holds the blocks back
// to back (the sum of FLengths bytes).
class Macro_ID_Verify_Many : public ICmd {
public:
    Macro_ID_Verify_Many();
    ~Macro_ID_Verify_Many() override;
    TAVORO_CMD_OPERATIONS
    uint32_t FCount = 0;
    uint32_t* FLengths = nullptr;
    uint8_t* FData = nullptr;
};

// The file name L-block is held in a 64-byte field; longer names are refused.
class Atomic_File_Delete : public ICmd {
public:
    Atomic_File_Delete();
    TAVORO_CMD_OPERATIONS
    uint32_t FNameSize = 0;
    char FName[64] = {};
    uint32_t FValue = 0;
};

TAVORO_HEADER_ONLY_CMD(Atomic_Reset)

// A reply only; the argument carries the sensor's error code.
class Atomic_Error : public ICmd {
public:
    Atomic_Error();
    TAVORO_CMD_OPERATIONS
    virtual void SetErrorCode(uint16_t code);
    virtual int32_t GetErrorCode(); // sign-extended argument
};

