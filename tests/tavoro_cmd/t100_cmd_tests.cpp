#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "plugins/tavoro/T100Cmd.h"

namespace {

using Bytes = std::vector<uint8_t>;
using CmdPtr = std::unique_ptr<ICmd>;

const uint32_t kCatalog[] = {4,   6,   65,  66,  67,  68,  69,  70,  71,  72,  73,  74,  76,  77,  84,
                             86,  87,  88,  89,  96,  97,  98,  99,  100, 101, 112, 113, 115, 116, 117,
                             118, 119, 120, 121, 122, 123, 124, 125, 126, 127, 128, 129, 130, 131, 132,
                             133, 134, 135, 136, 137, 139, 140, 160, 161, 162, 163, 164, 181, 194, 224};

template <class T>
std::unique_ptr<T> Make(uint32_t op) {
    ICmd* c = CreateCommand(op);
    T* t = dynamic_cast<T*>(c);
    EXPECT_NE(t, nullptr) << op;
    if (!t)
        delete c;
    return std::unique_ptr<T>(t);
}

void PutU32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(uint8_t(v >> (8 * i)));
}

uint32_t U32At(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
uint16_t U16At(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

Bytes Frame(uint32_t op, uint16_t arg, const Bytes& payload, uint32_t announced = UINT32_MAX) {
    Bytes b{0x0D, 0x56};
    PutU32(b, op);
    b.push_back(uint8_t(arg));
    b.push_back(uint8_t(arg >> 8));
    PutU32(b, announced == UINT32_MAX ? uint32_t(payload.size()) : announced);
    b.insert(b.end(), payload.begin(), payload.end());
    b.push_back(0);
    b.push_back(0);
    return b;
}

Bytes PackedCommand(ICmd& c) {
    uint8_t* p = nullptr;
    int32_t n = 0;
    if (!c.PackCommand(&p, &n))
        return {};
    return Bytes(p, p + n);
}

Bytes PackedResponse(ICmd& c) {
    uint8_t* p = nullptr;
    int32_t n = 0;
    if (!c.PackResponse(&p, &n))
        return {};
    return Bytes(p, p + n);
}

// Unpacks from an exactly sized heap copy so that ASan sees any overread.
bool UnpackReply(ICmd& c, const Bytes& b, size_t len) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[len ? len : 1]);
    if (len)
        std::memcpy(copy.get(), b.data(), len);
    return c.UnpackResponse(copy.get(), uint32_t(len));
}

bool UnpackCmd(ICmd& c, const Bytes& b, size_t len) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[len ? len : 1]);
    if (len)
        std::memcpy(copy.get(), b.data(), len);
    return c.UnpackCommand(copy.get(), uint32_t(len));
}

uint8_t* HeapCopy(const Bytes& b) {
    uint8_t* p = static_cast<uint8_t*>(std::malloc(b.size() ? b.size() : 1));
    if (!b.empty())
        std::memcpy(p, b.data(), b.size());
    return p;
}

TEST(T100Factory, KnowsTheCatalogAndNothingElse) {
    for (uint32_t op : kCatalog) {
        CmdPtr c(CreateCommand(op));
        ASSERT_NE(c, nullptr) << op;
        EXPECT_EQ(c->GetOpcode(), op);
        EXPECT_EQ(c->GetError(), 0u);
        EXPECT_EQ(c->PayloadLength(), 0u);
        EXPECT_EQ(c->CommandPacket(), nullptr);
        EXPECT_EQ(c->ResponsePacket(), nullptr);
    }
    for (uint32_t op : {0u, 1u, 75u, 78u, 138u, 225u, 0xFFFFFFFFu})
        EXPECT_EQ(CreateCommand(op), nullptr) << op;
}

