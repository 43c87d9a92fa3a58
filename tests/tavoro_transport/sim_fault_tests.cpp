// The simulator's run-time faults, seen from a raw client of its pipes: each
// fault spoils what it says and nothing else, so that the plug-in's tests can
// rely on them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "TavoroSim.h"
#include "platform/errors.h"
#include "platform/handles.h"
#include "platform/pipes.h"
#include "platform/usb.h"
#include "plugins/tavoro/T100Cmd.h"
#include "test_env.h"

namespace {

uint32_t U32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

bool WaitFor(const std::function<bool()>& cond, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// A client of one pipe whose every read is bounded in time.
class RawClient {
 public:
  explicit RawClient(const std::string& name) {
    pipe_ = plat::OpenPipe(name, true, true);
    error_ = plat::LastError();
    io_ = plat::CreateUsbIo();
    if (io_) {
      plat::ResetUsbEvent(io_, plat::IoDirection::Read);
      plat::ResetUsbEvent(io_, plat::IoDirection::Write);
    }
  }
  ~RawClient() {
    if (Open()) plat::CloseOsHandle(pipe_);
    plat::DestroyUsbIo(io_);
  }
  bool Open() const { return plat::IsValidOsHandle(pipe_); }
  uint32_t OpenError() const { return error_; }

  bool Write(const std::vector<uint8_t>& bytes) {
    uint32_t sent = 0;
    while (sent < bytes.size()) {
      uint32_t done = 0;
      auto r = plat::TransferPiece(io_, plat::IoDirection::Write, pipe_, const_cast<uint8_t*>(bytes.data()) + sent,
                                   static_cast<uint32_t>(bytes.size()) - sent, 5000, &done);
      if (r != plat::PieceResult::Done || done == 0) return false;
      sent += done;
    }
    return true;
  }
  // Up to n bytes, as many as arrive before waitMs passes or the peer closes;
  // `closed` tells which ended it.
  std::vector<uint8_t> Read(uint32_t n, uint32_t waitMs, bool* closed = nullptr) {
    std::vector<uint8_t> out(n);
    uint32_t got = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    if (closed) *closed = false;
    while (got < n) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
      if (left <= 0) break;
      uint32_t done = 0;
      auto r = plat::TransferPiece(io_, plat::IoDirection::Read, pipe_, out.data() + got, n - got,
                                   static_cast<uint32_t>(left), &done);
      if (r == plat::PieceResult::WaitFailed) break;
      if (r != plat::PieceResult::Done || done == 0) {
        if (closed) *closed = true;
        break;
      }
      got += done;
    }
    out.resize(got);
    return out;
  }
  // Sends one T100 request (control block and packet).
  bool Request(uint32_t opcode, uint16_t argument = 0) {
    std::unique_ptr<ICmd> cmd(CreateCommand(opcode));
    cmd->SetArgument(argument);
    uint8_t* packet = nullptr;
    int32_t size = 0;
    if (!cmd->PackCommand(&packet, &size) || size <= 0) return false;
    std::vector<uint8_t> bytes(12, 0);
    bytes[8] = static_cast<uint8_t>(size);
    bytes[9] = static_cast<uint8_t>(size >> 8);
    bytes.insert(bytes.end(), packet, packet + size);
    return Write(bytes);
  }
  struct Reply {
    uint32_t announced = 0;
    std::vector<uint8_t> packet;
    uint32_t Opcode() const { return packet.size() >= 6 ? U32(packet.data() + 2) : 0; }
  };
  // One whole reply, or an empty packet when it did not come in waitMs.
  Reply Answer(uint32_t waitMs = 10000) {
    Reply r;
    std::vector<uint8_t> cb = Read(12, waitMs);
    if (cb.size() != 12) return r;
    r.announced = U32(cb.data() + 8);
    r.packet = Read(r.announced, waitMs);
    return r;
  }

 private:
  plat::OsHandle pipe_ = nullptr;
  plat::UsbIo* io_ = nullptr;
  uint32_t error_ = 0;
};

// Main-pipe requests: count and describe.
struct MainClient {
  RawClient c;
  explicit MainClient(const tavosim::Simulator& sim) : c(sim.MainPipe()) {}
  std::vector<uint8_t> Ask(uint32_t code, uint32_t arg, uint32_t size) {
    std::vector<uint8_t> req(264, 0);
    std::memcpy(req.data(), &code, 4);
    std::memcpy(req.data() + 4, &arg, 4);
    if (!c.Write(req)) return {};
    return c.Read(size, 10000);
  }
  uint32_t Count() {
    auto r = Ask(0, 0, 264);
    return r.size() == 264 ? U32(r.data() + 4) : 0xDEAD;
  }
  uint32_t ServiceId(uint32_t index) {
    auto r = Ask(2, index, 2356);
    return r.size() == 2356 ? U32(r.data()) : 0xDEAD;
  }
  std::string PipeName(uint32_t serviceId) {
    auto r = Ask(1, serviceId, 520);
    return r.size() == 520 ? std::string(reinterpret_cast<const char*>(r.data() + 260)) : "?";
  }
};

class SimFaults : public ::testing::Test {
 protected:
  void SetUp() override { UsePrivatePipeFolder(); }
  void Start(size_t sensors, uint32_t instances = 4) {
    tavosim::SimConfig cfg;
    cfg.sensors.assign(sensors, tavosim::SensorConfig{});
    for (auto& s : cfg.sensors) {
      s.width = 100;
      s.height = 120;
      s.fingerAfter = 0;
    }
    cfg.instances = instances;
    sim = std::make_unique<tavosim::Simulator>(cfg);
    ASSERT_TRUE(sim->Start());
  }
  void Run(const std::string& command) {
    std::string error;
    ASSERT_TRUE(sim->Execute(command, error)) << command << ": " << error;
  }
  std::unique_ptr<tavosim::Simulator> sim;
};

TEST_F(SimFaults, ReplyFaultsSpoilTheOneReplyTheyAreMeantFor) {
  Start(1);
  RawClient c(sim->SensorPipe(0));
  ASSERT_TRUE(c.Open());
  const uint32_t configSize = c.Request(OP_Atomic_Get_Config) ? c.Answer().announced : 0;
  ASSERT_GT(configSize, 0u);

  // Late: nothing for a while, then the whole reply; the next one on time.
  Run("late 0 1500");
  ASSERT_TRUE(c.Request(OP_Atomic_Get_Config));
  EXPECT_TRUE(c.Read(1, 300).empty()) << "the late reply came early";
  auto late = c.Answer();
  EXPECT_EQ(late.Opcode(), uint32_t(OP_Atomic_Get_Config));
  EXPECT_EQ(late.packet.size(), configSize);

  // Only the reply to the opcode named is spoilt.
  Run("late 0 60000 99");
  ASSERT_TRUE(c.Request(OP_Atomic_Get_Config));
  EXPECT_EQ(c.Answer(3000).Opcode(), uint32_t(OP_Atomic_Get_Config));

  // Overlong: the header announces more than comes, and the connection stays.
  Run("overlong 0 40 73");
  ASSERT_TRUE(c.Request(OP_Atomic_Get_Config));
  std::vector<uint8_t> cb = c.Read(12, 10000);
  ASSERT_EQ(cb.size(), 12u);
  EXPECT_EQ(U32(cb.data() + 8), configSize + 40);
  bool closed = false;
  EXPECT_EQ(c.Read(configSize + 40, 500, &closed).size(), configSize);
  EXPECT_FALSE(closed);

  // Garbage: so many bytes instead of the reply, header included.
  Run("garbage 0 20");
  ASSERT_TRUE(c.Request(OP_Atomic_Get_Acq_Status));
  auto junk = c.Read(64, 500, &closed);
  EXPECT_EQ(junk.size(), 20u);
  EXPECT_FALSE(closed);
  ASSERT_TRUE(c.Request(OP_Atomic_Get_Acq_Status));
  EXPECT_EQ(c.Answer().Opcode(), uint32_t(OP_Atomic_Get_Acq_Status)) << "the fault outlived its reply";

  // Cut: half the reply, then the connection ends.
  Run("cut 0");
  ASSERT_TRUE(c.Request(OP_Atomic_Get_Config));
  auto half = c.Read(12 + configSize, 10000, &closed);
  EXPECT_EQ(half.size(), 12 + configSize / 2);
  EXPECT_TRUE(closed);
  EXPECT_EQ(sim->FaultsInjected(), 5u);
}

TEST_F(SimFaults, ShortImageCarriesFewerPixelsOnce) {
  Start(1);
  RawClient c(sim->SensorPipe(0));
  ASSERT_TRUE(c.Open());
  auto image = [&] {
    EXPECT_TRUE(c.Request(OP_Atomic_Get_Composite_Image));
    auto r = c.Answer();
    Atomic_Get_Composite_Image got;
    EXPECT_TRUE(got.UnpackResponse(r.packet.data(), static_cast<uint32_t>(r.packet.size())));
    return got.FImageSize;
  };
  Run("short-image 0 1000");
  // The fault waits for the image: other replies pass untouched.
  ASSERT_TRUE(c.Request(OP_Atomic_Get_Config));
  EXPECT_EQ(c.Answer().Opcode(), uint32_t(OP_Atomic_Get_Config));
  EXPECT_EQ(image(), 1000u);
  EXPECT_EQ(image(), 100u * 120u);
}

TEST_F(SimFaults, UnpluggedSensorVanishesAndComesBackIdle) {
  Start(2);
  RawClient held(sim->SensorPipe(0));
  ASSERT_TRUE(held.Open());
  ASSERT_TRUE(held.Request(OP_Atomic_Arm_Trigger, 1));
  held.Answer();

  Run("unplug 0");
  EXPECT_FALSE(sim->Plugged(0));
  bool closed = false;
  held.Read(1, 5000, &closed);
  EXPECT_TRUE(closed) << "the connection outlived the unplug";
  EXPECT_TRUE(WaitFor([&] { return !RawClient(sim->SensorPipe(0)).Open(); }, 5000));
  {
    MainClient m(*sim);
    ASSERT_TRUE(m.c.Open());
    EXPECT_EQ(m.Count(), 1u);
    EXPECT_EQ(m.ServiceId(0), 101u);
  }
  // The other sensor is untouched.
  RawClient other(sim->SensorPipe(1));
  ASSERT_TRUE(other.Open());
  ASSERT_TRUE(other.Request(OP_Atomic_Get_Config));
  EXPECT_EQ(other.Answer().Opcode(), uint32_t(OP_Atomic_Get_Config));

  // Back under a new name and id, listed last, and no longer armed.
  Run("plug 0 renumber");
  EXPECT_EQ(sim->SensorPipe(0), "\\\\.\\PIPE\\TavoSensor0.1");
  MainClient m(*sim);
  ASSERT_TRUE(m.c.Open());
  EXPECT_EQ(m.Count(), 2u);
  EXPECT_EQ(m.ServiceId(0), 101u);
  EXPECT_EQ(m.ServiceId(1), 1100u);
  EXPECT_EQ(m.PipeName(1100), "TavoSensor0.1");
  std::unique_ptr<RawClient> back;
  ASSERT_TRUE(WaitFor([&] { back = std::make_unique<RawClient>(sim->SensorPipe(0)); return back->Open(); }, 10000));
  ASSERT_TRUE(back->Request(OP_Atomic_Get_Acq_Status));
  auto status = back->Answer();
  Atomic_Get_Acq_Status s;
  ASSERT_TRUE(s.UnpackResponse(status.packet.data(), static_cast<uint32_t>(status.packet.size())));
  EXPECT_EQ(s.FStatus, 10u);

  // Unplugged for a time: back by itself, under its old name.
  Run("unplug 1 300");
  EXPECT_TRUE(WaitFor([&] { return sim->Plugged(1); }, 10000));
  MainClient again(*sim);
  EXPECT_EQ(again.Count(), 2u);
  EXPECT_EQ(again.ServiceId(1), 101u);
  EXPECT_EQ(again.PipeName(101), "TavoSensor1");
}

TEST_F(SimFaults, RestartedServiceComesBackRenumbered) {
  Start(2);
  // Down long enough that a loaded machine still sees the gap between the
  // pipes going and coming back.
  Run("restart 3000 renumber");
  EXPECT_FALSE(sim->Serving());
  EXPECT_TRUE(WaitFor([&] { return !RawClient(sim->MainPipe()).Open(); }, 5000)) << "the main pipe stayed";
  // The service's instances come back one by one, each after the one before
  // has been taken: a client finding them all taken waits for one, as the
  // library does (plat::WaitPipe), instead of taking the refusal as an answer.
  std::unique_ptr<MainClient> m;
  ASSERT_TRUE(WaitFor([&] {
    m = std::make_unique<MainClient>(*sim);
    if (!m->c.Open() && m->c.OpenError() == plat::kErrorPipeBusy) plat::WaitPipe(sim->MainPipe(), 1000);
    return m->c.Open();
  }, 10000)) << "the service never came back";
  EXPECT_EQ(m->Count(), 2u);
  EXPECT_EQ(m->ServiceId(0), 1101u);
  EXPECT_EQ(m->PipeName(1101), "TavoSensor1.1");
  EXPECT_EQ(m->ServiceId(1), 1100u);
  std::unique_ptr<RawClient> c;
  ASSERT_TRUE(WaitFor([&] { c = std::make_unique<RawClient>(sim->SensorPipe(1)); return c->Open(); }, 10000));
  ASSERT_TRUE(c->Request(OP_Atomic_Get_Config));
  EXPECT_EQ(c->Answer().Opcode(), uint32_t(OP_Atomic_Get_Config));
}

// Several clients of one sensor are served at once; a busy spell takes every
// instance, yet the client already connected keeps its answers.
TEST_F(SimFaults, SeveralClientsAtOnceAndBusySpells) {
  Start(1, 3);
  RawClient a(sim->SensorPipe(0));
  ASSERT_TRUE(a.Open());
  Run("late 0 2000");
  ASSERT_TRUE(a.Request(OP_Atomic_Get_Config));
  // The late fault goes to a's request, not b's, once a's request was taken.
  ASSERT_TRUE(WaitFor([&] { return sim->Opcodes(0).size() == 1; }, 10000));
  {
    RawClient b(sim->SensorPipe(0));  // while a waits for its reply
    ASSERT_TRUE(b.Open()) << b.OpenError();
    ASSERT_TRUE(b.Request(OP_Atomic_Get_Config));
    EXPECT_EQ(b.Answer(1500).Opcode(), uint32_t(OP_Atomic_Get_Config)) << "b waited for a's reply";
  }
  EXPECT_EQ(a.Answer().Opcode(), uint32_t(OP_Atomic_Get_Config));

  Run("busy 0 1500");
  RawClient refused(sim->SensorPipe(0));
  EXPECT_FALSE(refused.Open());
  EXPECT_EQ(refused.OpenError(), plat::kErrorPipeBusy);
  ASSERT_TRUE(a.Request(OP_Atomic_Get_Config));
  EXPECT_EQ(a.Answer().Opcode(), uint32_t(OP_Atomic_Get_Config));
  EXPECT_TRUE(WaitFor([&] { return RawClient(sim->SensorPipe(0)).Open(); }, 10000)) << "busy for ever";
}

TEST(SimCommands, ParsedOrRefusedWithAReason) {
  tavosim::SimCommand c;
  std::string error;
  ASSERT_TRUE(tavosim::ParseCommand("unplug 1,2000 renumber", c, error)) << error;
  EXPECT_EQ(c.verb, "unplug");
  EXPECT_EQ(c.args, (std::vector<uint32_t>{1, 2000}));
  EXPECT_TRUE(c.renumber);
  EXPECT_TRUE(tavosim::ParseCommand("late 0 6500 67", c, error));
  EXPECT_FALSE(tavosim::ParseCommand("late 0", c, error));
  EXPECT_EQ(error, "wrong number of arguments for late");
  EXPECT_FALSE(tavosim::ParseCommand("busy 0 x", c, error));
  EXPECT_FALSE(tavosim::ParseCommand("cut 0 renumber", c, error));
  EXPECT_FALSE(tavosim::ParseCommand("explode 0", c, error));
  EXPECT_EQ(error, "unknown command explode");

  tavosim::SimConfig cfg;
  ASSERT_TRUE(tavosim::ParseOptions({"--sensors=2", "--instances=1", "--at=300:unplug 1 200"}, cfg, error)) << error;
  EXPECT_EQ(cfg.instances, 1u);
  ASSERT_EQ(cfg.at.size(), 1u);
  EXPECT_EQ(cfg.at[0].first, 300u);
  EXPECT_FALSE(tavosim::ParseOptions({"--at=300:unplug"}, cfg, error));
  EXPECT_FALSE(tavosim::ParseOptions({"--instances=0"}, cfg, error));

  // A command of the command line runs by itself, once.
  UsePrivatePipeFolder();
  tavosim::SimConfig timed;
  timed.sensors.resize(2);
  timed.at.emplace_back(100, "unplug 1 300");
  tavosim::Simulator sim(timed);
  ASSERT_TRUE(sim.Start());
  EXPECT_TRUE(WaitFor([&] { return !sim.Plugged(1); }, 10000));
  EXPECT_TRUE(WaitFor([&] { return sim.Plugged(1); }, 10000));
  EXPECT_EQ(sim.FaultsInjected(), 1u);
  std::string error2;
  EXPECT_FALSE(sim.Execute("unplug 5", error2));
  EXPECT_EQ(error2, "no sensor 5");
}

}  // namespace
