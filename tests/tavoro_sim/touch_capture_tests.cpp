// The realistic sensor served over its pipes and captured through the
// plug-in's exports, as the library captures: the images delivered are those
// the sensor served, in order and once each, no two in a row alike; the
// sensor takes them at its rate (by its own clock) and never while the finger
// is lifted. A busy machine slows the client, not the sensor: the images wait
// until they are fetched.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "TavoroSim.h"
#include "plugins/tavoro/CaptureContext.h"

#ifndef _WIN32
#include <unistd.h>
#endif

extern "C" {
int32_t OMR_GetDeviceList(void* buffer, int32_t size);
void* OMR_OpenDevice(const char* serial);
uint8_t OMR_CloseDevice(void* handle);
uint8_t OMR_GetMaxSize(void* handle, TOmrImageSize* size);
uint8_t OMR_GetImage(void* handle, TOmrImage* image);
}

namespace {

void PrivatePipes() {
#ifndef _WIN32
  static struct Folder {
    std::string dir = "/tmp/dl-tavoro-touch-" + std::to_string(getpid());
    Folder() {
      setenv("DACTYLINK_PIPE_DIR", dir.c_str(), 1);
      setenv("DACTYLINK_REGISTRY", (dir + "-reg").c_str(), 1);
    }
    ~Folder() {
      std::error_code ec;
      std::filesystem::remove_all(dir, ec);
      std::filesystem::remove_all(dir + "-reg", ec);
    }
  } folder;
#endif
}

TEST(RealisticCapture, ImagesAsServedAtTheRateAndNoneWhileLifted) {
  PrivatePipes();
  tavosim::SimConfig cfg;
  cfg.sensors.resize(1);
  tavosim::SensorConfig& s = cfg.sensors[0];
  s.serialHigh = 0x7E1E;
  s.serialLow = 0x0001;
  s.width = 160;
  s.height = 200;
  s.realistic = true;
  s.touches.fingers = 1;
  s.touches.rate = 20;
  s.touches.touchMs = 400;  // 8 images a touch
  s.touches.liftMs = 300;
  tavosim::Simulator sim(cfg);
  ASSERT_TRUE(sim.Start());

  std::vector<uint8_t> list(64);
  ASSERT_GT(OMR_GetDeviceList(list.data(), int32_t(list.size())), 4);
  void* h = OMR_OpenDevice("7E1E0001");
  ASSERT_NE(h, nullptr);
  TOmrImageSize size{};
  ASSERT_EQ(OMR_GetMaxSize(h, &size), 1);
  const size_t pixels = size_t(size.ByteSize);
  ASSERT_EQ(pixels, 160u * 200u);
  std::vector<uint8_t> record(20 + pixels);
  auto* image = reinterpret_cast<TOmrImage*>(record.data());

  // Three touches. A status exchange of the realistic sensor takes 2 ms: a
  // minute at most.
  std::vector<std::vector<uint8_t>> got;
  for (int polls = 0; polls < 30000; ++polls) {
    if (OMR_GetImage(h, image) == 1) got.emplace_back(record.begin() + 20, record.end());
    std::vector<tavosim::ServedImage> served = sim.Served(0);
    if (!served.empty() && served.back().touch >= 3) break;
  }
  ASSERT_EQ(OMR_CloseDevice(h), 1);
  std::vector<tavosim::ServedImage> served = sim.Served(0);
  sim.Stop();

  // Delivered: what was served, in order, each once, and no two alike in a row.
  ASSERT_GE(got.size(), 4u);
  size_t at = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    if (i) {
      EXPECT_NE(got[i], got[i - 1]) << "image " << i << " is the one before again";
    }
    uint64_t hash = tavosim::PixelHash(got[i].data(), got[i].size());
    while (at < served.size() && served[at].hash != hash) ++at;
    ASSERT_LT(at, served.size()) << "image " << i << " was not served after the one before it";
    ++at;
  }

  // The rate, on the sensor's clock: within each touch, images taken a
  // twentieth of a second apart (20 % either way); none while lifted.
  for (int64_t touch = 0; touch < 3; ++touch) {
    std::vector<uint64_t> taken;
    for (const auto& r : served)
      if (r.touch == touch) taken.push_back(r.taken);
    ASSERT_GE(taken.size(), 2u) << "touch " << touch;
    double rate = (taken.size() - 1) * 1000.0 / double(taken.back() - taken.front());
    EXPECT_NEAR(rate, 20.0, 4.0) << "touch " << touch;
  }
  for (size_t i = 1; i < served.size(); ++i) {
    if (served[i].touch == served[i - 1].touch) continue;
    EXPECT_GE(served[i].taken - served[i - 1].taken, s.touches.liftMs) << "an image while the finger was lifted";
  }
}

}  // namespace
