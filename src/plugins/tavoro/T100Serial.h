// The serial port and the two framings the serial transports use.
#pragma once
#include <cstdint>
#include <string>

#include "platform/handles.h"
#include "platform/serial.h"

class SerialCom {
 public:
  SerialCom() = default;
  ~SerialCom() { ClosePort(); }
  SerialCom(const SerialCom&) = delete;
  SerialCom& operator=(const SerialCom&) = delete;

  // `name` such as "COM3"; opened as "//./COM3". A name that already starts
  // with "//./" or '/' is used as it stands.
  bool OpenPort(const std::string& name);
  bool ConfigureCOMPort(uint32_t baudRate);
  bool SetTimeouts(uint32_t writeTotalConstant);
  void ClosePort();

  // Up to 40 attempts until one byte is written.
  bool WriteByte(uint8_t b);
  // One write of `length` bytes; `done` the bytes written.
  bool WriteBytes(const void* data, uint32_t length, uint32_t* done);
  // One single-byte read: true with done 0 or 1, false when the read failed.
  bool ReadOne(uint8_t* b, uint32_t* done);
  // n bytes, one per read; five empty reads are allowed. False only when a
  // read failed. `got` the bytes stored.
  bool ReadN(uint8_t* buffer, uint32_t n, uint32_t* got = nullptr);
  // Discards bytes until a read delivers nothing (at most 6 reads).
  void Flush();

  // The transfers every port operation goes through; fuzzers put a scripted
  // line in their place.
  static inline bool (*readPort)(plat::OsHandle, void*, uint32_t, uint32_t*) = plat::ReadOsHandle;
  static inline bool (*writePort)(plat::OsHandle, const void*, uint32_t, uint32_t*) = plat::WriteOsHandle;

  const char* ErrorText() const { return FError; }
  plat::OsHandle Handle() const { return FPort; }
  bool IsOpen() const { return plat::IsValidOsHandle(FPort); }

 private:
  plat::OsHandle FPort = nullptr;
  plat::SerialState FState{};
  plat::SerialTimeouts FTimeouts{};
  bool FConfigResult = false;
  uint32_t FLastWritten = 0;
  uint32_t FLastRead = 0;
  char FError[255] = {};
};

class XModem {
 public:
  enum : uint8_t { SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18, CRCREQ = 0x43, FILL = 0x1A };
  // Results besides a byte count.
  enum : int { kCancelled = 3, kNotAcknowledged = 4, kNoStart = 5, kTooManyRepeats = 6 };

  // Byte count sent (128 per block) or an error result.
  int Send(const uint8_t* data, int32_t length);
  // Bytes stored (at most `capacity`) or an error result.
  int Receive(uint8_t* buffer, uint32_t capacity);

  static uint16_t Crc16(const uint8_t* data, uint32_t length);
  static uint8_t Checksum(const uint8_t* data, uint32_t length);

  SerialCom& Port() { return FCom; }

 private:
  void SendCancel();
  SerialCom FCom;
};

class STranRS232 {
 public:
  SerialCom& Port() { return FCom; }
  std::string& PortName() { return FPortName; }

 private:
  SerialCom FCom;
  std::string FPortName;
};
