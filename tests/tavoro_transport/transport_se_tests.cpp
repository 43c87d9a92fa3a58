#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "TavoroSim.h"
#include "handler_count_stub.h"
#include "platform/errors.h"
#include "platform/pipes.h"
#include "plugins/tavoro/T100Cmd.h"
#include "plugins/tavoro/T100Diag.h"
#include "plugins/tavoro/T100Transport.h"
#include "test_env.h"

namespace {

uint32_t U32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

class SimFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    UsePrivatePipeFolder();
    NamedPipe::busyWaitMs = 20;
    NamedPipe::transferWaitMs = 30000;
    T100ForgetMessages();
  }
  void TearDown() override {
    if (transport) transport->Close(device);
    transport.reset();
    if (sim) sim->Stop();
    NamedPipe::busyWaitMs = NamedPipe::kBusyWaitMs;
    NamedPipe::transferWaitMs = 30000;
  }
  void StartSim(tavosim::SimConfig cfg) {
    sim = std::make_unique<tavosim::Simulator>(cfg);
    ASSERT_TRUE(sim->Start());
  }
  void StartSim(int sensors = 1) {
    tavosim::SimConfig cfg;
    cfg.sensors.assign(sensors, tavosim::SensorConfig{});
    for (int i = 0; i < sensors; ++i) {
      cfg.sensors[i].serialHigh = 0x00AB;
      cfg.sensors[i].serialLow = static_cast<uint16_t>(0x1234 + i);
      cfg.sensors[i].width = 200;
      cfg.sensors[i].height = 250;
    }
    StartSim(cfg);
  }
  void Connect(size_t sensor = 0) {
    transport = std::make_unique<TransportSE>();
    ASSERT_TRUE(transport->ConnectTo(sim->SensorPipe(sensor)));
    device.link = transport.get();
  }
  // One command through the exchange; the reply object or null.
  std::unique_ptr<ICmd> Run(uint32_t opcode, uint16_t argument = 0, ICmd* preset = nullptr) {
    std::unique_ptr<ICmd> cmd(preset ? preset : CreateCommand(opcode));
    if (!preset) cmd->SetArgument(argument);
    return std::unique_ptr<ICmd>(ExecuteCommand(device, cmd.get()));
  }
  uint32_t Status() {
    auto r = Run(OP_Atomic_Get_Acq_Status);
    EXPECT_NE(r, nullptr);
    if (!r || r->GetOpcode() != OP_Atomic_Get_Acq_Status) return 0xDEAD;
    return static_cast<Atomic_Get_Acq_Status*>(r.get())->FStatus;
  }

  std::unique_ptr<tavosim::Simulator> sim;
  std::unique_ptr<TransportSE> transport;
  T100Device device;
};

// The whole capture conversation a host holds with a sensor, over the
// service pipe: configuration, command block, arming, status, image.
TEST_F(SimFixture, ArmStatusAndCompositeImageSequence) {
  StartSim();
  Connect();

  auto cfg = Run(OP_Atomic_Get_Config);
  ASSERT_NE(cfg, nullptr);
  ASSERT_EQ(cfg->GetOpcode(), OP_Atomic_Get_Config);
  const uint8_t* block = static_cast<Atomic_Get_Config*>(cfg.get())->FConfig;
  EXPECT_EQ(U16(block + 0), 0x0525);
  EXPECT_EQ(U16(block + 2), 0x3424);
  EXPECT_EQ(U16(block + 4), 0x1234);
  EXPECT_EQ(U16(block + 116), 0x00AB);
  EXPECT_EQ(U16(block + 30), 200);
  EXPECT_EQ(U16(block + 32), 250);

  auto get = Run(OP_Atomic_Get_Cmd);
  ASSERT_NE(get, nullptr);
  ASSERT_EQ(get->GetOpcode(), OP_Atomic_Get_Cmd);
  auto* set = static_cast<Atomic_Set_Cmd*>(CreateCommand(OP_Atomic_Set_Cmd));
  std::memcpy(set->FBlock, static_cast<Atomic_Get_Cmd*>(get.get())->FBlock, 64);
  set->FBlock[10] = 0x5A;
  set->FBlockLength = 64;
  ASSERT_NE(Run(OP_Atomic_Set_Cmd, 0, set), nullptr);
  auto back = Run(OP_Atomic_Get_Cmd);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(static_cast<Atomic_Get_Cmd*>(back.get())->FBlock[10], 0x5A);

  ASSERT_NE(Run(OP_Atomic_Arm_Trigger, 0), nullptr);
  uint32_t idle = Status();
  EXPECT_TRUE(idle == 0 || idle == 10) << idle;

  ASSERT_NE(Run(OP_Atomic_Arm_Trigger, 1), nullptr);
  std::vector<uint32_t> seen;
  for (int i = 0; i < 10; ++i) {
    seen.push_back(Status());
    if (seen.back() == 0) break;
  }
  EXPECT_EQ(seen, (std::vector<uint32_t>{1, 1, 4, 2, 0}));

  auto img = Run(OP_Atomic_Get_Composite_Image);
  ASSERT_NE(img, nullptr);
  ASSERT_EQ(img->GetOpcode(), OP_Atomic_Get_Composite_Image);
  auto* ci = static_cast<Atomic_Get_Composite_Image*>(img.get());
  EXPECT_EQ(ci->FImageSize, 200u * 250u);
  EXPECT_EQ(ci->FAcceptance, 50u);
  // A print, not a flat picture: both dark ridges and light valleys.
  int dark = 0, light = 0;
  for (uint32_t i = 0; i < ci->FImageSize; ++i) {
    dark += ci->FImage[i] < 100;
    light += ci->FImage[i] > 180;
  }
  EXPECT_GT(dark, 2000);
  EXPECT_GT(light, 2000);

  EXPECT_EQ(sim->Opcodes(0).front(), static_cast<uint32_t>(OP_Atomic_Get_Config));
}

