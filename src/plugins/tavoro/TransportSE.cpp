#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/errors.h"
#include "platform/mutexes.h"
#include "platform/pipes.h"
#include "platform/usb.h"
#include "plugins/tavoro/T100Diag.h"
#include "plugins/tavoro/T100Transport.h"

namespace {
void PrintSystemError(uint32_t code) {
  std::string text = plat::SystemErrorText(code);
  T100Print("\nError %u: %s", code, text.c_str());
}
}  // namespace

NamedPipe::~NamedPipe() {
  Close();
  plat::DestroyUsbIo(FIo);
}

void NamedPipe::Close() {
  if (Connected()) plat::CloseOsHandle(FPipe);
  FPipe = nullptr;
  // What was read ahead belongs to the connection that is gone.
  FInFirst = FInEnd = 0;
}

bool NamedPipe::Connect(const std::string& name) {
  if (Connected()) return false;
  for (int attempt = 0; attempt < kAttempts && !T100Abandoned(); ++attempt) {
    // Overlapped, so that every transfer can be bounded in time.
    plat::OsHandle h = plat::OpenPipe(name, true, true);
    if (plat::IsValidOsHandle(h)) {
      if (!FIo) FIo = plat::CreateUsbIo();
      if (!FIo || !plat::ResetUsbEvent(FIo, plat::IoDirection::Read) ||
          !plat::ResetUsbEvent(FIo, plat::IoDirection::Write)) {
        plat::CloseOsHandle(h);
        return false;
      }
      FPipe = h;
      return true;
    }
    uint32_t err = plat::LastError();
    if (err != plat::kErrorPipeBusy) {
      T100Print("\nError occurred while creating the pipe: err = %u, pipe name = %s", err, name.c_str());
      return false;
    }
    if (!plat::WaitPipe(name, busyWaitMs)) {
      uint32_t werr = plat::LastError();
      if (werr == plat::kErrorFileNotFound) {
        T100Print("Could not connect to pipe in timeout period! Pipe not created yet\n");
      } else {
        T100Print("Could not connect to pipe in timeout period! Error: %u\n", werr);
      }
    }
  }
  return false;
}

uint32_t NamedPipe::RemainingMs(uint64_t& end) {
  uint64_t now = plat::TickCountMs();
  // The limit starts with the first transfer of a read or write.
  if (end == 0) end = now + transferWaitMs;
  return now >= end ? 0 : static_cast<uint32_t>(end - now);
}

bool NamedPipe::WritePipe(const void* data, uint32_t length) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  uint64_t end = 0;
  uint32_t sent = 0;
  while (sent < length) {
    uint32_t done = 0;
    auto r = transferPiece(FIo, plat::IoDirection::Write, FPipe, const_cast<uint8_t*>(bytes) + sent, length - sent,
                           RemainingMs(end), &done, T100Abandoned);
    if (r != plat::PieceResult::Done || done == 0) {
      uint32_t err = plat::LastError();
      PrintSystemError(err);
      T100Print("\n NamedPipe::WritePipe (TCOMCore)- Error writing file: %u", err);
      return false;
    }
    sent += done;
  }
  return true;
}

bool NamedPipe::WritePipe(const void* head, uint32_t headLength, const void* body, uint32_t bodyLength) {
  FOut.resize(size_t(headLength) + bodyLength);
  if (headLength) std::memcpy(FOut.data(), head, headLength);
  if (bodyLength) std::memcpy(FOut.data() + headLength, body, bodyLength);
  bool ok = WritePipe(FOut.data(), static_cast<uint32_t>(FOut.size()));
  // Requests are a few bytes; one that carries an image is not kept around.
  if (FOut.capacity() > kKeptWriteBytes) std::vector<uint8_t>().swap(FOut);
  return ok;
}

uint32_t NamedPipe::ReadPipe(void* buffer, uint32_t length) {
  auto* bytes = static_cast<uint8_t*>(buffer);
  uint32_t got = std::min(length, FInEnd - FInFirst);
  if (got) std::memcpy(bytes, FIn.data() + FInFirst, got);
  FInFirst += got;
  // One limit for the whole reply, however many reads a byte-mode pipe needs.
  uint64_t end = 0;
  while (got < length) {
    const uint32_t wanted = length - got;
    // Only an empty read-ahead is refilled, so the bytes keep their order.
    const bool ahead = wanted < kReadAhead;
    if (ahead && FIn.size() < kReadAhead) FIn.resize(kReadAhead);
    uint8_t* into = ahead ? FIn.data() : bytes + got;
    uint32_t done = 0;
    auto r = transferPiece(FIo, plat::IoDirection::Read, FPipe, into, ahead ? kReadAhead : wanted, RemainingMs(end),
                           &done, T100Abandoned);
    if (r != plat::PieceResult::Done) {
      uint32_t err = plat::LastError();
      PrintSystemError(err);
      T100Print("\n NamedPipe::WritePipe (TCOMCore)- Error reading file: %u", err);
      break;
    }
    if (done == 0) break;
    if (ahead) {
      const uint32_t used = std::min(done, wanted);
      std::memcpy(bytes + got, FIn.data(), used);
      FInFirst = used;
      FInEnd = done;
      got += used;
    } else {
      got += done;
    }
  }
  return got;
}