TEST(T100Factory, PresetsDifferOnlyWhereListed) {
    auto sizes = [](uint32_t op) {
        CmdPtr c(CreateCommand(op));
        return std::make_pair(c->GetCommandSize(), c->GetResponseSize());
    };
    EXPECT_EQ(sizes(65), std::make_pair(18, 14));
    EXPECT_EQ(sizes(73), std::make_pair(18, 142));
    EXPECT_EQ(sizes(77), std::make_pair(18, 14));
    EXPECT_EQ(sizes(224), std::make_pair(0, 14));
    EXPECT_EQ(sizes(72), std::make_pair(14, 14));
    uint16_t arg = 0;
    CmdPtr(CreateCommand(71))->GetArgument(&arg);
    EXPECT_EQ(arg, 1);
    CmdPtr(CreateCommand(97))->GetArgument(&arg);
    EXPECT_EQ(arg, 0xFFFF);
    CmdPtr(CreateCommand(72))->GetArgument(&arg);
    EXPECT_EQ(arg, 0);
    EXPECT_EQ(Make<Atomic_Get_Status>(74)->FLengthWord, 32u);
    EXPECT_EQ(Make<Atomic_Set_LED>(84)->FSizeWord, 4u);
    EXPECT_EQ(Make<Atomic_Config_Comport>(86)->FSizeWord, 4u);
    EXPECT_EQ(Make<Atomic_Get_FIR_Image>(101)->FFirstWord, 255u);
}

TEST(T100Packets, CapturePathCommandsAreByteExact) {
    auto cfg = Make<Atomic_Get_Config>(73);
    EXPECT_EQ(PackedCommand(*cfg), Frame(73, 0, {0x80, 0, 0, 0}));
    EXPECT_EQ(cfg->GetCommandSize(), 18);

    CmdPtr arm(CreateCommand(71));
    arm->SetArgument(4);
    EXPECT_EQ(PackedCommand(*arm), Frame(71, 4, {}));
    EXPECT_EQ(arm->GetCommandSize(), 14);

    auto set = Make<Atomic_Set_Cmd>(77);
    for (int i = 0; i < 64; ++i)
        set->FBlock[i] = uint8_t(i);
    Bytes p = PackedCommand(*set);
    ASSERT_EQ(p.size(), 82u);
    EXPECT_EQ(U32At(&p[8]), 68u);
    EXPECT_EQ(U32At(&p[12]), 64u);
    EXPECT_EQ(p[16 + 63], 63);
    set->FBlockLength = 65;
    EXPECT_TRUE(PackedCommand(*set).empty());

    for (uint32_t op : {67u, 72u, 76u})
        EXPECT_EQ(PackedCommand(*CmdPtr(CreateCommand(op))), Frame(op, 0, {}));
}

TEST(T100Packets, PackingTwiceGivesTheSamePacket) {
    auto set = Make<Atomic_Set_Cmd>(77);
    Bytes first = PackedCommand(*set);
    EXPECT_EQ(PackedCommand(*set), first);
    EXPECT_EQ(set->GetCommandSize(), 82);
}

TEST(T100Replies, CapturePathRepliesAreRead) {
    Bytes cfgPayload(128);
    for (int i = 0; i < 128; ++i)
        cfgPayload[i] = uint8_t(200 - i);
    auto cfg = Make<Atomic_Get_Config>(73);
    ASSERT_TRUE(UnpackReply(*cfg, Frame(73, 0, cfgPayload), 142));
    EXPECT_EQ(0, std::memcmp(cfg->FConfig, cfgPayload.data(), 128));
    EXPECT_FALSE(UnpackReply(*Make<Atomic_Get_Config>(73), Frame(73, 0, Bytes(127)), 141));

    Bytes st;
    PutU32(st, 3);
    auto acq = Make<Atomic_Get_Acq_Status>(72);
    ASSERT_TRUE(UnpackReply(*acq, Frame(72, 0, st), 18));
    EXPECT_EQ(acq->FStatus, 3u);

    Bytes img;
    PutU32(img, 200);
    PutU32(img, 5);
    img.insert(img.end(), {1, 2, 3, 4, 5});
    auto comp = Make<Atomic_Get_Composite_Image>(67);
    ASSERT_TRUE(UnpackReply(*comp, Frame(67, 0, img), img.size() + 14));
    EXPECT_EQ(comp->FAcceptance, 200u);
    ASSERT_EQ(comp->FImageSize, 5u);
    EXPECT_EQ(comp->FImage[4], 5);

    for (uint32_t len : {63u, 65u, 0u}) {
        Bytes cmd;
        PutU32(cmd, len);
        cmd.resize(68, 7);
        EXPECT_FALSE(UnpackReply(*Make<Atomic_Get_Cmd>(76), Frame(76, 0, cmd), 82)) << len;
    }
    Bytes cmd;
    PutU32(cmd, 64);
    cmd.resize(68, 7);
    auto gc = Make<Atomic_Get_Cmd>(76);
    ASSERT_TRUE(UnpackReply(*gc, Frame(76, 0, cmd), 82));
    EXPECT_EQ(gc->FBlock[63], 7);
}

