// Serial framings on a pseudo-terminal pair: the transport on the slave side
// (reached as COM3 through DACTYLINK_COM3), a scripted peer or lrzsz on the
// master side.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "plugins/tavoro/T100Serial.h"
#include "plugins/tavoro/T100Transport.h"

namespace {

using Bytes = std::vector<uint8_t>;

class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    slave_ = ptsname(master_);
    termios t{};
    tcgetattr(master_, &t);
    cfmakeraw(&t);
    tcsetattr(master_, TCSANOW, &t);
    setenv("DACTYLINK_COM3", slave_.c_str(), 1);
  }
  ~Pty() {
    if (master_ >= 0) close(master_);
  }
  bool Ok() const { return master_ >= 0 && !slave_.empty(); }
  int fd() const { return master_; }

  void Write(const Bytes& b) const { ASSERT_EQ(write(master_, b.data(), b.size()), static_cast<ssize_t>(b.size())); }
  void Put(uint8_t b) const { Write(Bytes{b}); }
  // Up to n bytes, waiting at most ms for each.
  Bytes Read(size_t n, int ms = 2000) const {
    Bytes out;
    while (out.size() < n) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, ms) <= 0) break;
      uint8_t buf[2048];
      ssize_t k = read(master_, buf, std::min(sizeof(buf), n - out.size()));
      if (k <= 0) break;
      out.insert(out.end(), buf, buf + k);
    }
    return out;
  }
  int Byte(int ms = 2000) const {
    Bytes b = Read(1, ms);
    return b.empty() ? -1 : b[0];
  }

 private:
  int master_ = -1;
  std::string slave_;
};

Bytes Frame(uint8_t start, uint8_t number, const Bytes& data, bool crc) {
  Bytes f;
  f.reserve(data.size() + 5);
  f.push_back(start);
  f.push_back(number);
  f.push_back(static_cast<uint8_t>(255 - number));
  f.insert(f.end(), data.begin(), data.end());
  if (crc) {
    uint16_t c = XModem::Crc16(data.data(), static_cast<uint32_t>(data.size()));
    f.push_back(static_cast<uint8_t>(c >> 8));
    f.push_back(static_cast<uint8_t>(c));
  } else {
    f.push_back(XModem::Checksum(data.data(), static_cast<uint32_t>(data.size())));
  }
  return f;
}

Bytes Pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 3);
  return b;
}

class XModemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.Ok());
    ASSERT_TRUE(x.Port().OpenPort("COM3")) << x.Port().ErrorText();
    ASSERT_TRUE(x.Port().ConfigureCOMPort(115200)) << x.Port().ErrorText();
  }
  Pty pty;
  XModem x;
};

TEST(XModemSums, CrcAndChecksumValues) {
  const uint8_t text[] = "123456789";
  EXPECT_EQ(XModem::Crc16(text, 9), 0x31C3);  // CRC-16/XMODEM check value
  EXPECT_EQ(XModem::Checksum(text, 9), static_cast<uint8_t>(0x31 + 0x32 + 0x33 + 0x34 + 0x35 + 0x36 + 0x37 + 0x38 + 0x39));
}

TEST_F(XModemTest, SendInCrcModeFillsTheLastBlock) {
  Bytes data = Pattern(200, 5);
  Bytes frames;
  std::thread peer([&] {
    pty.Put('C');
    for (int i = 0; i < 2; ++i) {
      Bytes f = pty.Read(133);
      frames.insert(frames.end(), f.begin(), f.end());
      pty.Put(XModem::ACK);
    }
    if (pty.Byte() == XModem::EOT) pty.Put(XModem::ACK);
  });
  EXPECT_EQ(x.Send(data.data(), 200), 256);
  peer.join();
  ASSERT_EQ(frames.size(), 266u);
  Bytes first(data.begin(), data.begin() + 128);
  EXPECT_EQ(Bytes(frames.begin(), frames.begin() + 133), Frame(XModem::SOH, 1, first, true));
  Bytes last(data.begin() + 128, data.end());
  last.push_back(0x1A);
  last.resize(128, 0);
  EXPECT_EQ(Bytes(frames.begin() + 133, frames.end()), Frame(XModem::SOH, 2, last, true));
}

