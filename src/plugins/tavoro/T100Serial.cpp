#include "plugins/tavoro/T100Serial.h"

#include <cstdio>
#include <cstring>

#include "platform/errors.h"
#include "platform/serial.h"
#include "plugins/tavoro/T100Diag.h"

// ---- SerialCom ----

bool SerialCom::OpenPort(const std::string& name) {
  std::string path = name.rfind("//./", 0) == 0 || name.rfind('/', 0) == 0 ? name : "//./" + name;
  FPort = plat::OpenSerialPort(path);
  if (!plat::IsValidOsHandle(FPort)) {
    FPort = nullptr;
    std::snprintf(FError, sizeof(FError), "OpenPort Failed for port (%s) with error code (%d)", path.c_str(),
                  static_cast<int>(plat::LastError()));
    return false;
  }
  return true;
}

bool SerialCom::ConfigureCOMPort(uint32_t baudRate) {
  if (!plat::GetSerialState(FPort, FState)) {
    std::snprintf(FError, sizeof(FError), "ConfigureCOMPort Failed, GetCommState returned error code (%d)",
                  static_cast<int>(plat::LastError()));
    ClosePort();
    FConfigResult = false;
    return false;
  }
  plat::SetSerialLine(FState, baudRate);
  FConfigResult = plat::SetSerialState(FPort, FState);
  if (!FConfigResult) {
    std::snprintf(FError, sizeof(FError), "ConfigureCOMPort Failed, SetCommState returned error code (%d)",
                  static_cast<int>(plat::LastError()));
    ClosePort();
    return false;
  }
  return SetTimeouts(130);
}

bool SerialCom::SetTimeouts(uint32_t writeTotalConstant) {
  FTimeouts.readInterval = 100;
  FTimeouts.readTotalMultiplier = 100;
  FTimeouts.readTotalConstant = 100;
  FTimeouts.writeTotalMultiplier = 100;
  FTimeouts.writeTotalConstant = writeTotalConstant;
  if (!IsOpen() || !plat::SetSerialTimeouts(FPort, FTimeouts)) {
    ClosePort();
    return false;
  }
  return true;
}

void SerialCom::ClosePort() {
  plat::CloseOsHandle(FPort);
  FPort = nullptr;
}

bool SerialCom::WriteByte(uint8_t b) {
  for (int attempt = 0; attempt < 40; ++attempt) {
    FLastWritten = 0;
    if (writePort(FPort, &b, 1, &FLastWritten) && FLastWritten == 1) return true;
  }
  return false;
}

bool SerialCom::WriteBytes(const void* data, uint32_t length, uint32_t* done) {
  *done = 0;
  return writePort(FPort, data, length, done);
}

bool SerialCom::ReadOne(uint8_t* b, uint32_t* done) {
  FLastRead = 0;
  bool ok = readPort(FPort, b, 1, &FLastRead);
  *done = ok ? FLastRead : 0;
  return ok;
}

bool SerialCom::ReadN(uint8_t* buffer, uint32_t n, uint32_t* got) {
  uint32_t stored = 0;
  int empty = 0;
  while (stored < n && empty < 5) {
    uint32_t done = 0;
    if (!ReadOne(buffer + stored, &done)) {
      if (got) *got = stored;
      return false;
    }
    if (done == 0) {
      ++empty;
    } else {
      ++stored;
    }
  }
  if (got) *got = stored;
  return true;
}

void SerialCom::Flush() {
  for (int i = 0; i < 6; ++i) {
    uint8_t b = 0;
    uint32_t done = 0;
    if (!ReadOne(&b, &done)) {
      T100Print("\nTimeout");
      return;
    }
    if (done == 0) return;
  }
}

// ---- XModem ----

uint16_t XModem::Crc16(const uint8_t* data, uint32_t length) {
  uint16_t crc = 0;
  for (uint32_t i = 0; i < length; ++i) {
    crc = static_cast<uint16_t>(crc ^ (uint16_t(data[i]) << 8));
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
    }
  }
  return crc;
}

uint8_t XModem::Checksum(const uint8_t* data, uint32_t length) {
  uint8_t sum = 0;
  for (uint32_t i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + data[i]);
  return sum;
}

void XModem::SendCancel() {
  FCom.WriteByte(CAN);
  FCom.WriteByte(CAN);
  FCom.WriteByte(CAN);
}

namespace {
// One byte, or -1 when none came; a failed read also prints its notice.
int ReadByte(SerialCom& com) {
  uint8_t b = 0;
  uint32_t done = 0;
  if (!com.ReadOne(&b, &done)) {
    T100Print("\nTimeout");
    return -1;
  }
  return done == 1 ? b : -1;
}
}  // namespace

