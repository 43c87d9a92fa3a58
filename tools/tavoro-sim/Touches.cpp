#include "Touches.h"

#include <algorithm>
#include <cmath>

#include "fpplace/fpplace.h"

namespace tavosim {

namespace {

constexpr double kPi = 3.14159265358979323846;

uint64_t Mix(uint64_t a, uint64_t b) {
  uint64_t z = a * 0x9E3779B97F4A7C15ull + b + 0x7F4A7C159E3779B9ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Our own generator, so that a seed gives the same pictures with every compiler.
struct Rng {
  uint64_t s;
  uint64_t Next() { return s = Mix(s, 0x51); }
  double U() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }
  double U(double a, double b) { return a + (b - a) * U(); }
};

uint64_t FingerSeed(const TouchPlan& plan, uint32_t sensor, uint32_t finger) {
  return Mix(Mix(plan.seed, 0x5E4000 + sensor), finger);
}

}  // namespace

uint32_t TouchPlan::FramesPerTouch() const {
  uint64_t n = (uint64_t(touchMs) * rate + 500) / 1000;
  return n < 1 ? 1 : static_cast<uint32_t>(n);
}

std::string TouchPlan::Check() const {
  if (fingers < 1 || fingers > 50) return "fingers must be 1 to 50";
  if (touches < 1 || touches > 1000) return "touches must be 1 to 1000";
  if (rate < 1 || rate > 100) return "rate must be 1 to 100 images a second";
  if (touchMs < 50 || touchMs > 60000) return "touch must be 50 to 60000 ms";
  if (liftMs > 60000) return "lift must be at most 60000 ms";
  if (uint64_t(touchMs) * rate < 1000) return "a touch must last at least one image (touch x rate >= 1000 ms/s)";
  return {};
}

bool PlannedPoor(const TouchPlan& plan, uint64_t number) {
  return plan.poorEvery != 0 && (number + 1) % plan.poorEvery == 0;
}

Touch TouchAt(const TouchPlan& plan, uint64_t number, bool poor) {
  Touch t;
  t.number = number;
  const uint64_t perRound = uint64_t(plan.touches) * plan.fingers;
  t.finger = static_cast<uint32_t>((number / plan.touches) % plan.fingers);
  // The finger's touches over all rounds: round r brings its touches r*touches ...
  t.impression = (number / perRound) * plan.touches + number % plan.touches;
  t.poor = poor;
  return t;
}

TouchPainter::TouchPainter(const TouchPlan& plan, uint32_t sensor, int width, int height)
    : FPlan(plan), FSensor(sensor), FWidth(width), FHeight(height) {}

TouchPainter::~TouchPainter() = default;

const fpplace::Finger& TouchPainter::FingerOf(uint32_t finger) {
  auto& f = FFingers[finger];
  if (!f) f = std::make_unique<fpplace::Finger>(fpplace::Finger::Make(FingerSeed(FPlan, FSensor, finger)));
  return *f;
}

std::shared_ptr<const TouchPicture> TouchPainter::Paint(const Touch& touch) {
  const fpplace::Finger& f = FingerOf(touch.finger);
  const uint64_t seed = Mix(Mix(FingerSeed(FPlan, FSensor, touch.finger), 0x70C), touch.impression);
  // Mostly good skin, sometimes dry or wet; a poor touch is a light one.
  fpplace::QualityMix mix{6, 2, 2, 0};
  fpplace::Quality q = touch.poor ? fpplace::Quality::Dry : fpplace::DrawQuality(mix, seed);
  fpplace::ImpressionParams p = fpplace::DrawImpression(f, seed, q);
  // One finger laid on one sensor again and again lands closer to where it
  // landed before than the impressions of a data set do.
  p.rotation *= 0.6;
  p.shiftX *= 0.5;
  p.shiftY *= 0.5;
  if (touch.poor) {
    // Light: little ink. Partial: a small contact area off the finger's centre.
    Rng rng{Mix(seed, 0x9002)};
    p.contrast *= 0.55;
    p.contactScaleX *= 0.6;
    p.contactScaleY *= 0.55;
    double a = rng.U(0, 2 * kPi);
    p.contactX += 0.45 * f.radiusX * std::cos(a);
    p.contactY += 0.45 * f.radiusY * std::sin(a);
  }
  auto pic = std::make_shared<TouchPicture>();
  pic->touch = touch;
  pic->width = FWidth;
  pic->height = FHeight;
  pic->background = p.background;
  pic->noise = p.noise;
  pic->seed = seed;
  p.noise = 0;  // added to every image anew
  pic->pixels = fpplace::Render(f, p, FWidth, FHeight).pixels;
  return pic;
}

std::vector<uint8_t> FrameOf(const TouchPicture& picture, uint32_t frame) {
  const int w = picture.width, h = picture.height;
  std::vector<uint8_t> out(static_cast<size_t>(w) * h);
  if (picture.pixels.size() != out.size()) return out;
  Rng touch{Mix(picture.seed, 0xD71F7)};
  const double phx = touch.U(0, 2 * kPi), phy = touch.U(0, 2 * kPi), phg = touch.U(0, 2 * kPi);
  // The resting finger drifts by a pixel or two and presses harder or
  // lighter; it lands lightly.
  const int dx = static_cast<int>(std::lround(1.4 * std::sin(0.6 * frame + phx)));
  const int dy = static_cast<int>(std::lround(1.4 * std::sin(0.5 * frame + phy)));
  const double gain = frame == 0 ? 0.8 : 0.94 + 0.07 * std::sin(0.8 * frame + phg);
  const double bg = picture.background;
  // Sensor noise: the sum of four uniform draws, scaled to the picture's sigma.
  const double scale = picture.noise * std::sqrt(12.0 / 4.0) / 65536.0;
  Rng noise{Mix(picture.seed, 0xF4A000 + frame)};
  for (int y = 0; y < h; ++y) {
    const int sy = y - dy;
    for (int x = 0; x < w; ++x) {
      const int sx = x - dx;
      double src = sx >= 0 && sx < w && sy >= 0 && sy < h ? picture.pixels[static_cast<size_t>(sy) * w + sx] : bg;
      uint64_t r = noise.Next();
      double n = double((r & 0xFFFF) + ((r >> 16) & 0xFFFF) + ((r >> 32) & 0xFFFF) + (r >> 48)) - 2 * 65535.0;
      double v = bg - (bg - src) * gain + n * scale;
      out[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>(std::clamp(std::lround(v), 0l, 255l));
    }
  }
  return out;
}

// ---------------------------------------------------------------- pictures ahead

TouchPictures::TouchPictures(const TouchPlan& plan, uint32_t sensor, int width, int height)
    : FPlan(plan), FPainter(plan, sensor, width, height) {}

TouchPictures::~TouchPictures() { Stop(); }

void TouchPictures::Start() {
  std::lock_guard<std::mutex> g(FLock);
  if (FThread.joinable()) return;
  FStop = false;
  FThread = std::thread([this] { Run(); });
}

void TouchPictures::Stop() {
  {
    std::lock_guard<std::mutex> g(FLock);
    FStop = true;
  }
  FWake.notify_all();
  if (FThread.joinable()) FThread.join();
}

bool TouchPictures::PoorLocked(uint64_t number) const { return PlannedPoor(FPlan, number) || FPoor.count(number); }

bool TouchPictures::Poor(uint64_t number) {
  std::lock_guard<std::mutex> g(FLock);
  return PoorLocked(number);
}

void TouchPictures::Want(uint64_t number) {
  {
    std::lock_guard<std::mutex> g(FLock);
    FWanted.erase(FWanted.begin(), FWanted.lower_bound(number));
    FMade.erase(FMade.begin(), FMade.lower_bound(number));
    FPoor.erase(FPoor.begin(), FPoor.lower_bound(number));
    if (!FWanted.insert(number).second) return;
  }
  FWake.notify_all();
}

std::shared_ptr<const TouchPicture> TouchPictures::Get(uint64_t number) {
  std::lock_guard<std::mutex> g(FLock);
  auto it = FMade.find(number);
  if (it == FMade.end() || it->second->touch.poor != PoorLocked(number)) return nullptr;
  return it->second;
}

void TouchPictures::MakePoor(uint64_t from, uint32_t count) {
  {
    std::lock_guard<std::mutex> g(FLock);
    for (uint64_t n = from; n < from + count; ++n) FPoor.insert(n);
  }
  FWake.notify_all();
}

void TouchPictures::Run() {
  std::unique_lock<std::mutex> lock(FLock);
  while (!FStop) {
    // The earliest wanted touch whose picture is missing or of the wrong kind.
    bool found = false;
    Touch next;
    for (uint64_t n : FWanted) {
      auto it = FMade.find(n);
      bool poor = PoorLocked(n);
      if (it != FMade.end() && it->second->touch.poor == poor) continue;
      next = TouchAt(FPlan, n, poor);
      found = true;
      break;
    }
    if (!found) {
      // Idle: the finger that comes after the wanted touches is made ahead,
      // so that its first touch does not wait for it.
      if (!FWanted.empty()) {
        uint64_t last = *FWanted.rbegin();
        uint64_t first = (last / FPlan.touches + 1) * FPlan.touches;
        uint32_t finger = TouchAt(FPlan, first, false).finger;
        if (!FPainter.Prepared(finger)) {
          lock.unlock();
          FPainter.Prepare(finger);
          lock.lock();
          continue;
        }
      }
      FWake.wait(lock);
      continue;
    }
    lock.unlock();
    std::shared_ptr<const TouchPicture> pic = FPainter.Paint(next);
    lock.lock();
    if (FWanted.count(next.number)) FMade[next.number] = std::move(pic);
  }
}

// ---------------------------------------------------------------- schedule

TouchSchedule::TouchSchedule(const TouchPlan& plan, Ready ready) : FPlan(plan), FReady(std::move(ready)) {}

void TouchSchedule::Arm(uint64_t now) {
  FArmed = true;
  FReported4 = false;
  Advance(now);
}

void TouchSchedule::Disarm() {
  FArmed = false;
  if (FWaiting) ++FServed;  // a new arming drops the image that waited
  FWaiting = false;
}

bool TouchSchedule::Begin(uint64_t number, uint64_t now) {
  if (!FReady(number)) return false;
  FCurrent = static_cast<int64_t>(number);
  FStart = now;
  FEnd = now + FPlan.touchMs;
  FServed = 0;
  FWaiting = false;
  return true;
}

void TouchSchedule::Advance(uint64_t now) {
  const bool back = FSeen && now - FLastSeen > kIdleMs;
  FLastSeen = now;
  FSeen = true;
  if (FCurrent < 0) {
    // The first finger lands when someone first captures.
    if (FArmed) Begin(0, now);
    return;
  }
  if (now < FEnd) return;
  if (back || now >= FEnd + FPlan.liftMs) Begin(static_cast<uint64_t>(FCurrent) + 1, now);
}

uint32_t TouchSchedule::Status(uint64_t now) {
  Advance(now);
  if (!FArmed) return 10;
  if (FWaiting) return 0;
  if (FCurrent < 0 || now < FStart || now >= FEnd) return 1;
  if (!FReported4) {
    FReported4 = true;
    return 4;
  }
  const uint64_t due = FStart + (2 * uint64_t(FServed) + 1) * 500 / FPlan.rate;
  if (FServed < FPlan.FramesPerTouch() && now >= due) {
    FWaiting = true;
    FTaken = due;
    return 0;
  }
  return 2;
}

TouchSchedule::Frame TouchSchedule::Fetch(uint64_t now) {
  Advance(now);
  Frame f;
  f.touch = FCurrent < 0 ? 0 : static_cast<uint64_t>(FCurrent);
  if (FWaiting) {
    f.frame = FServed++;
    f.taken = FTaken;
    FWaiting = false;
  } else {
    // Frames past any touch's own (a touch has at most 6,000).
    f.frame = (1u << 20) + FExtra++;
    f.taken = now;
    f.due = false;
  }
  return f;
}

}  // namespace tavosim