TEST_F(SimFixture, SensorErrorComesBackAsErrorReply) {
  tavosim::SimConfig cfg;
  cfg.sensors.resize(1);
  cfg.sensors[0].errorOpcode = OP_Atomic_Get_Acq_Status;
  cfg.sensors[0].errorCode = 0xFFF6;
  StartSim(cfg);
  Connect();
  auto r = Run(OP_Atomic_Get_Acq_Status);
  ASSERT_NE(r, nullptr);
  ASSERT_EQ(r->GetOpcode(), static_cast<uint32_t>(OP_Atomic_Error));
  EXPECT_EQ(static_cast<Atomic_Error*>(r.get())->GetErrorCode(), -10);
}

TEST_F(SimFixture, BrokenRepliesGiveNoReply) {
  tavosim::SimConfig cfg;
  cfg.sensors.resize(3);
  cfg.sensors[0].truncateEvery = 1;
  cfg.sensors[1].disconnectAfter = 1;
  cfg.sensors[2].dropEvery = 1;
  StartSim(cfg);
  NamedPipe::transferWaitMs = 300;
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    Connect(i);
    T100ForgetMessages();
    testing::internal::CaptureStdout();
    EXPECT_EQ(Run(OP_Atomic_Get_Config), nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Error reading file"), std::string::npos) << out;
    transport->Close(device);
  }
}

TEST_F(SimFixture, PeerThatNeverAnswersEndsTheExchange) {
  tavosim::SimConfig cfg;
  cfg.sensors.resize(1);
  cfg.sensors[0].silent = true;
  StartSim(cfg);
  NamedPipe::transferWaitMs = 200;
  Connect();
  uint8_t request[14] = {0x0D, 0x56, 72};
  std::vector<uint8_t> reply(1024);
  uint32_t length = static_cast<uint32_t>(reply.size());
  testing::internal::CaptureStdout();
  EXPECT_EQ(transport->Exchange(device, request, sizeof(request), reply.data(), length), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(sim->Requests(0), 1u);
}

TEST_F(SimFixture, DelayedReplyStillArrives) {
  tavosim::SimConfig cfg;
  cfg.sensors.resize(1);
  cfg.sensors[0].delayMs = 300;
  StartSim(cfg);
  Connect();
  auto r = Run(OP_Atomic_Get_Acq_Status);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->GetOpcode(), static_cast<uint32_t>(OP_Atomic_Get_Acq_Status));
}

// Every transfer of the service pipe, as the transport hands it to the system.
struct Transfer {
  plat::IoDirection dir;
  std::vector<uint8_t> bytes;
};
std::vector<Transfer> gTransfers;
plat::PieceResult CountingTransfer(plat::UsbIo* io, plat::IoDirection dir, plat::OsHandle pipe, void* buffer,
                                   uint32_t length, uint32_t waitMs, uint32_t* done, bool (*abandon)()) {
  auto r = plat::TransferPiece(io, dir, pipe, buffer, length, waitMs, done, abandon);
  auto* b = static_cast<uint8_t*>(buffer);
  gTransfers.push_back({dir, dir == plat::IoDirection::Write ? std::vector<uint8_t>(b, b + length)
                                                             : std::vector<uint8_t>(b, b + *done)});
  return r;
}