TEST_F(XModemTest, SendInChecksumModeAddsAFillBlockAfterAFullOne) {
  Bytes data = Pattern(128, 9);
  Bytes frames;
  std::thread peer([&] {
    pty.Put(XModem::NAK);
    Bytes f = pty.Read(132);
    frames.insert(frames.end(), f.begin(), f.end());
    pty.Put(XModem::NAK);  // ask again: the same frame comes back
    f = pty.Read(132);
    frames.insert(frames.end(), f.begin(), f.end());
    pty.Put(XModem::ACK);
    f = pty.Read(132);
    frames.insert(frames.end(), f.begin(), f.end());
    pty.Put(XModem::ACK);
    if (pty.Byte() == XModem::EOT) pty.Put(XModem::ACK);
  });
  EXPECT_EQ(x.Send(data.data(), 128), 256);
  peer.join();
  ASSERT_EQ(frames.size(), 3 * 132u);
  EXPECT_EQ(Bytes(frames.begin(), frames.begin() + 132), Frame(XModem::SOH, 1, data, false));
  EXPECT_EQ(Bytes(frames.begin() + 132, frames.begin() + 264), Frame(XModem::SOH, 1, data, false));
  Bytes fill(128, 0);
  fill[0] = 0x1A;
  EXPECT_EQ(Bytes(frames.begin() + 264, frames.end()), Frame(XModem::SOH, 2, fill, false));
}

TEST_F(XModemTest, SendEndsOnCancelAndOnMissingAcks) {
  std::thread peer([&] {
    pty.Put('C');
    pty.Read(133);
    pty.Write({XModem::CAN, XModem::CAN});
    EXPECT_EQ(pty.Byte(), XModem::ACK);
  });
  Bytes data = Pattern(10, 1);
  EXPECT_EQ(x.Send(data.data(), 10), XModem::kCancelled);
  peer.join();

  Bytes tail;
  std::thread silent([&] {
    pty.Put('C');
    pty.Read(133);
    pty.Read(133);  // sent twice, never acknowledged
    tail = pty.Read(3, 1000);
  });
  EXPECT_EQ(x.Send(data.data(), 10), XModem::kNotAcknowledged);
  silent.join();
  EXPECT_EQ(tail, (Bytes{XModem::CAN, XModem::CAN, XModem::CAN}));
}

TEST_F(XModemTest, SendWithoutReceiverGivesUp) {
  Bytes data = Pattern(10, 1);
  EXPECT_EQ(x.Send(data.data(), 10), XModem::kNoStart);
  EXPECT_EQ(pty.Read(3, 500), (Bytes{XModem::CAN, XModem::CAN, XModem::CAN}));
}

TEST_F(XModemTest, ReceiveBothBlockSizesBadBlockAndCapacity) {
  Bytes a = Pattern(128, 2), b = Pattern(1024, 7);
  std::thread peer([&] {
    EXPECT_EQ(pty.Byte(), 'C');
    Bytes bad = Frame(XModem::SOH, 1, a, true);
    bad[50] ^= 0xFF;
    pty.Write(bad);
    EXPECT_EQ(pty.Byte(), XModem::NAK);
    pty.Write(Frame(XModem::SOH, 1, a, true));
    EXPECT_EQ(pty.Byte(), XModem::ACK);
    pty.Write(Frame(XModem::STX, 2, b, true));
    EXPECT_EQ(pty.Byte(), XModem::ACK);
    pty.Put(XModem::EOT);
    EXPECT_EQ(pty.Byte(), XModem::ACK);
  });
  Bytes buffer(1000, 0xEE);
  EXPECT_EQ(x.Receive(buffer.data(), 1000), 1000);
  peer.join();
  EXPECT_TRUE(std::equal(a.begin(), a.end(), buffer.begin()));
  EXPECT_TRUE(std::equal(b.begin(), b.begin() + 872, buffer.begin() + 128));
}

TEST_F(XModemTest, ReceiveTheSameBlockThreeTimesCancels) {
  Bytes a = Pattern(128, 4);
  Bytes tail;
  std::thread peer([&] {
    EXPECT_EQ(pty.Byte(), 'C');
    for (int i = 0; i < 3; ++i) {
      pty.Write(Frame(XModem::SOH, 1, a, true));
      if (i < 2) {
        EXPECT_EQ(pty.Byte(), XModem::ACK);
      }
    }
    tail = pty.Read(3, 3000);
  });
  Bytes buffer(512);
  EXPECT_EQ(x.Receive(buffer.data(), 512), XModem::kTooManyRepeats);
  peer.join();
  EXPECT_EQ(tail, (Bytes{XModem::CAN, XModem::CAN, XModem::CAN}));
}

