// The exchanges of the plug-in's capture cycle alone, without the cycle's
// state machine, the plug-in's exports or the library: against a running
// tavoro-sim whose sensor answers at once (status 4, 2, 0 after each trigger),
// one image takes the same nine exchanges as the cycle's steady state:
//   status until 0 (4, 2, 0), composite image,
//   re-arm: command block read and written back, trigger 0, status (10), trigger 1.
// Prints the time per image; the Java capture benchmark runs this program
// against the same simulator process to set its own figure against it.
//   tavoro_cycle_exchanges [seconds [width height [sensor pipe name]]]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "plugins/tavoro/T100DeviceHandler.h"
#include "plugins/tavoro/T100Transport.h"

namespace {

long gExchanges = 0;

bool Ok(int result) {
  ++gExchanges;
  return result == T100_OK;
}

// Until the sensor reports `wanted` or `other` (-1: none).
bool StatusUntil(T100Device& d, uint32_t wanted, int64_t other = -1) {
  for (int i = 0; i < 1000; ++i) {
    uint32_t status = 0xFFFFFFFFu;
    if (!Ok(Get_Acq_Status(d, &status))) return false;
    if (status == wanted || int64_t(status) == other) return true;
  }
  return false;
}

// The arm of the capture cycle for a sensor that takes trigger type 1.
bool Arm(T100Device& d) {
  uint8_t block[64];
  if (!Ok(Get_Cmd(d, block))) return false;
  std::memset(block + 2, 0, 2);
  std::memset(block + 20, 0, 2);
  if (!Ok(Set_Cmd(d, block))) return false;
  Ok(Arm_Trigger(d, 0));
  if (!StatusUntil(d, 0, 10)) return false;
  return Ok(Arm_Trigger(d, 1));
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
  int width = argc > 3 ? std::atoi(argv[2]) : 256;
  int height = argc > 3 ? std::atoi(argv[3]) : 360;
  std::string pipe = argc > 4 ? argv[4] : "\\\\.\\PIPE\\TavoSensor0";
  TransportSE t;
  T100Device d;
  d.link = &t;
  if (!t.ConnectTo(pipe)) {
    std::fprintf(stderr, "no connection to %s\n", pipe.c_str());
    return 1;
  }
  std::vector<uint8_t> pixels(size_t(width) * size_t(height));
  // As the cycle begins: armed once, then every image re-arms.
  if (!Arm(d)) {
    std::fprintf(stderr, "arming failed\n");
    return 1;
  }
  using Clock = std::chrono::steady_clock;
  auto start = Clock::now();
  gExchanges = 0;
  long images = 0;
  while (std::chrono::duration<double>(Clock::now() - start).count() < seconds) {
    if (!StatusUntil(d, 0)) return 1;
    int32_t acceptance = 0;
    uint32_t reported = 0;
    if (!Ok(Get_Composite_Image(d, pixels.data(), uint32_t(pixels.size()), &acceptance, &reported)) ||
        reported < pixels.size()) {
      std::fprintf(stderr, "no image\n");
      return 1;
    }
    if (!Arm(d)) return 1;
    ++images;
  }
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  double n = double(images ? images : 1);
  std::printf("exchanges-only images/s %.1f ms/image %.3f exchanges/image %.1f\n", images / elapsed,
              1000.0 * elapsed / n, double(gExchanges) / n);
  t.Close(d);
  return 0;
}