// The control block and the request leave in one write, so that the service
// wakes once per request; a short reply, control block and packet, comes
// back in one read.
TEST_F(SimFixture, RequestLeavesInOneWriteAndAShortReplyComesInOneRead) {
  StartSim();
  Connect();
  gTransfers.clear();
  NamedPipe::transferPiece = CountingTransfer;
  struct Restore {
    ~Restore() { NamedPipe::transferPiece = plat::TransferPiece; }
  } restore;
  std::unique_ptr<ICmd> cmd(CreateCommand(OP_Atomic_Get_Acq_Status));
  uint8_t* packet = nullptr;
  int32_t size = 0;
  ASSERT_TRUE(cmd->PackCommand(&packet, &size));
  for (int i = 0; i < 2; ++i) {
    gTransfers.clear();
    ASSERT_NE(Run(OP_Atomic_Get_Acq_Status), nullptr);
    ASSERT_EQ(gTransfers.size(), 2u);
    EXPECT_EQ(gTransfers[0].dir, plat::IoDirection::Write);
    const std::vector<uint8_t>& out = gTransfers[0].bytes;
    ASSERT_EQ(out.size(), 12u + uint32_t(size));
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 8), std::vector<uint8_t>(8, 0));
    EXPECT_EQ(U32(out.data() + 8), uint32_t(size));
    EXPECT_EQ(0, std::memcmp(out.data() + 12, packet, size_t(size)));
    EXPECT_EQ(gTransfers[1].dir, plat::IoDirection::Read);
    ASSERT_GE(gTransfers[1].bytes.size(), 12u);
    EXPECT_EQ(gTransfers[1].bytes.size(), 12u + U32(gTransfers[1].bytes.data() + 8));
  }
}

// Bytes that arrive beyond the reply being read stay in order for the next
// read, as they would stay in the pipe: a second reply sent together with
// the first is the reply of the next exchange.
TEST_F(SimFixture, BytesBeyondAReplyAreTheNextRead) {
  UsePrivatePipeFolder();
  const std::string name = "\\\\.\\PIPE\\TavoTwoReplies";
  plat::PipeServer* server = plat::CreatePipeServer(name, 1);
  ASSERT_NE(server, nullptr);
  auto readRequest = [&] {
    uint8_t buf[26];
    uint32_t got = 0;
    while (got < sizeof(buf)) {
      uint32_t done = 0;
      if (plat::ServerRead(server, buf + got, sizeof(buf) - got, &done, 5000) != 1) return false;
      got += done;
    }
    return true;
  };
  std::thread peer([&] {
    while (plat::AcceptPipeClient(server, 100) == 0) {
    }
    if (!readRequest()) return;
    uint8_t replies[2 * (12 + 16)] = {};
    for (int k = 0; k < 2; ++k) {
      uint8_t* r = replies + k * 28;
      r[8] = 16;
      std::memset(r + 12, 0xA0 + k, 16);
    }
    plat::ServerWrite(server, replies, sizeof(replies));
    readRequest();
    uint8_t rest[8];
    uint32_t done = 0;
    plat::ServerRead(server, rest, sizeof(rest), &done, 5000);  // until the client hangs up
  });
  TransportSE t;
  ASSERT_TRUE(t.ConnectTo(name));
  T100Device d;
  uint8_t request[14] = {0x0D, 0x56, 72, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xEE, 0xEE};
  for (int k = 0; k < 2; ++k) {
    uint8_t reply[64] = {};
    uint32_t length = sizeof(reply);
    ASSERT_EQ(t.Exchange(d, request, sizeof(request), reply, length), 1) << k;
    ASSERT_EQ(length, 16u);
    EXPECT_EQ(reply[0], 0xA0 + k);
    EXPECT_EQ(reply[15], 0xA0 + k);
  }
  t.Close(d);
  peer.join();
  plat::DestroyPipeServer(server);
}

TEST_F(SimFixture, MissingPipeFailsAtTheFirstAttempt) {
  StartSim();
  NamedPipe pipe;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(pipe.Connect("\\\\.\\PIPE\\NoSuchTavoroPipe"));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "\nError occurred while creating the pipe: err = 2, pipe name = \\\\.\\PIPE\\NoSuchTavoroPipe");
}

