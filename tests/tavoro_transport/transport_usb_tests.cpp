#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "TavoroSim.h"
#include "handler_count_stub.h"
#include "plugins/tavoro/T100Cmd.h"
#include "platform/errors.h"
#include "platform/mutexes.h"
#include "platform/pipes.h"
#include "platform/usb.h"
#include "plugins/tavoro/T100DeviceHandler.h"
#include "plugins/tavoro/T100Diag.h"
#include "plugins/tavoro/T100Transport.h"
#include "test_env.h"

#ifndef _WIN32
#include <dirent.h>
#endif

namespace {

uint32_t U32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

TEST(UsbPieces, SplitAt64KWithTheEmptyTail) {
  using V = std::vector<uint32_t>;
  EXPECT_EQ(TransportUSB::Pieces(131072), (V{65536, 65536, 0}));
  EXPECT_EQ(TransportUSB::Pieces(65536), (V{65536}));
  EXPECT_EQ(TransportUSB::Pieces(65537), (V{65536, 1}));
  EXPECT_EQ(TransportUSB::Pieces(14), (V{14}));
  EXPECT_EQ(TransportUSB::Pieces(0), (V{0}));
  EXPECT_EQ(TransportUSB::Pieces(200000), (V{65536, 65536, 65536, 3392}));
}

// Serves a sensor's two bulk pipes, the way the stand-in interfaces name them:
// the host writes to PIPE_0x01 and reads from PIPE_0x00.
class UsbPeer {
 public:
  explicit UsbPeer(const std::string& interfacePath) {
    out_ = plat::CreatePipeServer(plat::StandInPipeName(interfacePath + "\\PIPE_0x01"), 1);
    in_ = plat::CreatePipeServer(plat::StandInPipeName(interfacePath + "\\PIPE_0x00"), 1);
  }
  ~UsbPeer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    plat::DestroyPipeServer(out_);
    plat::DestroyPipeServer(in_);
  }
  bool Ready() const { return out_ && in_; }
  // Runs `serve` once both pipes are connected.
  void Run(std::function<void(UsbPeer&)> serve) {
    thread_ = std::thread([this, serve] {
      while (!stop_ && plat::AcceptPipeClient(out_, 50) != 1) {
      }
      while (!stop_ && plat::AcceptPipeClient(in_, 50) != 1) {
      }
      if (!stop_) serve(*this);
    });
  }
  // Reads exactly n bytes the host wrote.
  bool Take(std::vector<uint8_t>& into, uint32_t n) {
    std::vector<uint8_t> buf(65536);
    uint32_t got = 0;
    while (got < n && !stop_) {
      uint32_t done = 0;
      int r = plat::ServerRead(out_, buf.data(), std::min<uint32_t>(n - got, 65536), &done, 100);
      if (r < 0) return false;
      into.insert(into.end(), buf.begin(), buf.begin() + done);
      got += done;
    }
    return got == n;
  }
  bool Give(const std::vector<uint8_t>& bytes) {
    return plat::ServerWrite(in_, bytes.data(), static_cast<uint32_t>(bytes.size()));
  }
  std::atomic<bool> stop_{false};

 private:
  plat::PipeServer* out_ = nullptr;
  plat::PipeServer* in_ = nullptr;
  std::thread thread_;
};

std::vector<uint8_t> Framed(const std::vector<uint8_t>& packet) {
  std::vector<uint8_t> out(12, 0);
  uint32_t n = static_cast<uint32_t>(packet.size());
  for (int i = 0; i < 4; ++i) out[8 + i] = static_cast<uint8_t>(n >> (8 * i));
  out.insert(out.end(), packet.begin(), packet.end());
  return out;
}

class UsbFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    UsePrivatePipeFolder();
    T100ForgetMessages();
    static int counter = 0;
    path = "\\\\?\\tavo#sim#" + std::to_string(++counter);
    std::vector<std::string> list{path};
    plat::SetDeviceInterfaceStandIns(&list);
    peer = std::make_unique<UsbPeer>(path);
    ASSERT_TRUE(peer->Ready());
  }
  void TearDown() override {
    TransportUSB::transferPiece = plat::TransferPiece;
    peer.reset();
    transport.Close(device);
    plat::SetDeviceInterfaceStandIns(nullptr);
  }
  std::string path;
  std::unique_ptr<UsbPeer> peer;
  TransportUSB transport;
  T100Device device;
};

