// The USB transport's side of the exchange with arbitrary sensor behaviour:
// control blocks announcing any length, replies in pieces, short packets,
// time-outs, failures, and the draining and resynchronisation after a failed
// exchange, through TransportUSB::Exchange. Input layout in
// exchange_fuzz.h.
#include <vector>

#include "exchange_fuzz.h"

namespace {

// Two writes (control block, request), then the reply's control block and its
// packet, each read whole.
DlSeed Answer(const seedreplies::Bytes& packet) {
  DlSeed s = {0x00, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0};
  DlPut32(s, static_cast<uint32_t>(packet.size()));
  s.push_back(0x00);
  DlAppend(s, packet);
  return s;
}

std::vector<DlSeed> Seeds() {
  std::vector<DlSeed> seeds = ReplySeeds(Answer);
  const auto replies = seedreplies::Replies();
  // A reply lost halfway (the link breaks); the next exchange drains (a short
  // packet), resynchronises on the configuration reply and gets its own.
  DlSeed s = SeedHead(0, 2);
  DlAppend(s, {0x00, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 40, 0, 0, 0, 0xF0, 0xE0});
  DlAppend(s, Answer(replies[1]));
  DlAppend(s, Answer(replies[0]));
  seeds.push_back(s);
  return seeds;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  DlWriteSeedsIfAsked(Seeds);
  TransportUSB::transferPiece = &ScriptedLink::Transfer;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ExchangeInput in;
  if (!ParseExchangeInput(data, size, in)) return 0;
  ScriptedLink link(in.script, in.scriptSize);
  TransportUSB transport;
  T100Device device;
  device.link = &transport;
  RunExchanges(transport, device, in, link, [](int32_t, const uint8_t*, uint32_t) {});
  return 0;
}