// A service that serves one client at a time: the next one is told busy.
TEST_F(SimFixture, BusyPipeGetsFiftyAttempts) {
  tavosim::SimConfig cfg;
  cfg.sensors.resize(1);
  cfg.instances = 1;
  StartSim(cfg);
  std::string name = sim->SensorPipe(0);
  // Take the instance, then fill whatever queue the platform keeps.
  std::vector<plat::OsHandle> held;
  bool busy = false;
  for (int i = 0; i < 4 && !busy; ++i) {
    plat::OsHandle h = plat::OpenPipe(name, true);
    if (plat::IsValidOsHandle(h)) {
      held.push_back(h);
      std::this_thread::sleep_for(std::chrono::milliseconds(150));  // let the server take it
    } else {
      busy = plat::LastError() == plat::kErrorPipeBusy;
    }
  }
  ASSERT_TRUE(busy);
  NamedPipe pipe;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(pipe.Connect(name));
  std::string out = testing::internal::GetCapturedStdout();
  size_t printed = 0;
  for (size_t p = out.find("Could not connect to pipe in timeout period!"); p != std::string::npos;
       p = out.find("Could not connect to pipe in timeout period!", p + 1)) {
    ++printed;
  }
  // Fifty attempts, each with its message, of which about one a second is shown.
  uint64_t given = T100TimesGiven("Could not connect to pipe in timeout period! Pipe not created yet\n") +
                   T100TimesGiven("Could not connect to pipe in timeout period! Error: 121\n");
  EXPECT_EQ(given, 50u);
  EXPECT_GE(printed, 1u);
  EXPECT_LE(printed, 3u);
  EXPECT_EQ(out.find("Error occurred"), std::string::npos);
  for (auto h : held) plat::CloseOsHandle(h);
}

TEST_F(SimFixture, OpenChecksTheRecordAndConnects) {
  StartSim(2);
  TransportSE t;
  T100Device d;
  EXPECT_EQ(t.Open(d), 2);  // no record

  T100DeviceInfo info{};
  std::snprintf(info.machineName, sizeof(info.machineName), ".");
  std::snprintf(info.pipeName, sizeof(info.pipeName), "TavoSensor1");
  info.kind = 1;
  info.index = 1;
  d.link = &info;
  stub::deviceCount = 0;
  EXPECT_EQ(t.Open(d), 1);
  stub::deviceCount = 1;
  EXPECT_EQ(t.Open(d), 2);  // index not below the count
  stub::deviceCount = 2;
  EXPECT_EQ(t.Open(d), 0);
  EXPECT_EQ(stub::lastMachine, ".");
  d.link = &t;
  char name[8] = "x";
  uint32_t len = 99;
  EXPECT_EQ(t.GetName(d, name, sizeof(name), len), 1);
  EXPECT_EQ(len, 1u);
  EXPECT_STREQ(name, "");
  std::unique_ptr<ICmd> cmd(CreateCommand(OP_Atomic_Get_Config));
  std::unique_ptr<ICmd> r(ExecuteCommand(d, cmd.get()));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(U16(static_cast<Atomic_Get_Config*>(r.get())->FConfig + 4), 0x1235);
  t.Close(d);

  std::snprintf(info.pipeName, sizeof(info.pipeName), "NotThere");
  d.link = &info;
  TransportSE t2;
  testing::internal::CaptureStdout();
  EXPECT_EQ(t2.Open(d), 7);
  testing::internal::GetCapturedStdout();
}

// The bytes on the wire: control block, request, and a reply whose announced
// length does not fit the caller's buffer.
TEST_F(SimFixture, ControlBlockAndOversizedReply) {
  UsePrivatePipeFolder();
  const std::string name = "\\\\.\\PIPE\\TavoWireCheck";
  plat::PipeServer* server = plat::CreatePipeServer(name, 1);
  ASSERT_NE(server, nullptr);
  std::vector<uint8_t> seen;
  std::thread peer([&] {
    while (plat::AcceptPipeClient(server, 100) == 0) {
    }
    uint8_t buf[64];
    while (seen.size() < 26) {
      uint32_t done = 0;
      if (plat::ServerRead(server, buf, sizeof(buf), &done, 2000) != 1) break;
      seen.insert(seen.end(), buf, buf + done);
    }
    uint8_t reply[12 + 14] = {};
    reply[8] = 200;  // more than the caller's 100 bytes
    plat::ServerWrite(server, reply, sizeof(reply));
    uint32_t rest = 0;
    plat::ServerRead(server, buf, sizeof(buf), &rest, 2000);
  });
  TransportSE t;
  ASSERT_TRUE(t.ConnectTo(name));
  T100Device d;
  uint8_t request[14] = {0x0D, 0x56, 71, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0xEE, 0xEE};
  uint8_t reply[100];
  uint32_t length = sizeof(reply);
  EXPECT_EQ(t.Exchange(d, request, sizeof(request), reply, length), 0);
  t.Close(d);
  peer.join();
  plat::DestroyPipeServer(server);
  ASSERT_EQ(seen.size(), 26u);
  EXPECT_EQ(std::vector<uint8_t>(seen.begin(), seen.begin() + 8), std::vector<uint8_t>(8, 0));
  EXPECT_EQ(U32(seen.data() + 8), 14u);
  EXPECT_EQ(0, std::memcmp(seen.data() + 12, request, 14));
}