TEST(T100Replies, HeaderFieldsComeFromTheLastPacketRead) {
    CmdPtr c(CreateCommand(72));
    Bytes f = Frame(99, 0xBEEF, {9, 0, 0, 0});
    f[0] = 0x34;
    f[1] = 0x12;
    ASSERT_TRUE(UnpackReply(*c, f, f.size()));
    EXPECT_EQ(c->GetOpcode(), 99u);
    EXPECT_EQ(c->Marker(), 0x1234);
    EXPECT_EQ(c->Argument(), 0xBEEF);
    EXPECT_EQ(c->PayloadLength(), 4u);
}

TEST(T100Replies, LengthFieldsAreBoundedByTheBytesReceived) {
    // An image length beyond the packet.
    Bytes img;
    PutU32(img, 1);
    PutU32(img, 0xFFFFFFF0u);
    img.resize(16, 1);
    EXPECT_FALSE(UnpackReply(*CmdPtr(CreateCommand(67)), Frame(67, 0, img), img.size() + 14));
    // Header announcing more payload than arrived.
    Bytes st{1, 0, 0, 0};
    Bytes f = Frame(72, 0, st, 1000);
    EXPECT_TRUE(UnpackReply(*CmdPtr(CreateCommand(72)), f, f.size()));
    EXPECT_FALSE(UnpackReply(*CmdPtr(CreateCommand(72)), f, 15));
    // Header announcing less payload than the field needs.
    EXPECT_FALSE(UnpackReply(*CmdPtr(CreateCommand(72)), Frame(72, 0, st, 2), 18));
    // Record counts.
    Bytes rec(44, 0);
    rec[40] = 2;
    rec.resize(44 + 2048, 0);
    EXPECT_FALSE(UnpackReply(*CmdPtr(CreateCommand(116)), Frame(116, 0, rec), rec.size() + 14));
    rec.resize(44 + 4096, 0);
    EXPECT_TRUE(UnpackReply(*CmdPtr(CreateCommand(116)), Frame(116, 0, rec), rec.size() + 14));
    EXPECT_FALSE(UnpackReply(*CmdPtr(CreateCommand(125)), Frame(125, 3, Bytes(83)), 97));
    EXPECT_TRUE(UnpackReply(*CmdPtr(CreateCommand(125)), Frame(125, 3, Bytes(84)), 98));
    Bytes user(272, 0);
    user[8] = 10;
    user.resize(272 + 9);
    EXPECT_FALSE(UnpackReply(*CmdPtr(CreateCommand(136)), Frame(136, 0, user), user.size() + 14));
    EXPECT_FALSE(UnpackReply(*CmdPtr(CreateCommand(140)), Frame(140, 0, {5, 0, 1, 2, 3, 4}), 20));
    EXPECT_TRUE(UnpackReply(*CmdPtr(CreateCommand(140)), Frame(140, 0, {4, 0, 1, 2, 3, 4}), 20));
    // Shorter than a header.
    for (uint32_t op : kCatalog)
        EXPECT_FALSE(UnpackReply(*CmdPtr(CreateCommand(op)), Frame(op, 0, {}), 11)) << op;
}

