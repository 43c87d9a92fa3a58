// The far end of a sensor's pipes (USB bulk pipes or the service's per-device
// pipe) played by fuzz input: every transfer takes its outcome from the next
// byte of the script, and a read its bytes from the script as well.
//
// Read op:  0x00-0x7F  done, as many script bytes as asked (fewer at its end)
//           0x80-0xBF  done, at most op - 0x7F script bytes (a short transfer)
//           0xC0-0xDF  done, all bytes asked, the script repeated without
//                      using it up (a long transfer from a short input)
//           0xE0-0xE7  done, no byte (a short packet)
//           0xE8-0xEF  the wait ran out
//           0xF0-0xF7  failed: the link is gone
//           0xF8-0xFF  failed otherwise, and the capture is being stopped
// Write op: 0x00-0xDF done; 0xE0-0xE7 done, half of it; 0xE8-0xFF as for reads.
// After the script: every transfer fails, the link gone.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/errors.h"
#include "platform/pipes.h"
#include "platform/usb.h"
#include "plugins/tavoro/T100Diag.h"

class ScriptedLink {
 public:
  // record: keep every byte handed to reads (Delivered).
  ScriptedLink(const uint8_t* script, size_t size, bool record = false)
      : FData(script), FSize(size), FRecord(record), FScope(&FStop) {
    Current() = this;
  }
  ~ScriptedLink() { Current() = nullptr; }
  ScriptedLink(const ScriptedLink&) = delete;
  ScriptedLink& operator=(const ScriptedLink&) = delete;

  bool Exhausted() const { return FPos >= FSize; }
  // Every byte handed to reads, in order.
  const std::vector<uint8_t>& Delivered() const { return FDelivered; }

  // Has the signature of plat::TransferPiece.
  static plat::PieceResult Transfer(plat::UsbIo*, plat::IoDirection dir, plat::OsHandle, void* buffer, uint32_t length,
                                    uint32_t, uint32_t* done, bool (*)()) {
    return Current()->Next(dir == plat::IoDirection::Read, static_cast<uint8_t*>(buffer), length, done);
  }

 private:
  static ScriptedLink*& Current() {
    static ScriptedLink* link = nullptr;
    return link;
  }

  plat::PieceResult Next(bool read, uint8_t* buffer, uint32_t length, uint32_t* done) {
    *done = 0;
    if (Exhausted()) return Fail(plat::kErrorBrokenPipe);
    const uint8_t op = FData[FPos++];
    if (op >= 0xE8) {
      if (op < 0xF0) {
        plat::SetLastError(plat::kErrorSemTimeout);
        return plat::PieceResult::WaitFailed;
      }
      if (op < 0xF8) return Fail(plat::kErrorBrokenPipe);
      FStop = 1;
      return Fail(31);  // a general device failure
    }
    if (!read) {
      *done = op < 0xE0 ? length : length / 2;
      return plat::PieceResult::Done;
    }
    uint32_t n = 0;
    if (op < 0xC0) {
      const size_t left = FSize - FPos;
      n = static_cast<uint32_t>(std::min<size_t>(op < 0x80 ? length : std::min<uint32_t>(length, op - 0x7F), left));
      std::memcpy(buffer, FData + FPos, n);
      FPos += n;
    } else if (op < 0xE0) {
      n = length;
      for (uint32_t at = 0; at < n;) {
        const uint32_t k = static_cast<uint32_t>(std::min<size_t>(n - at, FSize));
        std::memcpy(buffer + at, FData, k);
        at += k;
      }
    }
    if (FRecord) FDelivered.insert(FDelivered.end(), buffer, buffer + n);
    *done = n;
    return plat::PieceResult::Done;
  }

  static plat::PieceResult Fail(uint32_t error) {
    plat::SetLastError(error);
    return plat::PieceResult::Failed;
  }

  const uint8_t* FData;
  size_t FSize;
  size_t FPos = 0;
  bool FRecord;
  std::vector<uint8_t> FDelivered;
  std::atomic<uint8_t> FStop{0};
  T100AbandonScope FScope;
};