int32_t TransportSE::Open(T100Device& device) {
  auto* info = static_cast<T100DeviceInfo*>(device.link);
  if (!info) return 2;
  char machine[sizeof(info->machineName) + 1] = {};
  std::memcpy(machine, info->machineName, sizeof(info->machineName));
  uint32_t count = 0;
  T100HandlerDeviceCount(machine, &count);
  if (count == 0) return 1;
  if (info->index >= count) return 2;
  char pipe[sizeof(info->pipeName) + 1] = {};
  std::memcpy(pipe, info->pipeName, sizeof(info->pipeName));
  // Pipe names are opened as UTF-8: the machine name is kept so, the service
  // names its pipe in the system code page.
  std::string name = std::string("\\\\") + (machine[0] ? machine : ".") + "\\PIPE\\" + plat::AnsiToUtf8(pipe);
  if (!T100Pause(kOpenDelayMs)) return 7;
  return FPipe.Connect(name) ? 0 : 7;
}

int32_t TransportSE::Close(T100Device& device) {
  plat::CloseOsHandle(device.writePipe);
  device.writePipe = nullptr;
  plat::CloseOsHandle(device.readPipe);
  device.readPipe = nullptr;
  plat::CloseOsHandle(FMutex);
  FMutex = nullptr;
  // The per-device pipe goes with the device, so a closed device does not
  // keep the service's instance busy.
  FPipe.Close();
  return 0;
}

int32_t TransportSE::Exchange(T100Device&, const uint8_t* request, uint32_t length, uint8_t* reply,
                              uint32_t& replyLength) {
  const uint32_t capacity = replyLength;
  bool locked = false;
  if (FName[0] != '\0') {
    if (!plat::IsValidOsHandle(FMutex)) FMutex = plat::CreateNamedMutex(FName);
    if (plat::IsValidOsHandle(FMutex)) {
      if (plat::WaitNamedMutex(FMutex, 10000) != plat::WaitResult::Acquired) {
        T100Print("\nMutex timed-out");
        return 0;
      }
      locked = true;
    }
  }
  auto finish = [&](int32_t result) {
    if (locked) plat::ReleaseNamedMutex(FMutex);
    return result;
  };
  replyLength = 0;
  if (!FPipe.Connected()) return finish(0);
  uint8_t cb[kT100ControlBlockSize] = {};
  cb[8] = static_cast<uint8_t>(length);
  cb[9] = static_cast<uint8_t>(length >> 8);
  cb[10] = static_cast<uint8_t>(length >> 16);
  cb[11] = static_cast<uint8_t>(length >> 24);
  // Any exchange that does not end with its whole reply leaves the connection
  // out of step: what the service sends later (a late reply, the rest of an
  // oversized one) would be read as the reply to the next request. The
  // connection is dropped instead; the device must be opened anew.
  auto broken = [&] {
    FPipe.Close();
    return finish(0);
  };
  // Control block and request in one write: the service wakes once per
  // request and reads both.
  if (!FPipe.WritePipe(cb, sizeof(cb), request, length)) return broken();
  uint8_t rcb[kT100ControlBlockSize] = {};
  // A reply that did not arrive in full is no reply: taking whatever stood in
  // the buffer for packet bytes would hand garbage to the caller.
  if (FPipe.ReadPipe(rcb, sizeof(rcb)) != sizeof(rcb)) return broken();
  uint32_t announced = uint32_t(rcb[8]) | uint32_t(rcb[9]) << 8 | uint32_t(rcb[10]) << 16 | uint32_t(rcb[11]) << 24;
  if (announced > capacity) return broken();
  if (FPipe.ReadPipe(reply, announced) != announced) return broken();
  replyLength = announced;
  return finish(1);
}

int32_t TransportSE::GetName(T100Device&, char* text, uint32_t capacity, uint32_t& length) {
  length = static_cast<uint32_t>(std::strlen(FName)) + 1;
  if (text && capacity > 0) std::snprintf(text, capacity, "%s", FName);
  return 1;
}
