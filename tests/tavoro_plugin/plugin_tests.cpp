// The device handler's main-pipe protocol against a scripted service, and the
// OMR exports end to end against the simulated service and sensors.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TavoroSim.h"
#include "platform/errors.h"
#include "platform/pipes.h"
#include "platform/usb.h"
#include "plugins/tavoro/CaptureContext.h"
#include "plugins/tavoro/T100Cmd.h"
#include "plugins/tavoro/T100DeviceHandler.h"
#include "plugins/tavoro/T100Diag.h"

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
    // Left behind, these folders pile up in /tmp, one pair per run.
    static struct Cleanup {
        std::string base;
        ~Cleanup() {
            std::error_code ec;
            std::filesystem::remove_all(base + "-pipes", ec);
            std::filesystem::remove_all(base + "-reg", ec);
        }
    } cleanup{base};
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

// ---------------------------------------------------------------- faults

using Clock = std::chrono::steady_clock;

template <class Pred>
bool WaitFor(Pred pred, int ms) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

long long MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// The images simulated sensor slot `slot` serves.
std::vector<std::vector<uint8_t>> ImagesOf(size_t slot, int width, int height) {
    std::vector<std::vector<uint8_t>> images;
    for (uint32_t k = 0; k < 3; ++k)
        images.push_back(tavosim::MakeImage(width, height, uint32_t(slot * 31 + k + 1)));
    return images;
}

// Polls one handle as the host does, without a pause, and counts the images
// it delivers and, among them, those that are none of `expected`.
class Poller {
public:
    Poller(void* handle, int32_t byteSize, std::vector<std::vector<uint8_t>> expected)
        : FHandle(handle), FRecord(20 + size_t(byteSize)), FExpected(std::move(expected)) {
        FThread = std::thread([this] {
            while (!FStop) {
                ++calls;
                if (OMR_GetImage(FHandle, reinterpret_cast<TOmrImage*>(FRecord.data())) != 1)
                    continue;
                std::vector<uint8_t> image(FRecord.begin() + 20, FRecord.end());
                bool known = false;
                {
                    std::lock_guard<std::mutex> g(FLock);
                    for (auto& e : FExpected)
                        known = known || e == image;
                }
                if (!known)
                    ++wrong;
                ++delivered;
            }
        });
    }
    // Shuts the device down (as the host's stop does) and ends the polling.
    long long Shutdown() {
        if (FStop)
            return 0;
        auto begun = Clock::now();
        OMR_ShutdownDevice(FHandle);
        long long took = MsSince(begun);
        FStop = true;
        if (FThread.joinable())
            FThread.join();
        return took;
    }
    ~Poller() { Shutdown(); }
    // Only after a restart: the sensor's images may change places.
    void Expect(std::vector<std::vector<uint8_t>> expected) {
        std::lock_guard<std::mutex> g(FLock);
        FExpected = std::move(expected);
    }
    size_t Count() const { return delivered; }
    std::atomic<uint64_t> calls{0};
    std::atomic<size_t> delivered{0};
    std::atomic<size_t> wrong{0};

private:
    void* FHandle;
    std::vector<uint8_t> FRecord;
    std::mutex FLock;
    std::vector<std::vector<uint8_t>> FExpected;
    std::thread FThread;
    std::atomic<bool> FStop{false};
};

class Faults : public Exports {
protected:
    void SetUp() override {
        Exports::SetUp();
        T100ForgetMessages();
    }
    void TearDown() override {
        NamedPipe::transferWaitMs = NamedPipe::kTransferWaitMs;
        T100DeviceHandler::mainPipeWaitMs = T100DeviceHandler::kMainPipeWaitMs;
        T100DeviceHandler::walkLimitMs = T100DeviceHandler::kWalkLimitMs;
        Exports::TearDown();
    }
    void* Open(const char* serial) {
        void* h = OMR_OpenDevice(serial);
        TOmrImageSize size{};
        if (h)
            OMR_GetMaxSize(h, &size);
        return h;
    }
    // Lists the sensors (a list of `listed` bytes) and opens the first one.
    void ListAndOpenFirst(int32_t listed, void*& handle) {
        std::vector<uint8_t> list(64);
        ASSERT_EQ(OMR_GetDeviceList(list.data(), 64), listed);
        handle = Open("00AB1234");
        ASSERT_NE(handle, nullptr);
    }
};

