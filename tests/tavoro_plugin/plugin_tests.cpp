// The device handler's main-pipe protocol against a scripted service, and the
// OMR exports end to end against the simulated service and sensors.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TavoroSim.h"
#include "platform/pipes.h"
#include "platform/usb.h"
#include "plugins/tavoro/CaptureContext.h"
#include "plugins/tavoro/T100Cmd.h"
#include "plugins/tavoro/T100DeviceHandler.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

extern "C" {
const char* OMR_GetPrefix();
int32_t OMR_GetDeviceList(void* buffer, int32_t size);
void* OMR_OpenDevice(const char* serial);
uint8_t OMR_CloseDevice(void* handle);
uint8_t OMR_ShutdownDevice(void* handle);
uint8_t OMR_GetMaxSize(void* handle, TOmrImageSize* size);
uint8_t OMR_GetImage(void* handle, TOmrImage* image);
}

namespace {

uint32_t U32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

// Private pipe folder and an empty registry for this process (POSIX).
void PrivateEnvironment() {
#ifndef _WIN32
    static bool done = false;
    if (done)
        return;
    done = true;
    std::string base = "/tmp/dl-tavoro-plugin-" + std::to_string(getpid());
    setenv("DACTYLINK_PIPE_DIR", (base + "-pipes").c_str(), 1);
    setenv("DACTYLINK_REGISTRY", (base + "-reg").c_str(), 1);
#endif
}

// A main pipe that records every request and answers with `respond`.
class ScriptedService {
public:
    using Responder = std::function<std::vector<uint8_t>(const std::vector<uint8_t>&)>;
    // hangUp: the service closes the connection after each reply.
    explicit ScriptedService(Responder respond, bool hangUp = false) : FRespond(std::move(respond)), FHangUp(hangUp) {
        FServer = plat::CreatePipeServer("\\\\.\\PIPE\\TavoDeviceServiceMainPipe", 1);
        if (FServer)
            FThread = std::thread([this] { Serve(); });
    }
    ~ScriptedService() {
        FStop = true;
        if (FThread.joinable())
            FThread.join();
        if (FServer)
            plat::DestroyPipeServer(FServer);
    }
    bool Ok() const { return FServer != nullptr; }
    std::vector<std::vector<uint8_t>> Requests() {
        std::lock_guard<std::mutex> g(FLock);
        return FRequests;
    }

private:
    void Serve() {
        while (!FStop) {
            if (plat::AcceptPipeClient(FServer, 50) != 1)
                continue;
            for (;;) {
                std::vector<uint8_t> req(264);
                uint32_t got = 0;
                bool gone = false;
                while (got < req.size() && !FStop) {
                    uint32_t done = 0;
                    int r = plat::ServerRead(FServer, req.data() + got, uint32_t(req.size()) - got, &done, 50);
                    if (r < 0) {
                        gone = true;
                        break;
                    }
                    got += done;
                }
                if (gone || FStop)
                    break;
                {
                    std::lock_guard<std::mutex> g(FLock);
                    FRequests.push_back(req);
                }
                auto reply = FRespond(req);
                if (reply.empty() || !plat::ServerWrite(FServer, reply.data(), uint32_t(reply.size())) || FHangUp)
                    break;
            }
            plat::DisconnectPipeClient(FServer);
        }
    }
    Responder FRespond;
    bool FHangUp;
    plat::PipeServer* FServer = nullptr;
    std::thread FThread;
    std::atomic<bool> FStop{false};
    std::mutex FLock;
    std::vector<std::vector<uint8_t>> FRequests;
};

std::vector<uint8_t> Describe(uint32_t serviceId, uint32_t index, uint32_t type, uint32_t status) {
    std::vector<uint8_t> r(2356, 0xCC);
    Put32(&r[0], serviceId);
    Put32(&r[4], index);
    Put32(&r[8], type);
    Put32(&r[2352], status);
    return r;
}

class Handler : public ::testing::Test {
protected:
    void SetUp() override { PrivateEnvironment(); }
};

TEST_F(Handler, MainPipeRequestsAreExact) {
    ScriptedService service([](const std::vector<uint8_t>& req) -> std::vector<uint8_t> {
        switch (U32(req.data())) {
        case 0: {
            std::vector<uint8_t> r(264, 0);
            Put32(&r[4], 3);
            return r;
        }
        case 2:
            return U32(&req[4]) == 0 ? Describe(40, 5, 2, 0) : Describe(41, 6, 3, 0);
        case 1: {
            std::vector<uint8_t> r(520, 'x'); // texts filling all 260 bytes, unterminated
            std::memcpy(&r[260], "SensorPipeA", 12);
            return r;
        }
        }
        return {};
    });
    ASSERT_TRUE(service.Ok());
    T100DeviceHandler* h = T100DeviceHandler::Obtain();
    ASSERT_NE(h, nullptr);
    uint32_t count = 0;
    EXPECT_EQ(h->GetNumDevices(&count), 0);
    EXPECT_EQ(count, 3u);
    EXPECT_STREQ(h->MachineName(), ".");

    T100DeviceInfo usb{};
    std::strcpy(usb.machineName, ".");
    EXPECT_EQ(h->GetDevice(0, usb), 0);
    EXPECT_EQ(usb.kind, 0u);
    EXPECT_EQ(usb.index, 5u);
    EXPECT_EQ(usb.serviceId, 40u);
    EXPECT_EQ(usb.type, 2u);

    T100DeviceInfo se{};
    std::strcpy(se.machineName, ".");
    EXPECT_EQ(h->GetDevice(1, se), 0);
    EXPECT_EQ(se.kind, 1u);
    EXPECT_EQ(se.index, 6u);
    EXPECT_STREQ(se.pipeName, "SensorPipeA");
    EXPECT_EQ(std::strlen(se.secondName), 259u);
    T100DeviceHandler::Release();

    auto reqs = service.Requests();
    ASSERT_EQ(reqs.size(), 4u);
    auto check = [&](size_t i, uint32_t code, uint32_t arg, const char* caller) {
        EXPECT_EQ(reqs[i].size(), 264u);
        EXPECT_EQ(U32(reqs[i].data()), code) << i;
        EXPECT_EQ(U32(reqs[i].data() + 4), arg) << i;
        EXPECT_STREQ(reinterpret_cast<const char*>(reqs[i].data() + 8), caller) << i;
        for (size_t b = 8 + std::strlen(caller); b < 264; ++b)
            ASSERT_EQ(reqs[i][b], 0) << i << " " << b;
    };
    check(0, 0, 0, "T100DeviceHandler::GetNumDevices");
    check(1, 2, 0, "T100DeviceHandler::GetDevice");
    check(2, 2, 1, "T100DeviceHandler::GetDevice");
    check(3, 1, 41, "T100DeviceHandler::GetDevice");
}

TEST_F(Handler, ServiceStatusesMapToResults) {
    std::atomic<uint32_t> status{0};
    ScriptedService service([&](const std::vector<uint8_t>&) { return Describe(1, 0, 2, status); });
    ASSERT_TRUE(service.Ok());
    T100DeviceHandler* h = T100DeviceHandler::Obtain();
    const std::pair<uint32_t, int> table[] = {{0, 0},     {1, 162}, {2, 163}, {3, 163}, {4, 162}, {5, 162},
                                              {6, 164},   {7, 165}, {8, 162}, {9, 162}, {0xFFFFFFFF, 162}};
    for (auto [s, expected] : table) {
        status = s;
        T100DeviceInfo info{};
        EXPECT_EQ(h->GetDevice(0, info), expected) << s;
    }
    T100DeviceHandler::Release();
}

TEST_F(Handler, ShortServiceReplyIsAReadFailure) {
    ScriptedService service([](const std::vector<uint8_t>&) { return std::vector<uint8_t>(100, 0); }, true);
    ASSERT_TRUE(service.Ok());
    T100DeviceHandler* h = T100DeviceHandler::Obtain();
    T100DeviceInfo info{};
    // The service hangs up after 100 bytes of a 2356-byte reply.
    uint32_t count = 0;
    EXPECT_EQ(h->GetNumDevices(&count), 164);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(h->GetDevice(0, info), 164);
    T100DeviceHandler::Release();
}

TEST_F(Handler, WithoutServiceTheUsbInterfacesCount) {
    std::vector<std::string> list{"\\\\?\\usb#tavo#1", "\\\\?\\usb#tavo#2"};
    plat::SetDeviceInterfaceStandIns(&list);
    T100DeviceHandler* h = T100DeviceHandler::Obtain();
    uint32_t count = 0;
    EXPECT_EQ(h->GetNumDevices(&count), 0);
    EXPECT_EQ(count, 2u);
    T100DeviceInfo info{};
    EXPECT_EQ(h->GetDevice(1, info), 0);
    EXPECT_EQ(info.kind, 0u);
    EXPECT_EQ(info.index, 1u);
    EXPECT_EQ(info.serviceId, 1u);
    EXPECT_EQ(info.type, 0u);
    EXPECT_EQ(h->GetDevice(2, info), 162);
    T100DeviceHandler::Release();

    // A device whose transport cannot open (no pipes behind the interface).
    T100Device device;
    device.index = 0;
    size_t before = T100OpenTransportCount();
    EXPECT_EQ(T100DeviceOpen(device), 128);
    EXPECT_EQ(device.link, nullptr);
    EXPECT_EQ(T100OpenTransportCount(), before);
    T100DeviceClose(device); // does nothing
    device.index = 7;
    EXPECT_EQ(T100DeviceOpen(device), 162);
    plat::SetDeviceInterfaceStandIns(nullptr);
}

TEST_F(Handler, ObtainAndReleaseAreCounted) {
    T100DeviceHandler* a = T100DeviceHandler::Obtain();
    T100DeviceHandler* b = T100DeviceHandler::Obtain();
    EXPECT_EQ(a, b);
    a->SetMachineName("box");
    T100DeviceHandler::Release(); // b still in use
    EXPECT_STREQ(b->MachineName(), "box");
    T100DeviceHandler::Release();
}

#ifndef _WIN32
TEST_F(Handler, MachineNameComesFromTheRegistry) {
    std::string root = std::getenv("DACTYLINK_REGISTRY");
    std::string hkcu = root + "/HKEY_CURRENT_USER/Environment";
    std::string hklm = root + "/HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet/Control/Session Manager/Environment";
    EXPECT_EQ(T100MachineName(), ".");
    std::string cmd = "mkdir -p '" + hkcu + "' '" + hklm + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    auto write = [](const std::string& file, const std::string& text) {
        FILE* f = std::fopen(file.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs(text.c_str(), f);
        std::fclose(f);
    };
    write(hkcu + "/XDClientName", "sz:userbox\n");
    EXPECT_EQ(T100MachineName(), "userbox");
    write(hklm + "/XDClientName", "sz:machinebox\n");
    EXPECT_EQ(T100MachineName(), "machinebox");
    write(hklm + "/XDClientName", "dword:5\n"); // not a string: the user's value
    EXPECT_EQ(T100MachineName(), "userbox");
    std::remove((hklm + "/XDClientName").c_str());
    std::remove((hkcu + "/XDClientName").c_str());
    EXPECT_EQ(T100MachineName(), ".");
}
#endif

// ---------------------------------------------------------------- exports

class Exports : public ::testing::Test {
protected:
    void SetUp() override {
        PrivateEnvironment();
        NamedPipe::busyWaitMs = 20;
    }
    void TearDown() override {
        if (sim)
            sim->Stop();
        OMR_GetDeviceList(nullptr, -1); // leaves the cache as the next test finds it
    }
    void Start(size_t sensors, std::function<void(tavosim::SimConfig&)> tweak = nullptr) {
        tavosim::SimConfig cfg;
        cfg.sensors.assign(sensors, tavosim::SensorConfig{});
        for (size_t i = 0; i < sensors; ++i) {
            cfg.sensors[i].serialHigh = 0x00AB;
            cfg.sensors[i].serialLow = uint16_t(0x1234 + i);
            cfg.sensors[i].width = 40;
            cfg.sensors[i].height = 30;
        }
        if (tweak)
            tweak(cfg);
        sim = std::make_unique<tavosim::Simulator>(cfg);
        ASSERT_TRUE(sim->Start());
    }
    std::unique_ptr<tavosim::Simulator> sim;
};

TEST_F(Exports, DeviceListLayoutAndSizes) {
    Start(2);
    std::vector<uint8_t> buf(64, 0xEE);
    for (int32_t small = 0; small < 4; ++small) {
        EXPECT_EQ(OMR_GetDeviceList(buf.data(), small), 4);
        EXPECT_EQ(buf[0], 0xEE);
    }
    EXPECT_EQ(OMR_GetDeviceList(buf.data(), 4), 38);
    EXPECT_EQ(U32(buf.data()), 2u);
    EXPECT_EQ(buf[4], 0xEE);
    EXPECT_EQ(OMR_GetDeviceList(buf.data(), -5), 38);
    EXPECT_EQ(U32(buf.data()), 2u);
    EXPECT_EQ(buf[4], 0xEE);
    EXPECT_EQ(OMR_GetDeviceList(buf.data(), 37), 38);
    EXPECT_EQ(buf[4], 0xEE);

    EXPECT_EQ(OMR_GetDeviceList(buf.data(), 38), 38);
    EXPECT_EQ(buf[38], 0xEE);
    for (int i = 0; i < 2; ++i) {
        const char* p = nullptr;
        std::memcpy(&p, buf.data() + 4 + 8 * i, 8);
        EXPECT_EQ(p, reinterpret_cast<const char*>(buf.data() + 20 + 9 * i));
    }
    EXPECT_STREQ(reinterpret_cast<const char*>(buf.data() + 20), "00AB1234");
    EXPECT_STREQ(reinterpret_cast<const char*>(buf.data() + 29), "00AB1235");
    EXPECT_STREQ(OMR_GetPrefix(), "Tavoro");
    EXPECT_EQ(OMR_GetPrefix(), OMR_GetPrefix());
}

TEST_F(Exports, ReaderThatDoesNotAnswerIsLeftOut) {
    Start(3, [](tavosim::SimConfig& c) {
        c.sensors[1].errorOpcode = OP_Atomic_Get_Config;
        c.sensors[1].errorCode = 5;
        c.sensors[2].serialLow = 0xBEEF;
    });
    std::vector<uint8_t> buf(64);
    EXPECT_EQ(OMR_GetDeviceList(buf.data(), 64), 38);
    EXPECT_STREQ(reinterpret_cast<const char*>(buf.data() + 29), "00ABBEEF");
    uint64_t before = sim->Requests(2);
    void* h = OMR_OpenDevice("00ABBEEF");
    ASSERT_NE(h, nullptr);
    EXPECT_GT(sim->Requests(2), before);
    EXPECT_EQ(OMR_OpenDevice("00AB1235"), nullptr);
    EXPECT_EQ(OMR_OpenDevice("00ABBEE"), nullptr);
    EXPECT_EQ(OMR_CloseDevice(h), 1);
}

TEST_F(Exports, CaptureThroughTheExports) {
    Start(1);
    std::vector<uint8_t> list(64);
    ASSERT_EQ(OMR_GetDeviceList(list.data(), 64), 21);
    void* h = OMR_OpenDevice("00AB1234");
    ASSERT_NE(h, nullptr);
    TOmrImageSize size{};
    ASSERT_EQ(OMR_GetMaxSize(h, &size), 1);
    EXPECT_EQ(size.Width, 40);
    EXPECT_EQ(size.Height, 30);
    EXPECT_EQ(size.ByteSize, 1200);
    std::vector<uint8_t> record(20 + 1200 + 8, 0xEE);
    auto* image = reinterpret_cast<TOmrImage*>(record.data());
    EXPECT_EQ(OMR_GetImage(h, image), 0); // the first poll arms
    int got = 0;
    for (int i = 0; i < 200 && !got; ++i)
        got = OMR_GetImage(h, image);
    ASSERT_EQ(got, 1);
    EXPECT_EQ(image->Size.Width, 40);
    EXPECT_EQ(image->Resolution, 500);
    EXPECT_EQ(record[20 + 1200], 0xEE);
    EXPECT_EQ(OMR_ShutdownDevice(h), 1);
    EXPECT_EQ(OMR_GetImage(h, image), 0);
    EXPECT_EQ(OMR_CloseDevice(h), 1);
}

TEST_F(Exports, ImageBeforeMaxSizeHasNoSizeAndNoPixels) {
    Start(1);
    std::vector<uint8_t> list(64);
    OMR_GetDeviceList(list.data(), 64);
    void* h = OMR_OpenDevice("00AB1234");
    ASSERT_NE(h, nullptr);
    std::vector<uint8_t> record(24, 0xEE);
    auto* image = reinterpret_cast<TOmrImage*>(record.data());
    int got = 0;
    for (int i = 0; i < 200 && !got; ++i)
        got = OMR_GetImage(h, image);
    ASSERT_EQ(got, 1);
    EXPECT_EQ(image->Size.Width, 0);
    EXPECT_EQ(image->Size.ByteSize, 0);
    EXPECT_EQ(record[20], 0xEE);
    EXPECT_EQ(OMR_CloseDevice(h), 1);
}

TEST_F(Exports, ForeignAndNullHandlesAreRefused) {
    uint8_t foreign[64];
    std::memset(foreign, 0x5A, sizeof foreign);
    TOmrImageSize size{};
    std::vector<uint8_t> record(64);
    auto* image = reinterpret_cast<TOmrImage*>(record.data());
    for (void* h : {static_cast<void*>(foreign), static_cast<void*>(nullptr)}) {
        EXPECT_EQ(OMR_CloseDevice(h), 0);
        EXPECT_EQ(OMR_ShutdownDevice(h), 0);
        EXPECT_EQ(OMR_GetMaxSize(h, &size), 0);
        EXPECT_EQ(OMR_GetImage(h, image), 0);
    }
    EXPECT_EQ(OMR_OpenDevice(nullptr), nullptr);
}

TEST_F(Exports, NoReaderEmptiesTheCache) {
    Start(1);
    std::vector<uint8_t> list(64);
    ASSERT_EQ(OMR_GetDeviceList(list.data(), 64), 21);
    sim->Stop();
    sim.reset();
    EXPECT_EQ(OMR_GetDeviceList(list.data(), 64), 4);
    EXPECT_EQ(U32(list.data()), 0u);
    EXPECT_EQ(OMR_OpenDevice("00AB1234"), nullptr);
}

TEST_F(Exports, ShutdownThenCloseStopsOnce) {
    Start(1);
    std::vector<uint8_t> list(64);
    OMR_GetDeviceList(list.data(), 64);
    void* h = OMR_OpenDevice("00AB1234");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(OMR_ShutdownDevice(h), 1);
    auto ops = sim->Opcodes(0);
    EXPECT_EQ(OMR_ShutdownDevice(h), 1);
    EXPECT_EQ(OMR_CloseDevice(h), 1);
    EXPECT_EQ(sim->Opcodes(0), ops); // no second trigger 0
}

// POSIX only for now: under wine the simulator's stand-in bulk pipes do not
// accept a sensor a second time (the listing's open and close, then the real
// open), so the second open of the same sensor fails there.
#ifndef _WIN32
TEST_F(Exports, WithoutServiceTheSensorsAreReachedOverUsb) {
    Start(2, [](tavosim::SimConfig& c) {
        c.serveMain = false;
        for (size_t i = 0; i < c.sensors.size(); ++i) {
            c.sensors[i].usbPath = "\\\\?\\tavo#plugin#" + std::to_string(i);
            c.sensors[i].deviceType = 0;
        }
    });
    std::vector<std::string> paths = sim->UsbInterfacePaths();
    plat::SetDeviceInterfaceStandIns(&paths);
    std::vector<uint8_t> list(64);
    EXPECT_EQ(OMR_GetDeviceList(list.data(), 64), 38);
    EXPECT_STREQ(reinterpret_cast<const char*>(list.data() + 29), "00AB1235");
    EXPECT_EQ(T100OpenTransportCount(), 0u);
    void* h = OMR_OpenDevice("00AB1235");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(T100OpenTransportCount(), 1u);
    TOmrImageSize size{};
    ASSERT_EQ(OMR_GetMaxSize(h, &size), 1);
    std::vector<uint8_t> record(20 + size_t(size.ByteSize));
    int got = 0;
    for (int i = 0; i < 200 && !got; ++i)
        got = OMR_GetImage(h, reinterpret_cast<TOmrImage*>(record.data()));
    EXPECT_EQ(got, 1);
    EXPECT_EQ(OMR_CloseDevice(h), 1);
    EXPECT_EQ(T100OpenTransportCount(), 0u);
    sim->Stop();
    plat::SetDeviceInterfaceStandIns(nullptr);
}
#endif

} // namespace
