// Exchanges per second through TransportSE against the simulator, beside a
// bare request/reply ping-pong of the same sizes over the same kind of pipe.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "TavoroSim.h"
#include "platform/pipes.h"
#include "plugins/tavoro/T100Cmd.h"
#include "plugins/tavoro/T100Transport.h"
#include "test_env.h"

namespace {

void BM_TransportSE_AcqStatus(benchmark::State& state) {
  UsePrivatePipeFolder();
  tavosim::SimConfig cfg;
  cfg.sensors.resize(1);
  tavosim::Simulator sim(cfg);
  if (!sim.Start()) {
    state.SkipWithError("simulator did not start");
    return;
  }
  TransportSE t;
  T100Device d;
  d.link = &t;
  if (!t.ConnectTo(sim.SensorPipe(0))) {
    state.SkipWithError("no connection");
    return;
  }
  for (auto _ : state) {
    std::unique_ptr<ICmd> cmd(CreateCommand(OP_Atomic_Get_Acq_Status));
    std::unique_ptr<ICmd> reply(ExecuteCommand(d, cmd.get()));
    if (!reply) state.SkipWithError("exchange failed");
  }
  state.SetItemsProcessed(state.iterations());
  t.Close(d);
  sim.Stop();
}
BENCHMARK(BM_TransportSE_AcqStatus)->UseRealTime();

// Same bytes each way (12 + 14 out, 12 + 18 back), no T100 objects, no 1 MiB
// reply buffer, a server that answers at once.
void BM_PlainPipe_PingPong(benchmark::State& state) {
  UsePrivatePipeFolder();
  const std::string name = "\\\\.\\PIPE\\TavoBenchPingPong";
  plat::PipeServer* server = plat::CreatePipeServer(name, 1);
  if (!server) {
    state.SkipWithError("no server");
    return;
  }
  std::atomic<bool> stop{false};
  std::thread peer([&] {
    while (!stop && plat::AcceptPipeClient(server, 50) != 1) {
    }
    uint8_t in[26];
    uint8_t out[30] = {};
    out[8] = 18;
    while (!stop) {
      uint32_t got = 0;
      while (got < sizeof(in)) {
        uint32_t done = 0;
        int r = plat::ServerRead(server, in + got, sizeof(in) - got, &done, 50);
        if (r < 0 || stop) return;
        got += done;
      }
      plat::ServerWrite(server, out, sizeof(out));
    }
  });
  plat::OsHandle client = plat::OpenPipe(name, true);
  uint8_t req[26] = {};
  req[8] = 14;
  uint8_t rep[30];
  for (auto _ : state) {
    uint32_t done = 0;
    plat::WriteOsHandle(client, req, sizeof(req), &done);
    uint32_t got = 0;
    while (got < sizeof(rep)) {
      if (!plat::ReadOsHandle(client, rep + got, sizeof(rep) - got, &done)) break;
      got += done;
    }
  }
  state.SetItemsProcessed(state.iterations());
  stop = true;
  plat::CloseOsHandle(client);
  peer.join();
  plat::DestroyPipeServer(server);
}
BENCHMARK(BM_PlainPipe_PingPong)->UseRealTime();

class RateReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      auto it = r.counters.find("items_per_second");
      if (it != r.counters.end()) rates[r.benchmark_name()] = it->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> rates;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  double se = 0, plain = 0;
  for (auto& [name, rate] : reporter.rates) {
    if (name.find("TransportSE") != std::string::npos) se = rate;
    if (name.find("PlainPipe") != std::string::npos) plain = rate;
  }
  if (se > 0 && plain > 0) {
    std::printf("TransportSE exchanges/s %.0f, plain ping-pong/s %.0f, ratio %.2f\n", se, plain, se / plain);
  }
  return 0;
}