TEST(T100Errors, ErrorRepliesAndSignExtension) {
    CmdPtr acq(CreateCommand(72));
    acq->SetError(0x1234);
    Bytes r = PackedResponse(*acq);
    EXPECT_EQ(r, Frame(72, 0x1234, {}));
    EXPECT_EQ(acq->GetResponseSize(), 14);

    // These two pack their normal reply even with an error set.
    auto cfg = Make<Atomic_Get_Config>(73);
    cfg->SetError(5);
    EXPECT_EQ(PackedResponse(*cfg).size(), 142u);
    CmdPtr arm(CreateCommand(71));
    arm->SetError(5);
    EXPECT_EQ(PackedResponse(*arm), Frame(71, 1, {}));

    CmdPtr none(CreateCommand(72));
    uint8_t* p = reinterpret_cast<uint8_t*>(1);
    EXPECT_TRUE(none->PackErrorResponse(&p, nullptr));
    EXPECT_EQ(none->ResponsePacket(), nullptr);
    none->SetError(0x12345);
    EXPECT_FALSE(none->PackErrorResponse(&p, nullptr));
    EXPECT_EQ(U16At(p + 6), 0x2345);

    auto err = Make<Atomic_Error>(224);
    err->SetErrorCode(0xFFF0);
    EXPECT_EQ(err->GetErrorCode(), -16);
    EXPECT_TRUE(PackedCommand(*err).empty());
    EXPECT_FALSE(UnpackCmd(*err, Frame(224, 0, {}), 14));
    auto back = Make<Atomic_Error>(224);
    ASSERT_TRUE(UnpackReply(*back, Frame(224, 0x8001, {}), 14));
    EXPECT_EQ(back->GetErrorCode(), -32767);
}

// Every class, defaults: host command -> sensor unpack -> identical re-pack,
// and sensor reply -> host unpack -> identical re-pack; truncated copies fail.
TEST(T100RoundTrip, EveryClassMirrorsBothSides) {
    for (uint32_t op : kCatalog) {
        CmdPtr host(CreateCommand(op));
        if (op == 97)
            host->SetArgument(0);
        Bytes cmd = PackedCommand(*host);
        if (op == 224) {
            EXPECT_TRUE(cmd.empty());
        } else {
            ASSERT_FALSE(cmd.empty()) << op;
            CmdPtr sensor(CreateCommand(op));
            ASSERT_TRUE(UnpackCmd(*sensor, cmd, cmd.size())) << op;
            EXPECT_EQ(PackedCommand(*sensor), cmd) << op;
        }
        CmdPtr sensor(CreateCommand(op));
        Bytes reply = PackedResponse(*sensor);
        ASSERT_FALSE(reply.empty()) << op;
        CmdPtr back(CreateCommand(op));
        bool ok = UnpackReply(*back, reply, reply.size());
        EXPECT_EQ(ok, op != 161) << op;
        EXPECT_EQ(PackedResponse(*back), reply) << op;
        uint32_t n = U32At(&reply[8]);
        for (size_t len = 0; len < 12 + n; ++len)
            EXPECT_FALSE(UnpackReply(*CmdPtr(CreateCommand(op)), reply, len)) << op << " " << len;
    }
}

TEST(T100RoundTrip, VariablePayloadsSurvive) {
    auto m = Make<Atomic_Match_Ex>(96);
    m->FFirstTemplate = HeapCopy({1, 2, 3});
    m->FFirstSize = 3;
    Bytes one = PackedCommand(*m);
    EXPECT_EQ(U16At(&one[6]), 1);
    EXPECT_EQ(one.size(), 14u + 7);
    m->FSecondTemplate = HeapCopy({4, 5});
    m->FSecondSize = 2;
    Bytes two = PackedCommand(*m);
    EXPECT_EQ(U16At(&two[6]), 2);
    auto ms = Make<Atomic_Match_Ex>(96);
    ASSERT_TRUE(UnpackCmd(*ms, two, two.size()));
    ASSERT_EQ(ms->FSecondSize, 2u);
    EXPECT_EQ(ms->FSecondTemplate[1], 5);

    auto vm = Make<Macro_ID_Verify_Many>(164);
    vm->FCount = 2;
    vm->FLengths = static_cast<uint32_t*>(std::malloc(8));
    vm->FLengths[0] = 1;
    vm->FLengths[1] = 3;
    vm->FData = HeapCopy({9, 8, 7, 6});
    Bytes v = PackedCommand(*vm);
    ASSERT_EQ(v.size(), 14u + 4 + 8 + 4);
    auto vs = Make<Macro_ID_Verify_Many>(164);
    ASSERT_TRUE(UnpackCmd(*vs, v, v.size()));
    EXPECT_EQ(vs->FLengths[1], 3u);
    EXPECT_EQ(vs->FData[3], 6);
    Bytes huge;
    PutU32(huge, 0x40000000);
    EXPECT_FALSE(UnpackCmd(*Make<Macro_ID_Verify_Many>(164), Frame(164, 0, huge), 18));

    auto tag = Make<Atomic_Set_Tag>(135);
    tag->FTag = HeapCopy({'a', 'b', 'c'});
    tag->FTagSize = 3;
    EXPECT_EQ(PackedCommand(*tag), Frame(135, 0, {3, 0, 'a', 'b', 'c'}));

    auto fd = Make<Atomic_File_Delete>(181);
    std::memcpy(fd->FName, "x.bin", 5);
    fd->FNameSize = 5;
    fd->FValue = 9;
    Bytes fdp = PackedCommand(*fd);
    EXPECT_EQ(fdp, Frame(181, 0, {5, 0, 0, 0, 'x', '.', 'b', 'i', 'n', 9, 0, 0, 0}));
    fd->FNameSize = 65;
    EXPECT_TRUE(PackedCommand(*fd).empty());

    auto gu = Make<Atomic_Get_User>(136);
    gu->SetArgument(1);
    gu->FValue = 0x01020304;
    EXPECT_EQ(PackedCommand(*gu), Frame(136, 1, {4, 3, 2, 1}));
    gu->SetArgument(7);
    EXPECT_EQ(PackedCommand(*gu), Frame(136, 7, {}));
    gu->SetArgument(0);
    EXPECT_EQ(PackedCommand(*gu).size(), 14u + 272);
}