TEST_F(SimFixture, ServingCanBeStoppedAndResumed) {
  StartSim();
  sim->SetServing(false);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  NamedPipe pipe;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(pipe.Connect(sim->SensorPipe(0)));
  testing::internal::GetCapturedStdout();
  sim->SetServing(true);
  bool connected = false;
  for (int i = 0; i < 40 && !connected; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    testing::internal::CaptureStdout();
    connected = pipe.Connect(sim->SensorPipe(0));
    testing::internal::GetCapturedStdout();
  }
  EXPECT_TRUE(connected);
}

// The service's main pipe as the device handler sees it: fixed request and
// reply sizes, the describe status and the names of a per-device pipe.
TEST_F(SimFixture, MainPipeRepliesHaveTheirSizes) {
  tavosim::SimConfig cfg;
  cfg.sensors.resize(2);
  cfg.sensors[1].deviceType = 2;
  cfg.describeStatus = 0;
  StartSim(cfg);
  plat::OsHandle h = plat::OpenPipe(sim->MainPipe(), false);
  ASSERT_TRUE(plat::IsValidOsHandle(h));
  auto ask = [&](uint32_t code, uint32_t arg, uint32_t size) {
    std::vector<uint8_t> req(264, 0);
    req[0] = static_cast<uint8_t>(code);
    req[4] = static_cast<uint8_t>(arg);
    uint32_t done = 0;
    EXPECT_TRUE(plat::WriteOsHandle(h, req.data(), 264, &done));
    std::vector<uint8_t> reply(size + 16);
    uint32_t got = 0;
    while (got < size) {
      if (!plat::ReadOsHandle(h, reply.data() + got, size + 16 - got, &done)) break;
      got += done;
    }
    EXPECT_EQ(got, size);
    reply.resize(got);
    return reply;
  };
  auto count = ask(0, 0, 264);
  EXPECT_EQ(U32(count.data() + 4), 2u);
  auto first = ask(2, 0, 2356);
  EXPECT_EQ(U32(first.data() + 0), 100u);
  EXPECT_EQ(U32(first.data() + 4), 0u);
  EXPECT_EQ(U32(first.data() + 8), 3u);
  EXPECT_EQ(U32(first.data() + 2352), 0u);
  auto second = ask(2, 1, 2356);
  EXPECT_EQ(U32(second.data() + 8), 2u);
  auto none = ask(2, 5, 2356);
  EXPECT_EQ(U32(none.data() + 2352), 1u);
  auto names = ask(1, 100, 520);
  EXPECT_STREQ(reinterpret_cast<const char*>(names.data() + 260), "TavoSensor0");
  plat::CloseOsHandle(h);
}

TEST(SimOptions, CommandLineAndPerSensorSettings) {
  tavosim::SimConfig cfg;
  std::string error;
  ASSERT_TRUE(tavosim::ParseOptions({"--sensors=3", "--size=100x120", "--sensor1-serial=00AB1234",
                                     "--sensor2-error=72:0xFFF6", "--sensor0-model=1111:2222", "--log"},
                                    cfg, error))
      << error;
  ASSERT_EQ(cfg.sensors.size(), 3u);
  EXPECT_EQ(cfg.sensors[2].width, 100);
  EXPECT_EQ(cfg.sensors[2].height, 120);
  EXPECT_EQ(cfg.sensors[1].serialHigh, 0x00AB);
  EXPECT_EQ(cfg.sensors[1].serialLow, 0x1234);
  EXPECT_EQ(cfg.sensors[2].errorOpcode, 72u);
  EXPECT_EQ(cfg.sensors[2].errorCode, 0xFFF6);
  EXPECT_EQ(cfg.sensors[0].model0, 0x1111);
  EXPECT_TRUE(cfg.log);
  EXPECT_FALSE(tavosim::ParseOptions({"--sensors=1", "--sensor4-delay=1"}, cfg, error));
  EXPECT_FALSE(tavosim::ParseOptions({"--bogus=1"}, cfg, error));
  EXPECT_FALSE(tavosim::ParseOptions({"--size=0x10"}, cfg, error));
}

}  // namespace
