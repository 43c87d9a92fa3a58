#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "plugins/tavoro/CaptureContext.h"
#include "plugins/tavoro/T100DeviceHandler.h"
#include "scripted_transport.h"

namespace {

const char kTag[] = "Tavoro";

struct Cycle {
    std::shared_ptr<Script> script = std::make_shared<Script>();
    CaptureContext context;
    std::vector<uint8_t> record = std::vector<uint8_t>(20 + 64 + 16, 0xEE);

    explicit Cycle(bool trigger1Model) {
        uint8_t config[128] = {};
        if (trigger1Model) {
            config[0] = 0x25;
            config[1] = 0x05;
            config[2] = 0x24;
            config[3] = 0x34;
        }
        for (int i = 0; i < 64; ++i)
            script->cmdBlock[i] = uint8_t(0xA0 + i);
        script->image.assign(64, 0x11);
        context.Attach(kTag, new ScriptedTransport(script), config);
        context.keptSize = TOmrImageSize{8, 8, 64};
    }
    ~Cycle() { context.Stop(); }
    TOmrImage* Image() { return reinterpret_cast<TOmrImage*>(record.data()); }
    int Step() { return context.Step(Image()); }
    // Status answers for the next exchanges.
    void Statuses(std::initializer_list<uint32_t> s) {
        std::lock_guard<std::mutex> g(script->lock);
        script->statuses.insert(script->statuses.end(), s);
    }
};

TEST(CaptureCycle, FirstStepArmsTheTrigger1Model) {
    Cycle c(true);
    c.Statuses({7, 1, 1, 10});
    EXPECT_EQ(c.Step(), 0);
    EXPECT_EQ(c.context.state, ArmedTrigger1);
    std::vector<uint32_t> expected{72, 76, 77, 71, 72, 72, 72, 71};
    EXPECT_EQ(c.script->Opcodes(), expected);
    EXPECT_EQ(c.script->Triggers(), (std::vector<uint16_t>{0, 1}));
    // Only the words at 2 and 20 of the settings block are cleared.
    ASSERT_EQ(c.script->setBlock.size(), 64u);
    for (int i = 0; i < 64; ++i) {
        bool cleared = i == 2 || i == 3 || i == 20 || i == 21;
        EXPECT_EQ(c.script->setBlock[i], cleared ? 0 : uint8_t(0xA0 + i)) << i;
    }
}

TEST(CaptureCycle, Trigger1ModelCapturesAndJudgesAcceptance) {
    Cycle c(true);
    c.Statuses({1, 0});
    c.Step(); // arms
    c.Statuses({1});
    EXPECT_EQ(c.Step(), 0); // nothing yet
    EXPECT_EQ(c.context.state, ArmedTrigger1);
    c.Statuses({4});
    EXPECT_EQ(c.Step(), 0);
    EXPECT_EQ(c.context.state, Capturing);
    c.Statuses({2});
    EXPECT_EQ(c.Step(), 0);
    EXPECT_EQ(c.context.state, Capturing);

    c.script->acceptance = 199;
    for (int i = 0; i < 64; ++i)
        c.script->image[i] = uint8_t(i);
    c.Statuses({0, 0}); // image ready, then the re-arm's poll
    EXPECT_EQ(c.Step(), 1);
    EXPECT_EQ(c.Image()->Size.Width, 8);
    EXPECT_EQ(c.Image()->Size.ByteSize, 64);
    EXPECT_EQ(c.Image()->Format, 0);
    EXPECT_EQ(c.Image()->Resolution, 500);
    EXPECT_EQ(c.record[20 + 63], 63);
    EXPECT_EQ(c.context.state, ArmedTrigger1); // re-armed

    c.Statuses({4});
    c.Step();
    c.script->acceptance = 200;
    c.script->image.assign(64, 0x77);
    c.Statuses({0, 0});
    size_t before = c.script->Count();
    EXPECT_EQ(c.Step(), 0);
    EXPECT_EQ(c.record[20], 0x77); // the rejected image stays in the record
    EXPECT_EQ(c.context.state, ArmedTrigger1);
    auto ops = c.script->Opcodes();
    EXPECT_EQ(std::vector<uint32_t>(ops.begin() + long(before), ops.begin() + long(before) + 3),
              (std::vector<uint32_t>{72, 67, 76}));
}

TEST(CaptureCycle, OtherModelsUseTrigger4ThenRetrigger) {
    Cycle c(false);
    c.Statuses({1, 0});
    c.Step();
    EXPECT_EQ(c.context.state, ArmedTrigger4);
    EXPECT_EQ(c.script->Triggers(), (std::vector<uint16_t>{0, 4}));
    c.Statuses({2});
    c.Step();
    EXPECT_EQ(c.context.state, ArmedTrigger4);
    c.Statuses({4, 5, 10});
    EXPECT_EQ(c.Step(), 0);
    EXPECT_EQ(c.context.state, Capturing);
    EXPECT_EQ(c.script->Triggers(), (std::vector<uint16_t>{0, 4, 0, 1}));
}

TEST(CaptureCycle, Status3AndFailuresRearm) {
    Cycle c(true);
    c.Statuses({1, 0, 4});
    c.Step();
    c.Step();
    ASSERT_EQ(c.context.state, Capturing);
    c.Statuses({3, 0});
    EXPECT_EQ(c.Step(), 0);
    EXPECT_EQ(c.context.state, ArmedTrigger1);

    // A failing settings read leaves the state alone; the next step arms again.
    Cycle f(true);
    f.script->failOpcode = OP_Atomic_Get_Cmd;
    f.Step();
    EXPECT_EQ(f.context.state, Idle);
    EXPECT_EQ(f.script->Opcodes(), (std::vector<uint32_t>{72, 76}));
    f.script->failOpcode = 0;
    f.Statuses({1, 0});
    f.Step();
    EXPECT_EQ(f.context.state, ArmedTrigger1);

    // A failing status request re-arms whatever the state.
    Cycle s(true);
    s.Statuses({1, 0, 4});
    s.Step();
    s.Step();
    s.script->failOpcode = OP_Atomic_Get_Acq_Status;
    size_t before = s.script->Count();
    EXPECT_EQ(s.Step(), 0);
    auto ops = s.script->Opcodes();
    EXPECT_EQ(ops[before + 1], uint32_t(OP_Atomic_Get_Cmd));
}

TEST(CaptureCycle, FailedOrBadImageFetchReturnsZeroAndRearms) {
    Cycle c(true);
    c.Statuses({1, 0, 4});
    c.Step();
    c.Step();
    c.script->truncateOpcode = OP_Atomic_Get_Composite_Image;
    c.script->acceptance = 10;
    c.Statuses({0, 0});
    EXPECT_EQ(c.Step(), 0);
    EXPECT_EQ(c.context.state, ArmedTrigger1);
}

TEST(CaptureCycle, PixelCopyStopsAtTheKeptByteSize) {
    Cycle c(true);
    c.context.keptSize = TOmrImageSize{4, 4, 16};
    c.script->image.assign(100, 0x33);
    c.Statuses({1, 0, 4, 0, 0});
    c.Step();
    c.Step();
    EXPECT_EQ(c.Step(), 1);
    EXPECT_EQ(c.record[20 + 15], 0x33);
    EXPECT_EQ(c.record[20 + 16], 0xEE);

    // Before any size was kept, nothing at all is copied.
    Cycle z(true);
    z.context.keptSize = TOmrImageSize{};
    z.Statuses({1, 0, 4, 0, 0});
    z.Step();
    z.Step();
    EXPECT_EQ(z.Step(), 1);
    EXPECT_EQ(z.Image()->Size.ByteSize, 0);
    EXPECT_EQ(z.record[20], 0xEE);
}

// An image with fewer pixels than the kept size holds is never delivered as
// accepted: the rest of the record would still hold the previous image.
TEST(CaptureCycle, ShortImageIsNotDelivered) {
    Cycle c(true);
    c.script->image.assign(64, 0x10);
    c.Statuses({1, 0, 4, 0, 0});
    c.Step();
    c.Step();
    ASSERT_EQ(c.Step(), 1);
    c.script->image.assign(63, 0x20);
    c.Statuses({4, 0, 0});
    c.Step();
    EXPECT_EQ(c.Step(), 0);
    EXPECT_EQ(c.context.state, ArmedTrigger1); // re-armed for the next one
    c.script->image.assign(64, 0x30);
    c.Statuses({4, 0, 0});
    c.Step();
    EXPECT_EQ(c.Step(), 1);
    EXPECT_EQ(c.record[20 + 63], 0x30);
}

// A sensor that fails every status request is not asked again without a
// pause: the step waits a growing back-off, so a host that polls without a
// pause makes few exchanges.
TEST(CaptureCycle, FailingStatusIsAskedAgainAfterABackoff) {
    Cycle c(true);
    c.Statuses({1, 0});
    c.Step();
    c.script->failOpcode = OP_Atomic_Get_Acq_Status;
    size_t before = c.script->Count();
    int steps = 0;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
         std::chrono::steady_clock::now() < end; ++steps)
        c.Step();
    // 50 + 100 + 200 + 400 + 800 ms: about six steps of six exchanges each.
    EXPECT_LE(steps, 12);
    EXPECT_LE(c.script->Count() - before, 80u);
}

