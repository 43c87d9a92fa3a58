// The exchanges of one capture alone, without the plug-in's cycle or the
// library: arm the trigger, ask the acquisition status until the image is
// ready, fetch the composite image, over TransportSE against the simulator
// answering at once. Prints the time per image; the Java capture benchmark
// runs this program to set its own figure against it.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "TavoroSim.h"
#include "plugins/tavoro/T100Cmd.h"
#include "plugins/tavoro/T100Transport.h"

namespace {

std::unique_ptr<ICmd> Run(T100Device& d, uint32_t opcode, uint16_t argument = 0) {
  std::unique_ptr<ICmd> cmd(CreateCommand(opcode));
  cmd->SetArgument(argument);
  return std::unique_ptr<ICmd>(ExecuteCommand(d, cmd.get()));
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
  int width = argc > 2 ? std::atoi(argv[2]) : 256;
  int height = argc > 3 ? std::atoi(argv[3]) : 360;
  tavosim::SimConfig cfg;
  cfg.sensors.resize(1);
  cfg.sensors[0].width = static_cast<uint16_t>(width);
  cfg.sensors[0].height = static_cast<uint16_t>(height);
  cfg.sensors[0].fingerAfter = 0;
  tavosim::Simulator sim(cfg);
  if (!sim.Start()) {
    std::fprintf(stderr, "simulator did not start\n");
    return 1;
  }
  TransportSE t;
  T100Device d;
  d.link = &t;
  if (!t.ConnectTo(sim.SensorPipe(0))) {
    std::fprintf(stderr, "no connection\n");
    return 1;
  }
  using Clock = std::chrono::steady_clock;
  auto start = Clock::now();
  long images = 0, exchanges = 0;
  while (std::chrono::duration<double>(Clock::now() - start).count() < seconds) {
    if (!Run(d, OP_Atomic_Arm_Trigger, 1)) return 1;
    ++exchanges;
    for (;;) {
      auto r = Run(d, OP_Atomic_Get_Acq_Status);
      ++exchanges;
      if (!r || r->GetOpcode() != OP_Atomic_Get_Acq_Status) return 1;
      if (static_cast<Atomic_Get_Acq_Status*>(r.get())->FStatus == 0) break;
    }
    auto img = Run(d, OP_Atomic_Get_Composite_Image);
    ++exchanges;
    if (!img || img->GetOpcode() != OP_Atomic_Get_Composite_Image) return 1;
    ++images;
  }
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("exchanges-only images/s %.1f ms/image %.3f exchanges/image %.1f\n", images / elapsed,
              1000.0 * elapsed / double(images ? images : 1), double(exchanges) / double(images ? images : 1));
  t.Close(d);
  sim.Stop();
  return 0;
}
