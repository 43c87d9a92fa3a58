// The reader layer of the library finds omr_tavoro_64 beside the program, lists
// the sensors of a simulated device service and delivers their images through
// the reader component, over the pipes the real service would use.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "TavoroSim.h"
#include "readers/GestorLeitores.h"
#include "readers/OmbrelFP.h"

namespace {

constexpr int kWidth = 200;
constexpr int kHeight = 250;

tavosim::SimConfig TwoSensors() {
  tavosim::SimConfig c;
  c.sensors.resize(2);
  c.sensors[0].serialHigh = 0x12AB;  // configuration word 116
  c.sensors[0].serialLow = 0x34CD;   // configuration word 4
  c.sensors[1].serialHigh = 0x00C0;
  c.sensors[1].serialLow = 0xFFEE;
  for (auto& s : c.sensors) {
    s.width = kWidth;
    s.height = kHeight;
    s.fingerAfter = 1;
  }
  return c;
}

// The pictures sensor `index` serves, in turn.
std::vector<std::vector<uint8_t>> Served(size_t index) {
  std::vector<std::vector<uint8_t>> out;
  for (uint32_t k = 0; k < 3; ++k) out.push_back(tavosim::MakeImage(kWidth, kHeight, uint32_t(index * 31 + k + 1)));
  return out;
}

bool WaitFor(const std::function<bool()>& cond, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A reader component in development mode that keeps a copy of every image.
struct Capture {
  TOmbrelFP fp;
  std::mutex lock;
  std::vector<TGrayImage> images;

  explicit Capture(const std::string& serial) {
    fp.OnCapturou = [this](TOmbrelFP* s, int32_t) {
      std::lock_guard<std::mutex> g(lock);
      images.push_back(*s->ImagemAtual());
    };
    fp.SetNumSerieLeitor(serial);
  }
  size_t Count() {
    std::lock_guard<std::mutex> g(lock);
    return images.size();
  }
};

class TavoroEndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sim = new tavosim::Simulator(TwoSensors());
    ASSERT_TRUE(sim->Start());
  }
  static void TearDownTestSuite() {
    delete sim;
    sim = nullptr;
  }
  static tavosim::Simulator* sim;
};
tavosim::Simulator* TavoroEndToEnd::sim = nullptr;

TEST_F(TavoroEndToEnd, ListsTheSensorsByTheirSerialWords) {
  ASSERT_EQ(TotalReaderCount(), 2);
  std::set<std::string> serials{SerialAtIndex(0), SerialAtIndex(1)};
  EXPECT_EQ(serials, (std::set<std::string>{"Tavoro\\12AB34CD", "Tavoro\\00C0FFEE"}));
  EXPECT_EQ(SerialAtIndex(2), "");
}

TEST_F(TavoroEndToEnd, EachSensorDeliversItsOwnImagesUnchanged) {
  const char* serials[] = {"Tavoro\\12AB34CD", "Tavoro\\00C0FFEE"};
  for (size_t i = 0; i < 2; ++i) {
    Capture c(serials[i]);
    c.fp.SetModoOperacao(moDesenvolvimento);
    ASSERT_TRUE(c.fp.EstaAtivo());
    ASSERT_TRUE(WaitFor([&] { return c.Count() >= 3; }, 30000)) << serials[i];
    c.fp.SetModoOperacao(moInativo);
    EXPECT_FALSE(c.fp.EstaAtivo());
    auto served = Served(i);
    std::lock_guard<std::mutex> g(c.lock);
    for (const TGrayImage& img : c.images) {
      ASSERT_EQ(img.Width, kWidth);
      ASSERT_EQ(img.Height, kHeight);
      EXPECT_NE(std::find(served.begin(), served.end(), img.Bits), served.end())
          << serials[i] << ": an image the sensor never served";
    }
  }
}

// The service serves several clients per sensor: a listing and a start while
// the other sensor captures are answered at once, not after the busy
// attempts (about 50 s) of a pipe held by the capture.
TEST_F(TavoroEndToEnd, BothSensorsCaptureAtOnce) {
  Capture a("Tavoro\\12AB34CD"), b("Tavoro\\00C0FFEE");
  a.fp.SetModoOperacao(moDesenvolvimento);
  ASSERT_TRUE(WaitFor([&] { return a.Count() >= 1; }, 30000));
  EXPECT_EQ(TotalReaderCount(), 2) << "a listing while a sensor captures";
  auto start = std::chrono::steady_clock::now();
  b.fp.SetModoOperacao(moDesenvolvimento);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << "the start waited on a busy pipe";
  EXPECT_TRUE(WaitFor([&] { return a.Count() >= 2 && b.Count() >= 2; }, 30000));
  a.fp.SetModoOperacao(moInativo);
  b.fp.SetModoOperacao(moInativo);
}

