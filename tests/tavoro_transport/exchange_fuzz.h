// What the fuzz targets of the USB and the service transport share: the input
// layout and the exchanges one input drives.
//
// Input: a mode byte (bits 0-2 the request, bits 4-5 the number of exchanges
// less one, bit 6 a sixteen times larger buffer), a 16-bit reply buffer size less one, then the script of
// scripted_link.h. Replies land in a buffer of exactly the stated size, so
// that a write past it is caught (the bytes past the size are poisoned: a
// fresh buffer of up to 1 MB for every input cost more than the rest of it).
#pragma once

#include <sanitizer/asan_interface.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "plugins/tavoro/T100Cmd.h"
#include "plugins/tavoro/T100Transport.h"
#include "scripted_link.h"
#include "seed_replies.h"
#include "seeds.h"

struct ExchangeInput {
  uint8_t mode = 0;
  uint32_t capacity = 0;
  const uint8_t* script = nullptr;
  size_t scriptSize = 0;
};

inline bool ParseExchangeInput(const uint8_t* data, size_t size, ExchangeInput& in) {
  if (size < 3) return false;
  in.mode = data[0];
  in.capacity = (1 + (data[1] | uint32_t{data[2]} << 8)) * (in.mode & 0x40 ? 16 : 1);  // at most 1 MB
  in.script = data + 3;
  in.scriptSize = size - 3;
  return true;
}

// The head of a seed: the request and a buffer of 4,096 bytes.
inline DlSeed SeedHead(size_t request, int exchanges = 1) {
  return {static_cast<uint8_t>(request % seedreplies::kRequestCount | (exchanges - 1) << 4), 0xFF, 0x0F};
}

// One seed for each real reply: the head for its request, then the script
// `answer(reply)` that brings it.
template <class Answer>
std::vector<DlSeed> ReplySeeds(Answer answer) {
  std::vector<DlSeed> seeds;
  const auto replies = seedreplies::Replies();
  for (size_t i = 0; i < replies.size(); ++i) {
    seeds.push_back(SeedHead(i));
    DlAppend(seeds.back(), answer(replies[i]));
  }
  return seeds;
}

// Runs the exchanges of one input, each followed by `check(result, reply,
// length)`; a reply must fit its buffer and a failed exchange has none.
// (ExecuteCommand, which hands the reply on to the command classes, is fuzzed
// with the device operations in tests/tavoro_plugin; here its fresh 1 MB
// buffer per exchange would cost more than everything else.)
template <class Check>
void RunExchanges(ITransport& transport, T100Device& device, const ExchangeInput& in, const ScriptedLink& link,
                  Check check) {
  const seedreplies::Bytes request = seedreplies::Request(in.mode & 7);
  static std::unique_ptr<uint8_t[]> buffer(new uint8_t[kT100ReplyBufferSize]);
  uint8_t* reply = buffer.get();
  ASAN_UNPOISON_MEMORY_REGION(reply, kT100ReplyBufferSize);
  ASAN_POISON_MEMORY_REGION(reply + in.capacity, kT100ReplyBufferSize - in.capacity);
  const int exchanges = 1 + ((in.mode >> 4) & 3);
  for (int k = 0; k < exchanges && !link.Exhausted(); ++k) {
    uint32_t length = in.capacity;
    const int32_t r =
        transport.Exchange(device, request.data(), static_cast<uint32_t>(request.size()), reply, length);
    if (r == 1 ? length > in.capacity : (r != 0 || length != 0)) std::abort();
    check(r, reply, length);
  }
}