// The service restarts while two sensors capture and is back 2 s later, with
// the sensors listed in the other order under new pipe names: both handles
// capture again by themselves, each from its own sensor, and meanwhile the
// plug-in neither spins nor floods the output.
TEST_F(Faults, ServiceRestartedCaptureResumes) {
    Start(2);
    std::vector<uint8_t> list(64);
    ASSERT_EQ(OMR_GetDeviceList(list.data(), 64), 38);
    void* a = Open("00AB1234");
    void* b = Open("00AB1235");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    Poller pa(a, 1200, ImagesOf(0, 40, 30)), pb(b, 1200, ImagesOf(1, 40, 30));
    ASSERT_TRUE(WaitFor([&] { return pa.Count() >= 2 && pb.Count() >= 2; }, 10000));

    testing::internal::CaptureStdout();
    uint64_t printed = T100PrintedMessages();
    sim->RestartService(2000, true);
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // both have noticed
    uint64_t calls = pa.calls + pb.calls;
    size_t before[2] = {pa.Count(), pb.Count()};
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    // Back-off 50 ms doubling to 1 s: a few polls each, not a spinning core.
    EXPECT_LE(pa.calls + pb.calls - calls, 30u);
    EXPECT_EQ(pa.Count(), before[0]);
    EXPECT_EQ(pb.Count(), before[1]);

    auto back = Clock::now() + std::chrono::milliseconds(200);
    bool resumed = WaitFor([&] { return pa.Count() >= before[0] + 2 && pb.Count() >= before[1] + 2; }, 10000);
    long long recovery = MsSince(back);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(resumed);
    std::printf("capture resumed %lld ms after the service came back\n", recovery);
    // About one line a second for each distinct failure, not one per attempt.
    EXPECT_LE(T100PrintedMessages() - printed, 30u) << out;
    EXPECT_GE(static_cast<CaptureContext*>(a)->reconnects.load(), 1u);
    EXPECT_EQ(pa.wrong, 0u);
    EXPECT_EQ(pb.wrong, 0u);
    pa.Shutdown();
    pb.Shutdown();
    OMR_CloseDevice(a);
    OMR_CloseDevice(b);
}

// A sensor unplugged while capturing and plugged back 2 s later, listed last
// under a new pipe name: the same.
TEST_F(Faults, SensorReplugCaptureResumes) {
    Start(2);
    void* a = nullptr;
    ASSERT_NO_FATAL_FAILURE(ListAndOpenFirst(38, a));
    Poller pa(a, 1200, ImagesOf(0, 40, 30));
    ASSERT_TRUE(WaitFor([&] { return pa.Count() >= 2; }, 10000));
    testing::internal::CaptureStdout();
    uint64_t printed = T100PrintedMessages();
    ASSERT_TRUE(sim->Unplug(0, 2000, true));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    uint64_t calls = pa.calls;
    size_t before = pa.Count();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_LE(pa.calls - calls, 15u);
    EXPECT_EQ(pa.Count(), before);
    auto back = Clock::now() + std::chrono::milliseconds(200);
    bool resumed = WaitFor([&] { return pa.Count() >= before + 2; }, 10000);
    long long recovery = MsSince(back);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(resumed);
    std::printf("capture resumed %lld ms after the sensor was plugged back\n", recovery);
    EXPECT_LE(T100PrintedMessages() - printed, 20u) << out;
    EXPECT_EQ(pa.wrong, 0u);
    pa.Shutdown();
    OMR_CloseDevice(a);
}

