// The service transport's side of the exchange with arbitrary service
// behaviour: control blocks announcing any length, replies in pieces, the
// read-ahead that keeps bytes for the next read, time-outs and failures,
// through TransportSE::Exchange. Input layout in
// exchange_fuzz.h.
//
// Each input gets a connection of its own to a local pipe, so that the
// transport is connected as in use; every transfer on it is scripted.
#include <cstring>
#include <string>
#include <vector>

#include "exchange_fuzz.h"
#include "platform/pipes.h"
#include "test_env.h"

namespace {

const std::string kPipe = "\\\\.\\PIPE\\dl-fuzz-service";
plat::PipeServer* gServer = nullptr;

uint32_t U32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

// One write (control block and request together), one read that brings the
// reply's control block and packet at once.
DlSeed Answer(const seedreplies::Bytes& packet) {
  DlSeed s = {0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0};
  DlPut32(s, static_cast<uint32_t>(packet.size()));
  DlAppend(s, packet);
  return s;
}

std::vector<DlSeed> Seeds() {
  std::vector<DlSeed> seeds = ReplySeeds(Answer);
  const auto replies = seedreplies::Replies();
  // Two replies in one short read: the second is kept for the second exchange.
  DlSeed s = SeedHead(0, 2);
  const DlSeed one = Answer(replies[0]);
  const DlSeed body(one.begin() + 2, one.end());
  DlSeed two = body;
  DlAppend(two, body);
  s.push_back(0x00);
  s.push_back(static_cast<uint8_t>(0x7F + two.size()));
  DlAppend(s, two);
  s.push_back(0x00);
  seeds.push_back(s);
  return seeds;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  DlWriteSeedsIfAsked(Seeds);
  UsePrivatePipeFolder();
  gServer = plat::CreatePipeServer(kPipe, 2);
  if (!gServer) std::abort();
  NamedPipe::transferPiece = &ScriptedLink::Transfer;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ExchangeInput in;
  if (!ParseExchangeInput(data, size, in)) return 0;
  TransportSE transport;
  T100Device device;
  device.link = &transport;
  if (!transport.ConnectTo(kPipe) || plat::AcceptPipeClient(gServer, 5000) != 1) std::abort();
  {
    ScriptedLink link(in.script, in.scriptSize, true);
    // Every reply is the next bytes the service sent after the ones taken
    // before, in order: none skipped, none made up.
    size_t taken = 0;
    RunExchanges(transport, device, in, link, [&](int32_t r, const uint8_t* reply, uint32_t length) {
      if (r != 1) return;
      const auto& sent = link.Delivered();
      if (sent.size() < taken + 12 + length || U32(sent.data() + taken + 8) != length ||
          (length && std::memcmp(reply, sent.data() + taken + 12, length) != 0))
        std::abort();
      taken += 12 + length;
    });
  }
  transport.Close(device);
  plat::DisconnectPipeClient(gServer);
  return 0;
}