TEST(CaptureCycle, StopEndsTheBackoffAtOnce) {
    Cycle c(true);
    c.script->failOpcode = OP_Atomic_Get_Acq_Status;
    std::atomic<int> steps{0};
    std::atomic<bool> done{false};
    std::thread host([&] {
        while (!done) {
            c.Step();
            ++steps;
        }
    });
    while (steps < 6) // the back-off has grown to a second by now
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    auto begun = std::chrono::steady_clock::now();
    c.context.Stop();
    done = true;
    host.join();
    auto took = std::chrono::steady_clock::now() - begun;
    EXPECT_LT(took, std::chrono::milliseconds(500));
    // The failing link gets no trigger 0 from the stop.
    EXPECT_NE(c.script->Opcodes().back(), uint32_t(OP_Atomic_Arm_Trigger));
}

// The token-map entry of a device goes before its transport: a concurrent
// open that receives the same address must find no entry to lose.
TEST(DeviceOperations, CloseForgetsTheTransportBeforeDestroyingIt) {
    struct Watched : ScriptedTransport {
        using ScriptedTransport::ScriptedTransport;
        bool* registeredAtDestruction = nullptr;
        ~Watched() override { *registeredAtDestruction = T100TransportRegistered(this); }
    };
    bool registered = true;
    auto* transport = new Watched(std::make_shared<Script>());
    transport->registeredAtDestruction = &registered;
    T100RegisterTransport(transport);
    ASSERT_TRUE(T100TransportRegistered(transport));
    T100Device device;
    device.link = transport;
    T100DeviceClose(device);
    EXPECT_FALSE(registered);
}