TEST(T100Refusals, FieldsTheClassesRefuse) {
    auto spoof = Make<Atomic_Spoof_Get_Template>(97);
    EXPECT_TRUE(PackedCommand(*spoof).empty()); // preset 0xFFFF
    for (uint16_t arg : {3, 0x100}) {
        spoof->SetArgument(arg);
        EXPECT_TRUE(PackedCommand(*spoof).empty()) << arg;
        EXPECT_FALSE(UnpackCmd(*Make<Atomic_Spoof_Get_Template>(97), Frame(97, arg, {}), 14));
    }
    spoof->SetArgument(2);
    spoof->FData = HeapCopy({1});
    spoof->FDataSize = 1;
    EXPECT_EQ(PackedCommand(*spoof), Frame(97, 2, {1, 0, 0, 0, 1}));

    auto enroll = Make<Macro_Enroll_User>(130);
    enroll->FUser[12] = 255;
    EXPECT_EQ(PackedCommand(*enroll).size(), 14u + 272);
    enroll->FUser[13] = 1; // 0x1FF
    EXPECT_TRUE(PackedCommand(*enroll).empty());
    auto verify = Make<Macro_Verify_User>(131);
    verify->FUser[13] = 1;
    EXPECT_TRUE(PackedCommand(*verify).empty());

    // A missing buffer with a non-zero size is refused rather than read.
    auto st = Make<Atomic_Set_Template>(70);
    st->FTemplateSize = 10;
    EXPECT_TRUE(PackedCommand(*st).empty());

    Bytes cc{5, 0, 0, 0, 1, 2, 3, 4, 5};
    EXPECT_FALSE(UnpackCmd(*Make<Atomic_Config_Comport>(86), Frame(86, 0, cc), cc.size() + 14));
}

TEST(T100Refusals, SensorSideLimits) {
    Bytes t;
    PutU32(t, 2049);
    t.resize(4 + 2049);
    EXPECT_FALSE(UnpackCmd(*Make<Macro_ID_Identify_378>(119), Frame(119, 0, t), t.size() + 14));
    Bytes ok;
    PutU32(ok, 2048);
    ok.resize(4 + 2048);
    EXPECT_TRUE(UnpackCmd(*Make<Macro_ID_Identify_378>(119), Frame(119, 0, ok), ok.size() + 14));
    // The host side itself does not limit the template it sends.
    auto id = Make<Macro_ID_Identify_378>(119);
    id->FTemplate = static_cast<uint8_t*>(std::calloc(3000, 1));
    id->FTemplateSize = 3000;
    EXPECT_EQ(PackedCommand(*id).size(), 14u + 4 + 3000);

    Bytes fw;
    PutU32(fw, 0xA00001);
    fw.resize(4 + 0xA00001);
    EXPECT_FALSE(UnpackCmd(*Make<Macro_Update_Firmware>(162), Frame(162, 0, fw), fw.size() + 14));
    fw.resize(4 + 0xA00000);
    fw[0] = 0x00;
    EXPECT_TRUE(UnpackCmd(*Make<Macro_Update_Firmware>(162), Frame(162, 0, fw), fw.size() + 14));

    Bytes match;
    PutU32(match, 100);
    EXPECT_FALSE(UnpackCmd(*Make<Macro_Match>(4), Frame(4, 0, match), 18));
}