// A composite image with fewer pixels than its size is never delivered.
TEST_F(Faults, ShortImageIsNeverDelivered) {
    Start(1);
    void* a = nullptr;
    ASSERT_NO_FATAL_FAILURE(ListAndOpenFirst(21, a));
    Poller pa(a, 1200, ImagesOf(0, 40, 30));
    ASSERT_TRUE(WaitFor([&] { return pa.Count() >= 1; }, 10000));
    testing::internal::CaptureStdout();
    for (int i = 0; i < 3; ++i) {
        size_t before = pa.Count();
        ASSERT_TRUE(sim->InjectReplyFault(0, tavosim::PendingFault{tavosim::ReplyFault::ShortImage, 1000, 0}));
        EXPECT_TRUE(WaitFor([&] { return pa.Count() >= before + 2; }, 10000));
    }
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("image of 1000 bytes is shorter than 1200"), std::string::npos) << out;
    EXPECT_EQ(pa.wrong, 0u);
    pa.Shutdown();
    OMR_CloseDevice(a);
}

// After a restart the sensors come back with their serials swapped: a handle
// follows its serial words, never the index it had.
TEST_F(Faults, SensorsSwappedAreFoundBySerial) {
    Start(2);
    void* a = nullptr;
    ASSERT_NO_FATAL_FAILURE(ListAndOpenFirst(38, a));
    Poller pa(a, 1200, ImagesOf(0, 40, 30));
    ASSERT_TRUE(WaitFor([&] { return pa.Count() >= 1; }, 10000));
    testing::internal::CaptureStdout();
    sim->SetServing(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    size_t before = pa.Count();
    EXPECT_EQ(pa.wrong, 0u);
    pa.Expect(ImagesOf(1, 40, 30)); // the slot that carries its serial from now on
    tavosim::SensorConfig s0 = sim->Sensor(0), s1 = sim->Sensor(1);
    std::swap(s0.serialLow, s1.serialLow);
    sim->Configure(0, s0);
    sim->Configure(1, s1);
    sim->SetServing(true);
    EXPECT_TRUE(WaitFor([&] { return pa.Count() >= before + 2; }, 10000));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(pa.wrong, 0u);
    pa.Shutdown();
    OMR_CloseDevice(a);
}

// Replies later than the limit: capture goes on afterwards with correct
// images, byte for byte.
TEST_F(Faults, LateRepliesThenCorrectImages) {
    Start(1);
    NamedPipe::transferWaitMs = 400;
    void* a = nullptr;
    ASSERT_NO_FATAL_FAILURE(ListAndOpenFirst(21, a));
    Poller pa(a, 1200, ImagesOf(0, 40, 30));
    ASSERT_TRUE(WaitFor([&] { return pa.Count() >= 1; }, 10000));
    testing::internal::CaptureStdout();
    tavosim::SensorConfig s = sim->Sensor(0);
    s.delayMs = 700;
    sim->Configure(0, s);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    s.delayMs = 0;
    sim->Configure(0, s);
    size_t before = pa.Count();
    EXPECT_TRUE(WaitFor([&] { return pa.Count() >= before + 4; }, 10000));
    // Single late replies, to a status request and to an image.
    for (uint32_t opcode : {uint32_t(OP_Atomic_Get_Acq_Status), uint32_t(OP_Atomic_Get_Composite_Image)}) {
        before = pa.Count();
        ASSERT_TRUE(sim->InjectReplyFault(0, tavosim::PendingFault{tavosim::ReplyFault::Late, 700, opcode}));
        EXPECT_TRUE(WaitFor([&] { return pa.Count() >= before + 3; }, 10000));
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(pa.wrong, 0u);
    pa.Shutdown();
    OMR_CloseDevice(a);
}

// A stop while the service has gone silent ends the exchange in flight: it
// returns at once, not after the reply limit.
TEST_F(Faults, StopDuringASilentServiceReturnsAtOnce) {
    Start(1);
    void* a = nullptr;
    ASSERT_NO_FATAL_FAILURE(ListAndOpenFirst(21, a));
    Poller pa(a, 1200, ImagesOf(0, 40, 30));
    ASSERT_TRUE(WaitFor([&] { return pa.Count() >= 1; }, 10000));
    tavosim::SensorConfig s = sim->Sensor(0);
    s.silent = true;
    sim->Configure(0, s);
    testing::internal::CaptureStdout();
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // an exchange waits for its reply
    long long took = pa.Shutdown();
    testing::internal::GetCapturedStdout();
    std::printf("the stop took %lld ms\n", took);
    EXPECT_LT(took, 1000); // the reply limit is 5 s
    OMR_CloseDevice(a);
}

// A count of four billion lists 64 readers at most.
TEST_F(Faults, DeviceCountIsCapped) {
    std::atomic<int> describes{0};
    ScriptedService service([&](const std::vector<uint8_t>& req) -> std::vector<uint8_t> {
        if (U32(req.data()) == 0) {
            std::vector<uint8_t> r(264, 0);
            Put32(&r[4], 0xFFFFFFFFu);
            return r;
        }
        ++describes;
        return Describe(0, 0, 2, 1); // not found
    });
    ASSERT_TRUE(service.Ok());
    std::vector<uint8_t> list(64);
    testing::internal::CaptureStdout();
    EXPECT_EQ(OMR_GetDeviceList(list.data(), 64), 4);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(describes, 64);
    EXPECT_NE(out.find("reports 4294967295 sensors"), std::string::npos) << out;
}

// A service that accepts and never answers holds neither the count nor the
// listing beyond their limits.
TEST_F(Faults, StalledServiceDoesNotHoldTheListing) {
    std::atomic<bool> release{false};
    std::atomic<bool> answerCount{false};
    ScriptedService service([&](const std::vector<uint8_t>& req) -> std::vector<uint8_t> {
        if (U32(req.data()) == 0 && answerCount) {
            std::vector<uint8_t> r(264, 0);
            Put32(&r[4], 64);
            return r;
        }
        WaitFor([&] { return release.load(); }, 20000);
        return {};
    });
    ASSERT_TRUE(service.Ok());
    T100DeviceHandler::mainPipeWaitMs = 300;
    T100DeviceHandler::walkLimitMs = 1000;
    testing::internal::CaptureStdout();
    T100DeviceHandler* h = T100DeviceHandler::Obtain();
    uint32_t count = 7;
    EXPECT_EQ(h->GetNumDevices(&count), 164);
    EXPECT_EQ(count, 0u);
    T100DeviceHandler::Release();
    release = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    release = false;

    // A count of 64 and every describe stalled: a few limits, not 64.
    answerCount = true;
    auto begun = Clock::now();
    std::vector<uint8_t> list(64);
    EXPECT_EQ(OMR_GetDeviceList(list.data(), 64), 4);
    long long took = MsSince(begun);
    testing::internal::GetCapturedStdout();
    release = true;
    EXPECT_LT(took, 5000); // 64 times the limit would be 19 s
}

// Of the two attempts on a busy main pipe, only the first is followed by a wait.
TEST_F(Faults, BusyMainPipeIsWaitedForOnce) {
    ScriptedService service([](const std::vector<uint8_t>&) { return std::vector<uint8_t>(264, 0); });
    ASSERT_TRUE(service.Ok());
    std::string name = "\\\\.\\PIPE\\TavoDeviceServiceMainPipe";
    std::vector<plat::OsHandle> held;
    bool busy = false;
    for (int i = 0; i < 4 && !busy; ++i) {
        plat::OsHandle h = plat::OpenPipe(name, false);
        if (plat::IsValidOsHandle(h)) {
            held.push_back(h);
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        } else {
            busy = plat::LastError() == plat::kErrorPipeBusy;
        }
    }
    ASSERT_TRUE(busy);
    int waits = T100DeviceHandler::mainBusyWaits;
    T100DeviceHandler* h = T100DeviceHandler::Obtain();
    uint32_t count = 0;
    EXPECT_EQ(h->GetNumDevices(&count), 0); // falls back to the USB interfaces
    T100DeviceHandler::Release();
    EXPECT_EQ(T100DeviceHandler::mainBusyWaits - waits, 1);
    for (auto p : held)
        plat::CloseOsHandle(p);
}

} // namespace