TEST_F(UsbFixture, RequestAndReplyWithTheirControlBlocks) {
  std::vector<uint8_t> seen;
  std::vector<uint8_t> answer = {0x0D, 0x56, 72, 0, 0, 0, 0, 0, 4, 0, 0, 0, 7, 0, 0, 0, 0, 0};
  peer->Run([&](UsbPeer& p) {
    if (p.Take(seen, 12 + 14)) p.Give(Framed(answer));
  });
  ASSERT_EQ(transport.OpenPath(device, path), 0);
  char name[64];
  uint32_t len = 0;
  transport.GetName(device, name, sizeof(name), len);
  EXPECT_STREQ(name, ("TAVO" + path.substr(4)).c_str());
  EXPECT_EQ(len, path.size() + 1);

  uint8_t request[14] = {0x0D, 0x56, 72};
  std::vector<uint8_t> reply(4096);
  uint32_t length = static_cast<uint32_t>(reply.size());
  ASSERT_EQ(transport.Exchange(device, request, 14, reply.data(), length), 1);
  EXPECT_EQ(length, answer.size());
  EXPECT_EQ(std::vector<uint8_t>(reply.begin(), reply.begin() + length), answer);
  ASSERT_EQ(seen.size(), 26u);
  EXPECT_EQ(U32(seen.data()), 0u);
  EXPECT_EQ(U32(seen.data() + 4), 0u);
  EXPECT_EQ(U32(seen.data() + 8), 14u);
}

TEST_F(UsbFixture, LargeTransfersArriveWhole) {
  std::vector<uint8_t> request(131072 + 5);
  for (size_t i = 0; i < request.size(); ++i) request[i] = static_cast<uint8_t>(i * 7);
  std::vector<uint8_t> answer(200000);
  for (size_t i = 0; i < answer.size(); ++i) answer[i] = static_cast<uint8_t>(i * 13 + 1);
  std::vector<uint8_t> seen;
  peer->Run([&](UsbPeer& p) {
    if (p.Take(seen, 12 + static_cast<uint32_t>(request.size()))) p.Give(Framed(answer));
  });
  ASSERT_EQ(transport.OpenPath(device, path), 0);
  std::vector<uint8_t> reply(kT100ReplyBufferSize);
  uint32_t length = kT100ReplyBufferSize;
  ASSERT_EQ(transport.Exchange(device, request.data(), static_cast<uint32_t>(request.size()), reply.data(), length), 1);
  ASSERT_EQ(length, answer.size());
  EXPECT_TRUE(std::equal(answer.begin(), answer.end(), reply.begin()));
  ASSERT_EQ(seen.size(), 12 + request.size());
  EXPECT_TRUE(std::equal(request.begin(), request.end(), seen.begin() + 12));
}

TEST_F(UsbFixture, ReplyInTwoPartsIsKeptTogether) {
  std::vector<uint8_t> answer(40);
  for (size_t i = 0; i < answer.size(); ++i) answer[i] = static_cast<uint8_t>(100 + i);
  peer->Run([&](UsbPeer& p) {
    std::vector<uint8_t> seen;
    if (!p.Take(seen, 26)) return;
    std::vector<uint8_t> all = Framed(answer);
    p.Give(std::vector<uint8_t>(all.begin(), all.begin() + 20));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    p.Give(std::vector<uint8_t>(all.begin() + 20, all.end()));
  });
  ASSERT_EQ(transport.OpenPath(device, path), 0);
  uint8_t request[14] = {0x0D, 0x56, 72};
  std::vector<uint8_t> reply(100);
  uint32_t length = 100;
  ASSERT_EQ(transport.Exchange(device, request, 14, reply.data(), length), 1);
  ASSERT_EQ(length, 40u);
  EXPECT_TRUE(std::equal(answer.begin(), answer.end(), reply.begin()));
}