TEST_F(TavoroEndToEnd, TheServiceGoingAwayDuringCaptureEndsNothingButTheImages) {
  Capture c("Tavoro\\12AB34CD");
  c.fp.SetModoOperacao(moDesenvolvimento);
  ASSERT_TRUE(WaitFor([&] { return c.Count() >= 1; }, 30000));
  ASSERT_TRUE(sim->SetServing(false) || !sim->Serving());
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  size_t before = c.Count();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(c.Count(), before) << "images while the service is away";
  c.fp.SetModoOperacao(moInativo);
  EXPECT_FALSE(c.fp.EstaAtivo());

  ASSERT_TRUE(sim->SetServing(true));
  EXPECT_TRUE(WaitFor([] { return TotalReaderCount() == 2; }, 20000)) << "the sensors are not listed again";
  Capture again("Tavoro\\12AB34CD");
  again.fp.SetModoOperacao(moDesenvolvimento);
  EXPECT_TRUE(WaitFor([&] { return again.Count() >= 1; }, 30000)) << "no image once the service is back";
  again.fp.SetModoOperacao(moInativo);
}

// The service is killed while both sensors capture and is back 2 s later with
// its sensors renumbered: capture goes on by itself, each sensor with its own
// images, without a new start; meanwhile nothing floods the output.
TEST_F(TavoroEndToEnd, CaptureResumesAfterTheServiceRestarts) {
  Capture a("Tavoro\\12AB34CD"), b("Tavoro\\00C0FFEE");
  a.fp.SetModoOperacao(moDesenvolvimento);
  b.fp.SetModoOperacao(moDesenvolvimento);
  ASSERT_TRUE(WaitFor([&] { return a.Count() >= 1 && b.Count() >= 1; }, 30000));
  testing::internal::CaptureStdout();
  sim->RestartService(2000, true);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  size_t before[2] = {a.Count(), b.Count()};
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(a.Count(), before[0]) << "images while the service is away";
  EXPECT_TRUE(WaitFor([&] { return a.Count() >= before[0] + 2 && b.Count() >= before[1] + 2; }, 10000))
      << "capture did not resume";
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_LE(std::count(out.begin(), out.end(), '\n'), 40) << out;
  a.fp.SetModoOperacao(moInativo);
  b.fp.SetModoOperacao(moInativo);
  Capture* both[] = {&a, &b};
  for (size_t i = 0; i < 2; ++i) {
    auto served = Served(i);
    std::lock_guard<std::mutex> g(both[i]->lock);
    for (const TGrayImage& img : both[i]->images)
      EXPECT_NE(std::find(served.begin(), served.end(), img.Bits), served.end()) << i << ": not its own image";
  }
}

// The road of an image from a realistic sensor (whose images never repeat)
// to the reader component's handler: every image delivered is one the sensor
// served after the one delivered before it, so none is delivered twice.
TEST(TavoroRealisticEndToEnd, EachServedImageIsDeliveredOnceInOrder) {
  tavosim::SimConfig cfg;
  cfg.sensors.resize(1);
  tavosim::SensorConfig& s = cfg.sensors[0];
  s.serialHigh = 0x7E1E;
  s.serialLow = 0x0002;
  s.width = kWidth;
  s.height = kHeight;
  s.realistic = true;
  s.touches.fingers = 1;
  s.touches.rate = 50;
  s.touches.touchMs = 600;
  s.touches.liftMs = 200;
  tavosim::Simulator realistic(cfg);
  ASSERT_TRUE(realistic.Start());
  Capture c("Tavoro\\7E1E0002");
  c.fp.SetModoOperacao(moDesenvolvimento);
  ASSERT_TRUE(WaitFor([&] { return c.Count() >= 40; }, 60000));
  c.fp.SetModoOperacao(moInativo);
  std::vector<tavosim::ServedImage> served = realistic.Served(0);
  realistic.Stop();
  std::lock_guard<std::mutex> g(c.lock);
  size_t at = 0;
  for (size_t i = 0; i < c.images.size(); ++i) {
    const TGrayImage& img = c.images[i];
    ASSERT_EQ(img.Bits.size(), size_t(kWidth) * kHeight);
    uint64_t hash = tavosim::PixelHash(img.Bits.data(), img.Bits.size());
    while (at < served.size() && served[at].hash != hash) ++at;
    ASSERT_LT(at, served.size()) << "image " << i << " of " << c.images.size()
                                 << " was not served after the one delivered before it";
    ++at;
  }
}

}  // namespace
