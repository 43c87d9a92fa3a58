#include <cstdio>
#include <cstring>

#include "platform/errors.h"
#include "plugins/tavoro/T100Diag.h"
#include "plugins/tavoro/T100Serial.h"
#include "plugins/tavoro/T100Transport.h"

namespace {
const char* const kPortNames[] = {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "COM9", "COM10"};
constexpr uint32_t kReplyStartMs = 5000;
}  // namespace

// ---- TransportRS232: XModem ----

TransportRS232::~TransportRS232() { delete FXModem; }

int32_t TransportRS232::Open(T100Device& device) {
  delete FXModem;
  FXModem = new XModem;
  if (device.comPort < 1 || device.comPort > 10) return 1;
  if (!FXModem->Port().OpenPort(kPortNames[device.comPort - 1])) return 1;
  if (!FXModem->Port().ConfigureCOMPort(device.baudRate)) return 1;
  return 0;
}

int32_t TransportRS232::Close(T100Device&) {
  if (FXModem) FXModem->Port().ClosePort();
  delete FXModem;
  FXModem = nullptr;
  return 0;
}

int32_t TransportRS232::Exchange(T100Device&, const uint8_t* request, uint32_t length, uint8_t* reply,
                                 uint32_t& replyLength) {
  if (!FXModem || !FXModem->Port().IsOpen()) return 0;
  const uint32_t capacity = replyLength;
  SerialCom& com = FXModem->Port();
  for (int attempt = 0; attempt < 2; ++attempt) {
    com.WriteByte(XModem::NAK);
    com.WriteByte(XModem::NAK);
    int sent = FXModem->Send(request, static_cast<int32_t>(length));
    if (sent >= 128) {
      // The sensor announces its reply with two NAKs.
      int naks = 0;
      uint64_t begun = plat::TickCountMs();
      while (naks < 2 && plat::TickCountMs() - begun < kReplyStartMs) {
        uint8_t b = 0;
        uint32_t done = 0;
        if (!com.ReadOne(&b, &done)) {
          T100Print("\nTimeout");
        } else if (done == 1 && b == XModem::NAK) {
          ++naks;
        }
      }
      if (naks == 2) {
        int got = FXModem->Receive(reply, capacity);
        if (got > 127) {
          // Only the bytes that arrived are handed on, so that reading the
          // reply cannot run into the unused rest of the buffer.
          replyLength = static_cast<uint32_t>(got);
          return 1;
        }
      }
    }
    com.Flush();
  }
  return 0;
}

int32_t TransportRS232::GetName(T100Device&, char* text, uint32_t capacity, uint32_t& length) {
  length = 0;
  if (text && capacity > 0) text[0] = '\0';
  return 0;
}

// ---- TransportRS232_NX: length word, then the packet ----

TransportRS232_NX::~TransportRS232_NX() { delete FTran; }

int32_t TransportRS232_NX::Open(T100Device& device) {
  delete FTran;
  FTran = new STranRS232;
  char name[32];
  std::snprintf(name, sizeof(name), "COM%u", device.comPort);
  FTran->PortName() = name;
  SerialCom& com = FTran->Port();
  if (!com.OpenPort(FTran->PortName())) return 1;
  if (!com.ConfigureCOMPort(device.baudRate & 0x0FFFFFFFu)) return 1;
  if (!com.SetTimeouts(100)) return 1;
  return 0;
}

int32_t TransportRS232_NX::Close(T100Device&) {
  if (FTran) FTran->Port().ClosePort();
  delete FTran;
  FTran = nullptr;
  return 0;
}

int32_t TransportRS232_NX::Exchange(T100Device&, const uint8_t* request, uint32_t length, uint8_t* reply,
                                    uint32_t& replyLength) {
  if (!FTran || !FTran->Port().IsOpen()) return 0;
  const uint32_t capacity = replyLength;
  SerialCom& com = FTran->Port();
  com.WriteByte(0x06);
  com.WriteByte(0x06);
  if (length < 1 || length > kMaxLength) return 0;
  uint8_t word[4] = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                     static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)};
  uint32_t done = 0;
  if (!com.WriteBytes(word, 4, &done) || done != 4) return 0;
  if (!com.WriteBytes(request, length, &done) || done != length) return 0;

  // Each length byte is waited for until it comes or the time is up; a read
  // that gave up is not taken for a byte.
  uint8_t in[4] = {};
  uint64_t begun = plat::TickCountMs();
  for (int i = 0; i < 4;) {
    if (plat::TickCountMs() - begun > kReplyStartMs) return 0;
    uint32_t got = 0;
    if (!com.ReadN(in + i, 1, &got)) return 0;
    if (got == 1) ++i;
  }
  uint32_t announced = uint32_t(in[0]) | uint32_t(in[1]) << 8 | uint32_t(in[2]) << 16 | uint32_t(in[3]) << 24;
  if (announced < 1 || announced > kMaxLength || announced > capacity) return 0;
  uint32_t got = 0;
  if (!com.ReadN(reply, announced, &got) || got != announced) return 0;
  replyLength = announced;
  return 1;
}

int32_t TransportRS232_NX::GetName(T100Device&, char* text, uint32_t capacity, uint32_t& length) {
  length = 0;
  if (text && capacity > 0) text[0] = '\0';
  return 0;
}