int XModem::Send(const uint8_t* data, int32_t length) {
  bool crcMode = false;
  bool started = false;
  for (int i = 0; i < 16 && !started; ++i) {
    int c = ReadByte(FCom);
    if (c == NAK) {
      crcMode = false;
      started = true;
    } else if (c == CRCREQ) {
      crcMode = true;
      started = true;
    } else if (c == CAN) {
      if (ReadByte(FCom) == CAN) {
        FCom.WriteByte(ACK);
        FCom.Flush();
        return kCancelled;
      }
    }
  }
  if (!started) {
    SendCancel();
    FCom.Flush();
    return kNoStart;
  }

  uint8_t frame[3 + 128 + 2];
  uint8_t block = 1;
  int32_t remaining = length;
  int32_t offset = 0;
  int sent = 0;
  while (remaining >= 0) {
    int32_t take = remaining < 128 ? remaining : 128;
    frame[0] = SOH;
    frame[1] = block;
    frame[2] = static_cast<uint8_t>(255 - block);
    uint8_t* payload = frame + 3;
    std::memset(payload, 0, 128);
    if (take > 0) std::memcpy(payload, data + offset, static_cast<size_t>(take));
    if (take < 128) payload[take] = FILL;
    uint32_t frameSize;
    if (crcMode) {
      uint16_t crc = Crc16(payload, 128);
      frame[131] = static_cast<uint8_t>(crc >> 8);
      frame[132] = static_cast<uint8_t>(crc);
      frameSize = 133;
    } else {
      frame[131] = Checksum(payload, 128);
      frameSize = 132;
    }
    bool acked = false;
    for (int attempt = 0; attempt < 2 && !acked; ++attempt) {
      uint32_t done = 0;
      FCom.WriteBytes(frame, frameSize, &done);
      int c = ReadByte(FCom);
      if (c == ACK) {
        acked = true;
      } else if (c == CAN && ReadByte(FCom) == CAN) {
        FCom.WriteByte(ACK);
        FCom.Flush();
        return kCancelled;
      }
    }
    if (!acked) {
      SendCancel();
      FCom.Flush();
      return kNotAcknowledged;
    }
    remaining -= 128;
    offset += 128;
    block = static_cast<uint8_t>(block + 1);
    sent += 128;
  }
  for (int i = 0; i < 10; ++i) {
    FCom.WriteByte(EOT);
    if (ReadByte(FCom) == ACK) return sent;
  }
  return kNotAcknowledged;
}

int XModem::Receive(uint8_t* buffer, uint32_t capacity) {
  uint8_t control = CRCREQ;
  bool crcMode = false;
  bool firstBlock = true;
  uint8_t expected = 1;
  int repeats = 2;
  uint32_t stored = 0;
  uint8_t data[1024];
  for (;;) {
    // Header wait.
    uint32_t blockSize = 0;
    int attempts = 0;
    while (blockSize == 0) {
      if (attempts == 16) {
        if (control == CRCREQ) {
          control = NAK;
          attempts = 0;
          continue;
        }
        FCom.Flush();
        SendCancel();
        return kNoStart;
      }
      ++attempts;
      if (control) FCom.WriteByte(control);
      int c = ReadByte(FCom);
      if (c == SOH) {
        blockSize = 128;
      } else if (c == STX) {
        blockSize = 1024;
      } else if (c == EOT) {
        FCom.WriteByte(ACK);
        return static_cast<int>(stored);
      } else if (c == CAN && ReadByte(FCom) == CAN) {
        FCom.Flush();
        FCom.WriteByte(ACK);
        return kCancelled;
      } else {
        T100Print("\n Receive:  Requesting new control code.  C = %d", c);
      }
    }
    if (firstBlock) {
      crcMode = control == CRCREQ;
      firstBlock = false;
    }
    control = 0;

    // Block body, one byte per read.
    uint8_t head[2];
    uint8_t check[2];
    uint32_t checkSize = crcMode ? 2 : 1;
    auto readInto = [this](uint8_t* to, uint32_t n) {
      for (uint32_t i = 0; i < n; ++i) {
        int c = ReadByte(FCom);
        if (c < 0) return false;
        to[i] = static_cast<uint8_t>(c);
      }
      return true;
    };
    bool complete = readInto(head, 2) && readInto(data, blockSize) && readInto(check, checkSize);
    bool good = false;
    if (complete && head[1] == static_cast<uint8_t>(255 - head[0]) &&
        (head[0] == expected || head[0] == static_cast<uint8_t>(expected - 1))) {
      if (crcMode) {
        uint16_t crc = Crc16(data, blockSize);
        good = check[0] == static_cast<uint8_t>(crc >> 8) && check[1] == static_cast<uint8_t>(crc);
      } else {
        good = check[0] == Checksum(data, blockSize);
      }
    }
    if (!good) {
      // Purge what is left of the bad block and ask for it again.
      for (int i = 0; i < 6; ++i) {
        uint8_t b = 0;
        uint32_t done = 0;
        if (!FCom.ReadOne(&b, &done) || done == 0) break;
      }
      FCom.WriteByte(NAK);
      continue;
    }
    if (head[0] == expected) {
      if (capacity > stored) {
        uint32_t n = blockSize < capacity - stored ? blockSize : capacity - stored;
        std::memcpy(buffer + stored, data, n);
        stored += n;
      }
      expected = static_cast<uint8_t>(expected + 1);
      repeats = 2;
    } else if (--repeats == 0) {
      FCom.Flush();
      SendCancel();
      return kTooManyRepeats;
    }
    FCom.WriteByte(ACK);
  }
}
