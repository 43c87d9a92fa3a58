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
#include "plugins/tavoro/T100Transport.h"
#include "test_env.h"

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
    static int counter = 0;
    path = "\\\\?\\tavo#sim#" + std::to_string(++counter);
    std::vector<std::string> list{path};
    plat::SetDeviceInterfaceStandIns(&list);
    peer = std::make_unique<UsbPeer>(path);
    ASSERT_TRUE(peer->Ready());
  }
  void TearDown() override {
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

}  // namespace
