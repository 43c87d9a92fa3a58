// Exchanges per second through TransportSE against the simulator, beside a
// bare request/reply ping-pong of the same sizes over the same kind of socket.
#include <benchmark/benchmark.h>
#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "TavoroSim.h"
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

// Reads exactly n bytes; false at the end of the stream or on an error.
bool ReadExact(int fd, uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t got = recv(fd, p, n, MSG_WAITALL);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

// The floor of the exchange: the same bytes each way (12 + 14 out, 12 + 18
// back) over a Unix stream socket pair, which is what the service pipe is
// here, with one write and one exact read per side and a peer that answers at
// once. It goes to the kernel directly rather than through the platform
// layer, so that no change there can move the floor.
void BM_PlainSocketPair_PingPong(benchmark::State& state) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
    state.SkipWithError("no socket pair");
    return;
  }
  std::thread peer([fd = sv[1]] {
    uint8_t in[26];
    uint8_t out[30] = {};
    out[8] = 18;
    while (ReadExact(fd, in, sizeof(in))) {
      if (send(fd, out, sizeof(out), MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof(out))) return;
    }
  });
  uint8_t req[26] = {};
  req[8] = 14;
  uint8_t rep[30];
  for (auto _ : state) {
    if (send(sv[0], req, sizeof(req), MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof(req)) ||
        !ReadExact(sv[0], rep, sizeof(rep))) {
      state.SkipWithError("ping-pong failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  shutdown(sv[0], SHUT_RDWR);  // the peer's read ends
  peer.join();
  close(sv[0]);
  close(sv[1]);
}
BENCHMARK(BM_PlainSocketPair_PingPong)->UseRealTime();

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
    if (name.find("PlainSocketPair") != std::string::npos) plain = rate;
  }
  if (se > 0 && plain > 0) {
    std::printf("TransportSE exchanges/s %.0f, plain ping-pong/s %.0f, ratio %.2f\n", se, plain, se / plain);
  }
  return 0;
}