TEST_F(XModemTest, ReceiveFallsBackToChecksumThenGivesUp) {
  Bytes asked;
  std::thread peer([&] { asked = pty.Read(64, 1500); });
  testing::internal::CaptureStdout();
  Bytes buffer(128);
  EXPECT_EQ(x.Receive(buffer.data(), 128), XModem::kNoStart);
  std::string out = testing::internal::GetCapturedStdout();
  peer.join();
  ASSERT_EQ(asked.size(), 35u);
  EXPECT_EQ(Bytes(asked.begin(), asked.begin() + 16), Bytes(16, 'C'));
  EXPECT_EQ(Bytes(asked.begin() + 16, asked.begin() + 32), Bytes(16, XModem::NAK));
  EXPECT_EQ(Bytes(asked.begin() + 32, asked.end()), Bytes(3, XModem::CAN));
  EXPECT_NE(out.find("\n Receive:  Requesting new control code.  C = -1"), std::string::npos);
}

TEST_F(XModemTest, ReceiveInChecksumModeAfterTheSwitch) {
  Bytes a = Pattern(128, 11);
  std::thread peer([&] {
    while (pty.Byte(3000) != XModem::NAK) {
    }
    pty.Write(Frame(XModem::SOH, 1, a, false));
    EXPECT_EQ(pty.Byte(), XModem::ACK);
    pty.Put(XModem::EOT);
    EXPECT_EQ(pty.Byte(), XModem::ACK);
  });
  testing::internal::CaptureStdout();
  Bytes buffer(128);
  EXPECT_EQ(x.Receive(buffer.data(), 128), 128);
  testing::internal::GetCapturedStdout();
  peer.join();
  EXPECT_EQ(buffer, a);
}

// lrzsz on the master side: an XModem implementation that is not ours.
pid_t SpawnLrzsz(const Pty& pty, const std::vector<std::string>& argv, const std::string& log = "/dev/null") {
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pty.fd(), 0);
    dup2(pty.fd(), 1);
    int err = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(err, 2);
    // rx refuses paths outside its working folder.
    if (chdir("/tmp") != 0) _exit(126);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

int RunLrzsz(const Pty& pty, const std::vector<std::string>& argv, const std::string& log = "/dev/null") {
  pid_t pid = SpawnLrzsz(pty, argv, log);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HaveLrzsz() { return access("/usr/bin/sx", X_OK) == 0 && access("/usr/bin/rx", X_OK) == 0; }

TEST_F(XModemTest, ReceiveFromLrzszSx) {
  ASSERT_TRUE(HaveLrzsz()) << "lrzsz is missing: scripts/setup.sh installs it";
  std::string file = "/tmp/dl-xm-sx-" + std::to_string(getpid());
  Bytes data = Pattern(1000, 3);
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
  int rc = -1;
  std::thread peer([&] { rc = RunLrzsz(pty, {"sx", "-q", file}); });
  Bytes buffer(4096);
  int got = x.Receive(buffer.data(), 4096);
  peer.join();
  unlink(file.c_str());
  EXPECT_EQ(rc, 0);
  ASSERT_GE(got, 1000);
  EXPECT_EQ(got % 128, 0);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), buffer.begin()));
}

// rx takes every block of ours, CRC included. It then turns the first EOT
// away and waits for a second one after a second of silence, while this
// sender repeats its EOT at the pace of its byte reads (about 200 ms): the
// repeats fall into rx's purge, so neither side sees the end acknowledged.
TEST_F(XModemTest, SendToLrzszRx) {
  ASSERT_TRUE(HaveLrzsz()) << "lrzsz is missing: scripts/setup.sh installs it";
  std::string base = "dl-xm-rx-" + std::to_string(getpid());
  std::string log = "/tmp/" + base + ".log";
  Bytes data = Pattern(300, 8);
  pid_t rx = SpawnLrzsz(pty, {"rx", "-vv", "-c", base}, log);
  EXPECT_EQ(x.Send(data.data(), 300), XModem::kNotAcknowledged);
  kill(rx, SIGTERM);  // it would go on waiting for the second EOT
  waitpid(rx, nullptr, 0);
  std::ifstream in(log);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  unlink(log.c_str());
  unlink(("/tmp/" + base).c_str());
  EXPECT_NE(text.find("Blocks received: 3"), std::string::npos) << text;
  EXPECT_EQ(text.find("CRC"), std::string::npos) << text;
  EXPECT_NE(text.find("Got 04 sector header"), std::string::npos) << text;
}

// ---- the transports ----

