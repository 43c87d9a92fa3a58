#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/errors.h"
#include "platform/mutexes.h"
#include "platform/pipes.h"
#include "platform/usb.h"
#include "plugins/tavoro/T100Cmd.h"
#include "plugins/tavoro/T100Diag.h"
#include "plugins/tavoro/T100Transport.h"

namespace {

const plat::Guid kT100InterfaceClass = {0x79BAE690, 0xF52B, 0x4FA8, {0x9C, 0x76, 0xBA, 0xE0, 0x56, 0x33, 0xFD, 0x07}};

// The diagnostics name this file and the place of each failure.
const char* const kSourceName = "TransportUSB.cpp";
constexpr int kLineWriteControl = 188;
constexpr int kLineWritePacket = 198;
constexpr int kLineReadControl = 207;
constexpr int kLineReadPacket = 216;

constexpr uint32_t kErrorDeviceNotConnected = 1167;
constexpr uint32_t kErrorDeviceRemoved = 1617;

void PutU32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t GetU32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

int T100UsbInterfaceCount() { return plat::CountDeviceInterfaces(kT100InterfaceClass); }

TransportUSB::TransportUSB() : FIo(plat::CreateUsbIo()) {}

TransportUSB::~TransportUSB() { plat::DestroyUsbIo(FIo); }

plat::OsHandle TransportUSB::OpenOnePipe(const std::string& interfacePath, bool write) {
  if (!FIo) return plat::InvalidOsHandle();
  std::string path = interfacePath.substr(0, 260);
  std::snprintf(FName, sizeof(FName), "%s", path.c_str());
  if (!plat::ResetUsbEvent(FIo, write ? plat::IoDirection::Write : plat::IoDirection::Read)) {
    return plat::InvalidOsHandle();
  }
  return plat::OpenDevicePipe(path + (write ? "\\PIPE_0x01" : "\\PIPE_0x00"));
}

int32_t TransportUSB::OpenPath(T100Device& device, const std::string& interfacePath) {
  FLost = false;
  FOwed = false;
  device.writePipe = OpenOnePipe(interfacePath, true);
  if (!plat::IsValidOsHandle(device.writePipe)) return 6;
  device.readPipe = OpenOnePipe(interfacePath, false);
  if (!plat::IsValidOsHandle(device.readPipe)) {
    // A failed open holds nothing.
    plat::CloseOsHandle(device.writePipe);
    device.writePipe = nullptr;
    device.readPipe = nullptr;
    return 5;
  }
  // The exchange mutex is named after the device path, its namespace prefix
  // (the first four characters) replaced.
  size_t n = std::strlen(FName);
  if (n >= 4) {
    std::memcpy(FName, "TAVO", 4);
  } else {
    std::snprintf(FName, sizeof(FName), "TAVO");
  }
  return 0;
}

int32_t TransportUSB::Open(T100Device& device) {
  uint32_t count = 0;
  if (T100HandlerDeviceCount(nullptr, &count) != 0) return 2;
  if (count == 0) return 1;
  auto* info = static_cast<T100DeviceInfo*>(device.link);
  if (!info || info->index >= count) return 2;
  std::string path;
  if (!plat::DeviceInterfacePath(kT100InterfaceClass, info->index, path)) {
    // The interface vanished between counting and opening: no pipe opens.
    return 6;
  }
  return OpenPath(device, path);
}

int32_t TransportUSB::Close(T100Device& device) {
  plat::CloseOsHandle(device.writePipe);
  device.writePipe = nullptr;
  plat::CloseOsHandle(device.readPipe);
  device.readPipe = nullptr;
  plat::CloseOsHandle(FMutex);
  FMutex = nullptr;
  return 0;
}

std::vector<uint32_t> TransportUSB::Pieces(uint32_t length) {
  std::vector<uint32_t> sizes(length / kPieceSize, kPieceSize);
  // The tail goes out even when it is empty, except after a single full piece.
  if (length != kPieceSize) sizes.push_back(length % kPieceSize);
  return sizes;
}

bool TransportUSB::DeviceGone(uint32_t error) {
  switch (error) {
    case plat::kErrorFileNotFound:
    case plat::kErrorInvalidHandle:
    case plat::kErrorBrokenPipe:
    case kErrorDeviceNotConnected:
    case kErrorDeviceRemoved:
      return true;
    default:
      return false;
  }
}

bool TransportUSB::WriteAll(T100Device& device, const uint8_t* data, uint32_t length) {
  uint64_t offset = 0;
  for (uint32_t size : Pieces(length)) {
    uint32_t done = 0;
    auto r = transferPiece(FIo, plat::IoDirection::Write, device.writePipe, const_cast<uint8_t*>(data) + offset, size,
                           pieceWaitMs, &done, T100Abandoned);
    if (r != plat::PieceResult::Done || done != size) {
      if (r == plat::PieceResult::Failed && DeviceGone(plat::LastError())) FLost = true;
      return false;
    }
    offset += size;
  }
  return true;
}

bool TransportUSB::ReadAll(T100Device& device, uint8_t* data, uint32_t length) {
  uint64_t offset = 0;
  for (uint32_t size : Pieces(length)) {
    uint8_t* piece = data + offset;
    offset += size;
    const uint64_t begun = plat::TickCountMs();
    // Bytes of a piece that arrive in several transfers are kept rather than
    // read again; a transfer of zero bytes ends the piece (a short packet).
    uint32_t have = 0;
    for (;;) {
      uint32_t done = 0;
      auto r = transferPiece(FIo, plat::IoDirection::Read, device.readPipe, piece + have, size - have, pieceWaitMs,
                             &done, T100Abandoned);
      if (r == plat::PieceResult::Done) {
        have += done;
        if (done == 0 || have == size) break;
      } else if (T100Abandoned()) {
        return false;
      } else if (r == plat::PieceResult::Failed) {
        // A device that is gone fails every read at once: end, so that the
        // caller can look for it again. Any other refusal (a driver that ends
        // a read early) is issued again after a short pause.
        if (DeviceGone(plat::LastError())) {
          FLost = true;
          return false;
        }
        if (plat::TickCountMs() - begun < readLimitMs && !T100Pause(kRetryPauseMs)) return false;
      }
      if (plat::TickCountMs() - begun >= readLimitMs) return false;
    }
  }
  return true;
}

void TransportUSB::Drain(T100Device& device) {
  // What a failed exchange left coming (a late reply, the rest of one too
  // long for the buffer) goes now, before it can pass for the next reply.
  std::vector<uint8_t> sink(kPieceSize);
  const uint64_t begun = plat::TickCountMs();
  while (plat::TickCountMs() - begun < kDrainLimitMs && !T100Abandoned()) {
    uint32_t done = 0;
    auto r = transferPiece(FIo, plat::IoDirection::Read, device.readPipe, sink.data(), kPieceSize, kDrainQuietMs, &done,
                           T100Abandoned);
    if (r != plat::PieceResult::Done || done == 0) break;
  }
}

TransportUSB::Receive TransportUSB::ReceiveReply(T100Device& device, uint8_t* reply, uint32_t capacity,
                                                 uint32_t& replyLength) {
  uint8_t rcb[kT100ControlBlockSize] = {};
  if (!ReadAll(device, rcb, sizeof(rcb))) return Receive::ControlFailed;
  uint32_t announced = GetU32(rcb + 8);
  if (announced > capacity) return Receive::ControlFailed;
  if (!ReadAll(device, reply, announced)) return Receive::PacketFailed;
  replyLength = announced;
  return Receive::Ok;
}

bool TransportUSB::Resynchronise(T100Device& device, uint8_t* scratch, uint32_t capacity) {
  Drain(device);
  // Replies of earlier requests may still be on their way. A request that
  // the capture never sends marks the point from which replies belong to
  // new requests again: everything before its reply is dropped.
  ICmd* probe = CreateCommand(OP_Atomic_Get_Config);
  uint8_t* packet = nullptr;
  int32_t size = 0;
  bool packed = probe && probe->PackCommand(&packet, &size) && packet && size > 0;
  bool synced = false;
  if (packed && SendPacket(device, packet, static_cast<uint32_t>(size)) == 0) {
    const uint64_t begun = plat::TickCountMs();
    while (plat::TickCountMs() - begun < readLimitMs) {
      uint32_t got = 0;
      if (ReceiveReply(device, scratch, capacity, got) != Receive::Ok) break;
      if (got >= kT100HeaderSize && GetU32(scratch + 2) == OP_Atomic_Get_Config) {
        synced = true;
        break;
      }
    }
  }
  delete probe;
  return synced;
}

int TransportUSB::SendPacket(T100Device& device, const uint8_t* request, uint32_t length) {
  uint8_t cb[kT100ControlBlockSize] = {};
  PutU32(cb + 8, length);
  uint32_t done = 0;
  auto r = transferPiece(FIo, plat::IoDirection::Write, device.writePipe, cb, sizeof(cb), pieceWaitMs, &done,
                         T100Abandoned);
  if (r != plat::PieceResult::Done || done != sizeof(cb)) {
    if (r == plat::PieceResult::Failed && DeviceGone(plat::LastError())) FLost = true;
    return kLineWriteControl;
  }
  if (!WriteAll(device, request, length)) return kLineWritePacket;
  return 0;
}

int32_t TransportUSB::Exchange(T100Device& device, const uint8_t* request, uint32_t length, uint8_t* reply,
                               uint32_t& replyLength) {
  const uint32_t capacity = replyLength;
  bool locked = false;
  if (FName[0] != '\0') {
    if (!plat::IsValidOsHandle(FMutex)) FMutex = plat::CreateNamedMutex(FName);
    if (!plat::IsValidOsHandle(FMutex)) {
      // Without the mutex another process could interleave its exchange.
      uint32_t err = plat::LastError();
      std::string text = plat::SystemErrorText(err);
      T100Print("\nMutex not created: error %u: %s", err, text.c_str());
      replyLength = 0;
      return 0;
    }
    if (plat::WaitNamedMutex(FMutex, kMutexWaitMs) != plat::WaitResult::Acquired) {
      T100Print("\nMutex timed-out");
      return 0;
    }
    locked = true;
  }
  auto fail = [&](const char* message, int line) {
    // The sensor may still answer what was sent: that reply must not be
    // taken for the reply to a later request.
    FOwed = true;
    if (locked) plat::ReleaseNamedMutex(FMutex);
    T100Print(message, kSourceName, line);
    return 0;
  };
  replyLength = 0;
  if (FOwed && length >= kT100HeaderSize) {
    if (!Resynchronise(device, reply, capacity)) return fail("\n (%s,%d) - Failed read (usbcb).", kLineReadControl);
    FOwed = false;
  }
  int line = SendPacket(device, request, length);
  if (line == kLineWriteControl) return fail("\n (%s,%d) - Failed write (usbcb).", kLineWriteControl);
  if (line == kLineWritePacket) return fail("\n (%s,%d) - Failed write (Packet).", kLineWritePacket);
  switch (ReceiveReply(device, reply, capacity, replyLength)) {
    case Receive::ControlFailed:
      return fail("\n (%s,%d) - Failed read (usbcb).", kLineReadControl);
    case Receive::PacketFailed:
      return fail("\n (%s,%d) - Failed read (packet).", kLineReadPacket);
    case Receive::Ok:
      break;
  }
  if (locked) plat::ReleaseNamedMutex(FMutex);
  return 1;
}

int32_t TransportUSB::GetName(T100Device&, char* text, uint32_t capacity, uint32_t& length) {
  length = static_cast<uint32_t>(std::strlen(FName)) + 1;
  if (text && capacity > 0) std::snprintf(text, capacity, "%s", FName);
  return 1;
}