TEST(CaptureCycle, StopDuringArmEndsThePoll) {
    Cycle c(true);
    c.script->lastStatus = 1; // the arm's poll would go on for ever
    std::thread stopper([&] {
        while (c.script->Count() < 20)
            std::this_thread::yield();
        c.context.Stop();
    });
    EXPECT_EQ(c.Step(), 0);
    stopper.join();
    EXPECT_TRUE(c.script->closed);
    EXPECT_TRUE(c.script->destroyed);
    EXPECT_EQ(c.context.state, Idle);
    EXPECT_EQ(c.context.stopped, 1);
    // Nothing more reaches the sensor.
    c.context.Stop();
    EXPECT_EQ(c.Step(), 0);
}

TEST(CaptureCycle, StopWaitsForTheRunningExchange) {
    Cycle c(true);
    c.script->delayMs = 150;
    std::thread stepper([&] { c.Step(); });
    while (c.script->inExchange == 0)
        std::this_thread::yield();
    c.context.Stop();
    stepper.join();
    EXPECT_FALSE(c.script->closedDuringExchange);
    EXPECT_TRUE(c.script->destroyed);
    EXPECT_EQ(c.script->Triggers().back(), 0); // the stop's trigger 0
}

TEST(DeviceOperations, ResultNumbers) {
    auto script = std::make_shared<Script>();
    T100Device device;
    device.link = new ScriptedTransport(script);
    uint32_t status = 99;
    script->errorOpcode = OP_Atomic_Get_Acq_Status;
    script->errorCode = 0xFFF6;
    EXPECT_EQ(Get_Acq_Status(device, &status), -10);
    script->errorCode = 0xFFFF;
    EXPECT_EQ(Get_Acq_Status(device, &status), -1);
    script->errorCode = 0; // an error reply without a code is no success
    EXPECT_EQ(Get_Acq_Status(device, &status), 139);
    EXPECT_EQ(status, 99u);
    script->errorOpcode = 0;
    script->truncateOpcode = OP_Atomic_Get_Acq_Status;
    EXPECT_EQ(Get_Acq_Status(device, &status), 139);
    script->truncateOpcode = 0;
    script->failOpcode = OP_Atomic_Get_Config;
    uint8_t config[128];
    EXPECT_EQ(Get_Config(device, config), 139);
    script->failOpcode = 0;
    script->lastStatus = 4;
    EXPECT_EQ(Get_Acq_Status(device, &status), 0);
    EXPECT_EQ(status, 4u);
    uint8_t block[64] = {};
    EXPECT_EQ(Set_Cmd(device, block), 0);
    EXPECT_EQ(Arm_Trigger(device, 4), 0);
    EXPECT_EQ(script->Triggers().back(), 4);
    T100DeviceClose(device);
    EXPECT_EQ(device.link, nullptr);
    EXPECT_TRUE(script->destroyed);
    // Without a transport nothing is exchanged.
    EXPECT_EQ(Arm_Trigger(device, 1), 139);
    T100DeviceClose(device);
}

} // namespace