TEST_F(UsbFixture, AnnouncedLengthAboveTheBufferFails) {
  peer->Run([&](UsbPeer& p) {
    std::vector<uint8_t> seen;
    if (p.Take(seen, 26)) p.Give(Framed(std::vector<uint8_t>(64, 1)));
  });
  ASSERT_EQ(transport.OpenPath(device, path), 0);
  uint8_t request[14] = {0x0D, 0x56, 72};
  std::vector<uint8_t> reply(63);
  uint32_t length = 63;
  testing::internal::CaptureStdout();
  EXPECT_EQ(transport.Exchange(device, request, 14, reply.data(), length), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n (TransportUSB.cpp,207) - Failed read (usbcb).");
  EXPECT_EQ(length, 0u);
}

// A sensor that takes the request and never answers: the first read piece
// waits its 6 s, by then the 5 s limit has passed and nothing is retried.
TEST_F(UsbFixture, SilentSensorFailsAfterOnePieceWait) {
  peer->Run([&](UsbPeer& p) {
    std::vector<uint8_t> seen;
    p.Take(seen, 26);
    while (!p.stop_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  });
  ASSERT_EQ(transport.OpenPath(device, path), 0);
  uint8_t request[14] = {0x0D, 0x56, 72};
  uint8_t reply[64];
  uint32_t length = sizeof(reply);
  testing::internal::CaptureStdout();
  uint64_t begun = plat::TickCountMs();
  EXPECT_EQ(transport.Exchange(device, request, 14, reply, length), 0);
  uint64_t took = plat::TickCountMs() - begun;
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n (TransportUSB.cpp,207) - Failed read (usbcb).");
  EXPECT_GE(took, 5900u);
  EXPECT_LT(took, 11000u);  // one wait, not two
}

// Another holder of the sensor's exchange mutex (another thread or process)
// keeps this exchange out for 10 s, after which it gives up without sending.
TEST_F(UsbFixture, BusyExchangeMutexTimesOut) {
  std::vector<uint8_t> seen;
  peer->Run([&](UsbPeer& p) { p.Take(seen, 1); });
  ASSERT_EQ(transport.OpenPath(device, path), 0);
  std::string name = "TAVO" + path.substr(4);
  std::atomic<bool> held{false}, done{false};
  std::thread holder([&] {
    plat::OsHandle m = plat::CreateNamedMutex(name);
    held = plat::WaitNamedMutex(m, 0) == plat::WaitResult::Acquired;
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    plat::ReleaseNamedMutex(m);
    plat::CloseOsHandle(m);
  });
  while (!held) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  uint8_t request[14] = {0x0D, 0x56, 72};
  uint8_t reply[64];
  uint32_t length = sizeof(reply);
  testing::internal::CaptureStdout();
  uint64_t begun = plat::TickCountMs();
  EXPECT_EQ(transport.Exchange(device, request, 14, reply, length), 0);
  uint64_t took = plat::TickCountMs() - begun;
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nMutex timed-out");
  done = true;
  holder.join();
  EXPECT_GE(took, 9900u);
  EXPECT_TRUE(seen.empty());
}

TEST_F(UsbFixture, PeerGoneFailsTheWriteOrRead) {
  peer->Run([&](UsbPeer&) {});
  ASSERT_EQ(transport.OpenPath(device, path), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  peer.reset();  // both pipes disappear
  uint8_t request[14] = {0x0D, 0x56, 72};
  uint8_t reply[64];
  uint32_t length = sizeof(reply);
  testing::internal::CaptureStdout();
  uint64_t begun = plat::TickCountMs();
  EXPECT_EQ(transport.Exchange(device, request, 14, reply, length), 0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("(TransportUSB.cpp,"), std::string::npos) << out;
  EXPECT_LT(plat::TickCountMs() - begun, 4000u);  // a dead pipe is not retried until the limit
}

// A transfer that the system refuses a given number of times, with a given
// error, in one direction, before the real transfers go on.
struct Refusal {
  plat::IoDirection dir = plat::IoDirection::Read;
  int skip = 0;      // transfers of that direction that pass first
  int times = 0;     // then this many are refused
  uint32_t error = 0;
  int seen = 0;
};
Refusal gRefusal;
plat::PieceResult Refusing(plat::UsbIo* io, plat::IoDirection dir, plat::OsHandle pipe, void* buffer, uint32_t length,
                           uint32_t waitMs, uint32_t* done, bool (*abandon)()) {
  if (dir == gRefusal.dir) {
    int n = gRefusal.seen++;
    if (n >= gRefusal.skip && n < gRefusal.skip + gRefusal.times) {
      *done = 0;
      plat::SetLastError(gRefusal.error);
      return plat::PieceResult::Failed;
    }
  }
  return plat::TransferPiece(io, dir, pipe, buffer, length, waitMs, done, abandon);
}

void Refuse(plat::IoDirection dir, int skip, int times, uint32_t error) {
  gRefusal = Refusal{dir, skip, times, error, 0};
  TransportUSB::transferPiece = Refusing;
}

constexpr uint32_t kErrorGenFailure = 31;  // a driver that ends a read early

TEST_F(UsbFixture, RefusedReadPieceIsIssuedAgain) {
  std::vector<uint8_t> answer = {0x0D, 0x56, 72, 0, 0, 0, 0, 0, 4, 0, 0, 0, 7, 0, 0, 0, 0, 0};
  peer->Run([&](UsbPeer& p) {
    std::vector<uint8_t> seen;
    if (p.Take(seen, 26)) p.Give(Framed(answer));
  });
  ASSERT_EQ(transport.OpenPath(device, path), 0);
  Refuse(plat::IoDirection::Read, 0, 2, kErrorGenFailure);
  uint8_t request[14] = {0x0D, 0x56, 72};
  std::vector<uint8_t> reply(64);
  uint32_t length = 64;
  ASSERT_EQ(transport.Exchange(device, request, 14, reply.data(), length), 1);
  EXPECT_EQ(length, answer.size());
  EXPECT_FALSE(transport.LinkLost());
}

TEST_F(UsbFixture, ReadOnAGoneDeviceEndsAtOnce) {
  peer->Run([&](UsbPeer& p) {
    std::vector<uint8_t> seen;
    p.Take(seen, 26);
  });
  ASSERT_EQ(transport.OpenPath(device, path), 0);
  Refuse(plat::IoDirection::Read, 0, 1000, plat::kErrorInvalidHandle);
  uint8_t request[14] = {0x0D, 0x56, 72};
  uint8_t reply[64];
  uint32_t length = sizeof(reply);
  testing::internal::CaptureStdout();
  EXPECT_EQ(transport.Exchange(device, request, 14, reply, length), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n (TransportUSB.cpp,207) - Failed read (usbcb).");
  EXPECT_EQ(gRefusal.seen, 1);  // not issued again
  EXPECT_TRUE(transport.LinkLost());
}

// Each failure names its place, word for word.
TEST_F(UsbFixture, FailureMessages) {
  struct Case {
    plat::IoDirection dir;
    int skip;
    const char* message;
  } cases[] = {
      {plat::IoDirection::Write, 0, "\n (TransportUSB.cpp,188) - Failed write (usbcb)."},
      {plat::IoDirection::Write, 1, "\n (TransportUSB.cpp,198) - Failed write (Packet)."},
      {plat::IoDirection::Read, 1, "\n (TransportUSB.cpp,216) - Failed read (packet)."},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    // A sensor of its own for each case, answering with a control block only.
    std::string own = path + "#" + std::to_string(++n);
    UsbPeer sensor(own);
    ASSERT_TRUE(sensor.Ready());
    sensor.Run([](UsbPeer& p) {
      std::vector<uint8_t> seen;
      if (p.Take(seen, 12)) p.Give(std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0, 18, 0, 0, 0});
    });
    TransportUSB t;
    T100Device d;
    ASSERT_EQ(t.OpenPath(d, own), 0);
    Refuse(c.dir, c.skip, 1000, plat::kErrorInvalidHandle);
    uint8_t request[14] = {0x0D, 0x56, 72};
    uint8_t reply[64];
    uint32_t length = sizeof(reply);
    testing::internal::CaptureStdout();
    EXPECT_EQ(t.Exchange(d, request, 14, reply, length), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message);
    TransportUSB::transferPiece = plat::TransferPiece;
    t.Close(d);
  }
}

TEST_F(UsbFixture, ExchangeMutexThatCannotBeCreatedFailsTheExchange) {
  std::vector<uint8_t> seen;
  peer->Run([&](UsbPeer& p) { p.Take(seen, 1); });
  ASSERT_EQ(transport.OpenPath(device, path), 0);
  // A namespace that does not exist (Windows), a name longer than a file
  // name may be (POSIX).
  transport.NameExchangeMutex("Nowhere\\" + std::string(300, 'x'));
  uint8_t request[14] = {0x0D, 0x56, 72};
  uint8_t reply[64];
  uint32_t length = sizeof(reply);
  testing::internal::CaptureStdout();
  EXPECT_EQ(transport.Exchange(device, request, 14, reply, length), 0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("\nMutex not created: error ", 0), 0u) << out;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(seen.empty());  // nothing was sent without the mutex
}

size_t OpenDescriptors() {
#ifndef _WIN32
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
#else
  return 0;
#endif
}

TEST_F(UsbFixture, OpenWhoseReadPipeFailsHoldsNothing) {
  std::string half = path + "#half";
  plat::PipeServer* write = plat::CreatePipeServer(plat::StandInPipeName(half + "\\PIPE_0x01"), 1);
  ASSERT_NE(write, nullptr);
  std::atomic<bool> stop{false};
  std::thread server([&] {
    while (!stop) {
      if (plat::AcceptPipeClient(write, 20) == 1) plat::DisconnectPipeClient(write);
    }
  });
  size_t before = OpenDescriptors();
  for (int i = 0; i < 20; ++i) {
    TransportUSB t;
    T100Device d;
    EXPECT_EQ(t.OpenPath(d, half), 5);
    EXPECT_FALSE(plat::IsValidOsHandle(d.writePipe));
  }
  EXPECT_EQ(OpenDescriptors(), before);
  stop = true;
  server.join();
  plat::DestroyPipeServer(write);
}

TEST_F(UsbFixture, OpenFollowsTheCountAndTheRecord) {
  T100DeviceInfo info{};
  T100Device d;
  stub::countResult = 5;
  EXPECT_EQ(TransportUSB().Open(d), 2);
  stub::countResult = 0;
  stub::deviceCount = 0;
  EXPECT_EQ(TransportUSB().Open(d), 1);
  stub::deviceCount = 1;
  EXPECT_EQ(TransportUSB().Open(d), 2);  // no record
  info.index = 1;
  d.link = &info;
  EXPECT_EQ(TransportUSB().Open(d), 2);  // index not below the count
  info.index = 0;
  TransportUSB t;
  EXPECT_EQ(t.Open(d), 0);
  EXPECT_TRUE(plat::IsValidOsHandle(d.readPipe));
  EXPECT_TRUE(plat::IsValidOsHandle(d.writePipe));
  t.Close(d);
  EXPECT_EQ(d.readPipe, nullptr);

  // No interface behind the path: the write pipe is the first to fail.
  std::vector<std::string> other{"\\\\?\\tavo#absent"};
  plat::SetDeviceInterfaceStandIns(&other);
  T100Device d2;
  d2.link = &info;
  TransportUSB t2;
  EXPECT_EQ(t2.Open(d2), 6);
}

}  // namespace

namespace {

// The simulator serving a sensor the USB way: T100 objects end to end over
// the stand-in bulk pipes.
TEST(UsbSimulator, ConfigurationStatusAndImage) {
  UsePrivatePipeFolder();
  tavosim::SimConfig cfg;
  cfg.serveMain = false;
  cfg.sensors.resize(1);
  cfg.sensors[0].usbPath = "\\\\?\\tavo#simusb#0";
  cfg.sensors[0].deviceType = 0;
  cfg.sensors[0].width = 120;
  cfg.sensors[0].height = 150;
  cfg.sensors[0].statusScript = {4, 0};
  tavosim::Simulator sim(cfg);
  ASSERT_TRUE(sim.Start());
  std::vector<std::string> paths = sim.UsbInterfacePaths();
  plat::SetDeviceInterfaceStandIns(&paths);

  T100DeviceInfo info{};
  T100Device d;
  d.link = &info;
  stub::countResult = 0;
  stub::deviceCount = 1;
  TransportUSB t;
  ASSERT_EQ(t.Open(d), 0);
  d.link = &t;

  auto run = [&](uint32_t op, uint16_t arg) {
    std::unique_ptr<ICmd> c(CreateCommand(op));
    c->SetArgument(arg);
    return std::unique_ptr<ICmd>(ExecuteCommand(d, c.get()));
  };
  auto config = run(OP_Atomic_Get_Config, 0);
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(static_cast<Atomic_Get_Config*>(config.get())->FConfig[30], 120);
  ASSERT_NE(run(OP_Atomic_Arm_Trigger, 1), nullptr);
  auto st = run(OP_Atomic_Get_Acq_Status, 0);
  ASSERT_NE(st, nullptr);
  EXPECT_EQ(static_cast<Atomic_Get_Acq_Status*>(st.get())->FStatus, 4u);
  auto img = run(OP_Atomic_Get_Composite_Image, 0);
  ASSERT_NE(img, nullptr);
  ASSERT_EQ(img->GetOpcode(), static_cast<uint32_t>(OP_Atomic_Get_Composite_Image));
  EXPECT_EQ(static_cast<Atomic_Get_Composite_Image*>(img.get())->FImageSize, 120u * 150u);

  t.Close(d);
  sim.Stop();
  plat::SetDeviceInterfaceStandIns(nullptr);
}

// A reply that comes after the limit belongs to its request alone, whether it
// arrives before the next request goes out or after: later operations get
// their own replies, also when they ask the same as the late one.
TEST(UsbSimulator, LateReplyIsNeverTakenForALaterOne) {
  UsePrivatePipeFolder();
  T100ForgetMessages();
  tavosim::SimConfig cfg;
  cfg.serveMain = false;
  cfg.sensors.resize(1);
  cfg.sensors[0].usbPath = "\\\\?\\tavo#simusb#late";
  cfg.sensors[0].deviceType = 0;
  cfg.sensors[0].statusScript = {5, 6, 7, 8};
  tavosim::Simulator sim(cfg);
  ASSERT_TRUE(sim.Start());
  std::vector<std::string> paths = sim.UsbInterfacePaths();
  plat::SetDeviceInterfaceStandIns(&paths);
  T100DeviceInfo info{};
  T100Device d;
  d.link = &info;
  stub::countResult = 0;
  stub::deviceCount = 1;
  TransportUSB t;
  ASSERT_EQ(t.Open(d), 0);
  d.link = &t;
  TransportUSB::pieceWaitMs = 400;
  TransportUSB::readLimitMs = 300;
  auto late = [&](bool on) {
    tavosim::SensorConfig s = sim.Sensor(0);
    s.delayMs = on ? 700 : 0;
    sim.Configure(0, s);
  };
  // The first answer that works after a failure, with a few tries.
  auto firstWorking = [](auto operation) {
    int r = T100_NO_REPLY;
    for (int i = 0; i < 4 && r == T100_NO_REPLY; ++i) r = operation();
    return r;
  };

  uint8_t a[64], b[64], got[64];
  std::memset(a, 0xA1, sizeof a);
  std::memset(b, 0xB2, sizeof b);
  ASSERT_EQ(Set_Cmd(d, a), 0);
  late(true);
  EXPECT_EQ(Get_Cmd(d, got), T100_NO_REPLY);  // its reply, block a, comes too late
  late(false);
  EXPECT_EQ(firstWorking([&] { return Set_Cmd(d, b); }), 0);
  EXPECT_EQ(firstWorking([&] { return Get_Cmd(d, got); }), 0);
  EXPECT_EQ(std::memcmp(got, b, sizeof b), 0);

  ASSERT_EQ(Arm_Trigger(d, 1), 0);  // statuses 5, 6, 7, 8 from here
  uint32_t status = 0;
  late(true);
  EXPECT_EQ(Get_Acq_Status(d, &status), T100_NO_REPLY);  // 5, too late
  late(false);
  EXPECT_EQ(firstWorking([&] { return Get_Acq_Status(d, &status); }), 0);
  EXPECT_EQ(status, 6u);
  EXPECT_EQ(Get_Acq_Status(d, &status), 0);
  EXPECT_EQ(status, 7u);

  TransportUSB::pieceWaitMs = TransportUSB::kPieceWaitMs;
  TransportUSB::readLimitMs = TransportUSB::kReadLimitMs;
  t.Close(d);
  sim.Stop();
  plat::SetDeviceInterfaceStandIns(nullptr);
}

}  // namespace