TEST(SerialTransports, PortNumbersAndNames) {
  Pty pty;
  ASSERT_TRUE(pty.Ok());
  T100Device d;
  d.baudRate = 115200;
  // Ports that exist all the same: only COM1 to COM10 are taken.
  for (const char* var : {"DACTYLINK_COM0", "DACTYLINK_COM11", "DACTYLINK_COM12"}) setenv(var, getenv("DACTYLINK_COM3"), 1);
  for (uint32_t port : {0u, 11u, 12u}) {
    d.comPort = port;
    TransportRS232 t;
    EXPECT_EQ(t.Open(d), 1) << port;
    t.Close(d);
  }
  for (const char* var : {"DACTYLINK_COM0", "DACTYLINK_COM11", "DACTYLINK_COM12"}) unsetenv(var);
  d.comPort = 3;
  TransportRS232 t;
  EXPECT_EQ(t.Open(d), 0);
  char name[8] = "x";
  uint32_t len = 9;
  EXPECT_EQ(t.GetName(d, name, sizeof(name), len), 0);
  EXPECT_EQ(len, 0u);
  t.Close(d);

  // The length-framed transport builds "COM<n>" for any number.
  setenv("DACTYLINK_COM42", getenv("DACTYLINK_COM3"), 1);
  d.comPort = 42;
  d.baudRate = 0x30000000u | 115200u;  // top bits are not part of the speed
  TransportRS232_NX nx;
  EXPECT_EQ(nx.Open(d), 0);
  nx.Close(d);
  d.comPort = 43;
  TransportRS232_NX missing;
  EXPECT_EQ(missing.Open(d), 1);
}

TEST(SerialTransports, LengthFramedExchange) {
  Pty pty;
  ASSERT_TRUE(pty.Ok());
  T100Device d;
  d.comPort = 3;
  d.baudRate = 115200;
  TransportRS232_NX t;
  ASSERT_EQ(t.Open(d), 0);
  Bytes request = Pattern(18, 1);
  Bytes answer = Pattern(142, 9);
  Bytes seen;
  std::thread peer([&] {
    seen = pty.Read(2 + 4 + 18);
    Bytes out{142, 0, 0, 0};
    pty.Write(Bytes(out.begin(), out.begin() + 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(800));  // a pause inside the length word
    pty.Write(Bytes(out.begin() + 2, out.end()));
    pty.Write(answer);
  });
  Bytes reply(1000);
  uint32_t length = 1000;
  EXPECT_EQ(t.Exchange(d, request.data(), 18, reply.data(), length), 1);
  peer.join();
  EXPECT_EQ(length, 142u);
  EXPECT_TRUE(std::equal(answer.begin(), answer.end(), reply.begin()));
  Bytes expect{0x06, 0x06, 18, 0, 0, 0};
  expect.insert(expect.end(), request.begin(), request.end());
  EXPECT_EQ(seen, expect);

  // A reply that announces more than the buffer holds is refused.
  std::thread big([&] {
    pty.Read(24);
    pty.Write({0x00, 0x10, 0x00, 0x00});
  });
  length = 1000;
  EXPECT_EQ(t.Exchange(d, request.data(), 18, reply.data(), length), 0);
  big.join();
  t.Close(d);
}

TEST(SerialTransports, XModemExchangeBothWays) {
  Pty pty;
  ASSERT_TRUE(pty.Ok());
  T100Device d;
  d.comPort = 3;
  d.baudRate = 115200;
  TransportRS232 t;
  ASSERT_EQ(t.Open(d), 0);
  Bytes request = Pattern(14, 3);
  Bytes answer = Pattern(150, 5);
  Bytes got;
  std::thread sensor([&] {
    EXPECT_EQ(pty.Read(2), (Bytes{XModem::NAK, XModem::NAK}));
    pty.Put('C');
    got = pty.Read(133);
    pty.Put(XModem::ACK);
    EXPECT_EQ(pty.Byte(), XModem::EOT);
    pty.Put(XModem::ACK);
    pty.Write({XModem::NAK, XModem::NAK});
    EXPECT_EQ(pty.Byte(), 'C');
    Bytes first(answer.begin(), answer.begin() + 128);
    pty.Write(Frame(XModem::SOH, 1, first, true));
    EXPECT_EQ(pty.Byte(), XModem::ACK);
    Bytes second(answer.begin() + 128, answer.end());
    second.resize(128, 0x1A);
    pty.Write(Frame(XModem::SOH, 2, second, true));
    EXPECT_EQ(pty.Byte(), XModem::ACK);
    pty.Put(XModem::EOT);
    EXPECT_EQ(pty.Byte(), XModem::ACK);
  });
  Bytes reply(1024);
  uint32_t length = 1024;
  EXPECT_EQ(t.Exchange(d, request.data(), 14, reply.data(), length), 1);
  sensor.join();
  EXPECT_EQ(length, 256u);
  EXPECT_TRUE(std::equal(answer.begin(), answer.end(), reply.begin()));
  ASSERT_EQ(got.size(), 133u);
  EXPECT_TRUE(std::equal(request.begin(), request.end(), got.begin() + 3));
  t.Close(d);
}

}  // namespace
