// The serial transports' receive side with arbitrary bytes on the line: the
// XModem exchange of TransportRS232 (start requests, block headers, numbers
// and their complements, checksums and CRCs, repeats, cancels, the end) and
// the length word and packet of TransportRS232_NX.
//
// Input: a mode byte (bit 0: TransportRS232_NX, bits 1-3 the request), a
// 16-bit reply buffer size less one, then the line: each byte is read as it
// stands, except 0xFF, which escapes the next one: 0xFF itself, below 0x80 a
// read that times out without a byte, otherwise a failed read. After the line,
// every read brings NAK (a peer that only asks again), which ends every loop
// of both framings. Writes always succeed. Both transports are opened once, on
// a pseudo-terminal, through their own Open; no byte ever crosses it.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "plugins/tavoro/T100Serial.h"
#include "plugins/tavoro/T100Transport.h"
#include "seed_replies.h"
#include "seeds.h"

namespace {

struct Line {
  const uint8_t* data = nullptr;
  size_t size = 0;
  size_t pos = 0;
};
Line gLine;

bool ReadLine(plat::OsHandle, void* buffer, uint32_t length, uint32_t* done) {
  auto* out = static_cast<uint8_t*>(buffer);
  *done = 0;
  for (uint32_t i = 0; i < length; ++i) {
    uint8_t b = XModem::NAK;
    if (gLine.pos < gLine.size) {
      b = gLine.data[gLine.pos++];
      if (b == 0xFF && gLine.pos < gLine.size) {
        const uint8_t k = gLine.data[gLine.pos++];
        if (k < 0x80) return true;
        if (k < 0xFF) return false;
      }
    }
    out[i] = b;
    ++*done;
  }
  return true;
}

bool WriteLine(plat::OsHandle, const void*, uint32_t length, uint32_t* done) {
  *done = length;
  return true;
}

TransportRS232 gXModem;
TransportRS232_NX gFramed;
T100Device gDevice;

// The line bytes of an escaped byte string (0xFF doubled).
void PutEscaped(DlSeed& s, const seedreplies::Bytes& bytes) {
  for (uint8_t b : bytes) {
    s.push_back(b);
    if (b == 0xFF) s.push_back(0xFF);
  }
}

// The sensor's side of one XModem exchange: it asks for the request in CRC
// mode and acknowledges its block and its end, announces the reply with two
// NAKs and sends it in 128-byte blocks with CRCs, then the end.
DlSeed XModemSeed(size_t request, const seedreplies::Bytes& reply) {
  DlSeed s = {static_cast<uint8_t>((request % seedreplies::kRequestCount) << 1), 0xFF, 0x0F};
  s.insert(s.end(), {XModem::CRCREQ, XModem::ACK, XModem::ACK, XModem::NAK, XModem::NAK});
  uint8_t number = 1;
  for (size_t at = 0; at < reply.size(); at += 128, ++number) {
    seedreplies::Bytes block(128, XModem::FILL);
    std::copy(reply.begin() + at, reply.begin() + std::min(reply.size(), at + 128), block.begin());
    const uint16_t crc = XModem::Crc16(block.data(), 128);
    PutEscaped(s, {XModem::SOH, number, static_cast<uint8_t>(255 - number)});
    PutEscaped(s, block);
    PutEscaped(s, {static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)});
  }
  s.push_back(XModem::EOT);
  return s;
}

// The length word and the packet.
DlSeed FramedSeed(size_t request, const seedreplies::Bytes& reply) {
  DlSeed s = {static_cast<uint8_t>((request % seedreplies::kRequestCount) << 1 | 1), 0xFF, 0x0F};
  seedreplies::Bytes word;
  DlPut32(word, static_cast<uint32_t>(reply.size()));
  PutEscaped(s, word);
  PutEscaped(s, reply);
  return s;
}

std::vector<DlSeed> Seeds() {
  std::vector<DlSeed> seeds;
  const auto replies = seedreplies::Replies();
  for (size_t i = 0; i < replies.size(); ++i) {
    seeds.push_back(XModemSeed(i, replies[i]));
    seeds.push_back(FramedSeed(i, replies[i]));
  }
  return seeds;
}

// A pseudo-terminal for each port (a port is opened unshared); the masters
// stay open for the run.
bool OpenPort(ITransport& transport, uint32_t com) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
  const char* slave = ptsname(master);
  if (!slave) return false;
  setenv(("DACTYLINK_COM" + std::to_string(com)).c_str(), slave, 1);
  T100Device device;
  device.comPort = com;
  device.baudRate = 115200;
  return transport.Open(device) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  DlWriteSeedsIfAsked(Seeds);
  if (!OpenPort(gXModem, 3) || !OpenPort(gFramed, 4)) std::abort();
  SerialCom::readPort = &ReadLine;
  SerialCom::writePort = &WriteLine;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint8_t mode = data[0];
  const uint32_t capacity = 1 + (data[1] | uint32_t{data[2]} << 8);
  gLine = Line{data + 3, size - 3, 0};
  const seedreplies::Bytes request = seedreplies::Request(mode >> 1 & 7);
  ITransport& transport = mode & 1 ? static_cast<ITransport&>(gFramed) : gXModem;
  std::unique_ptr<uint8_t[]> reply(new uint8_t[capacity]);
  uint32_t length = capacity;
  const int32_t r =
      transport.Exchange(gDevice, request.data(), static_cast<uint32_t>(request.size()), reply.get(), length);
  // Whatever the line brought, a reply fits the buffer it was given.
  if (r == 1 && (length == 0 || length > capacity)) std::abort();
  return 0;
}