TEST(T100Ownership, ImageClassesLeaveAPackedImageToTheCaller) {
    Bytes pixels{1, 2, 3, 4};
    uint8_t* mine = HeapCopy(pixels);
    {
        auto set = Make<Atomic_Set_Image>(66);
        set->FImage = mine;
        set->FImageSize = 4;
        EXPECT_EQ(PackedCommand(*set), Frame(66, 0, {4, 0, 0, 0, 1, 2, 3, 4}));
    }
    EXPECT_EQ(mine[3], 4); // still ours (ASan: no use after free)
    {
        auto comp = Make<Atomic_Set_Composite_Image>(68);
        comp->FImage = mine;
        comp->FImageSize = 4;
        EXPECT_FALSE(PackedCommand(*comp).empty());
    }
    {
        auto get = Make<Atomic_Get_Image>(65);
        get->FImage = mine;
        get->FImageSize = 4;
        get->FValue = 7;
        EXPECT_EQ(PackedResponse(*get), Frame(65, 0, {7, 0, 0, 0, 4, 0, 0, 0, 1, 2, 3, 4}));
    }
    std::free(mine);
    {
        // Not packed: the object frees it (LeakSanitizer would report otherwise).
        auto set = Make<Atomic_Set_Image>(66);
        set->FImage = HeapCopy(pixels);
        set->FImageSize = 4;
    }
    {
        // Another class takes an attached buffer over even after packing.
        auto tpl = Make<Atomic_Set_Template>(70);
        tpl->FTemplate = HeapCopy(pixels);
        tpl->FTemplateSize = 4;
        EXPECT_FALSE(PackedCommand(*tpl).empty());
    }
    {
        // Unpacked data belongs to the object.
        auto get = Make<Atomic_Get_Image>(65);
        ASSERT_TRUE(UnpackReply(*get, Frame(65, 0, {7, 0, 0, 0, 2, 0, 0, 0, 9, 9}), 24));
        EXPECT_EQ(get->FImageSize, 2u);
        // Re-packing what it read does not hand its own buffer to anyone.
        EXPECT_EQ(PackedResponse(*get).size(), 24u);
        auto set = Make<Atomic_Set_Image>(66);
        ASSERT_TRUE(UnpackCmd(*set, Frame(66, 0, {1, 0, 0, 0, 5}), 19));
        EXPECT_EQ(PackedCommand(*set).size(), 19u);
    }
}

TEST(T100Replies, HeaderOnlyAndSpecialReplies) {
    EXPECT_TRUE(UnpackReply(*CmdPtr(CreateCommand(100)), Frame(100, 3, {}), 12));
    EXPECT_TRUE(UnpackReply(*CmdPtr(CreateCommand(181)), Frame(181, 3, {1, 2}), 16));
    EXPECT_FALSE(UnpackReply(*CmdPtr(CreateCommand(161)), Frame(161, 0, {}), 14));
    auto gpio = Make<Atomic_Get_GPIO>(99);
    ASSERT_TRUE(UnpackReply(*gpio, Frame(99, 0, {0x5A}), 15));
    EXPECT_EQ(gpio->FValue, 0x5A);

    auto enroll = Make<Macro_ID_Enroll_User_Record>(118);
    uint8_t hdr[44];
    for (int i = 0; i < 44; ++i)
        hdr[i] = uint8_t(i);
    enroll->SetRecordHeader(hdr);
    EXPECT_EQ(0, std::memcmp(enroll->GetRecordHeader(), hdr, 44));
    EXPECT_EQ(PackedCommand(*enroll).size(), 14u + 44);
}

} // namespace
