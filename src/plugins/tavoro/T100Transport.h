// One T100 exchange (request packet out, reply packet back) and the transports
// that carry it: the sensor's USB bulk pipes, the device service's per-device
// pipe, and two serial framings.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/handles.h"
#include "platform/usb.h"

class ICmd;

// The device descriptor every transport operation receives.
struct T100Device {
  uint32_t index = 0;               // device index as the device handler counts it
  plat::OsHandle readPipe = nullptr;   // USB inbound bulk pipe (device to host)
  plat::OsHandle writePipe = nullptr;  // USB outbound bulk pipe (host to device)
  uint32_t comPort = 0;             // 1-based serial port number
  uint32_t baudRate = 0;            // 0 for USB and service devices
  void* link = nullptr;             // T100DeviceInfo* while opening, ITransport* once open
};

// Before a serial device is opened, this read-pipe value selects the
// length-framed serial transport.
inline plat::OsHandle T100SerialNxMarker() { return reinterpret_cast<plat::OsHandle>(static_cast<uintptr_t>(0x80000000u)); }

// The description of one sensor that the device handler fills.
struct T100DeviceInfo {
  uint32_t index;              // device index used by the transport (USB: interface position)
  uint32_t kind;               // 0 USB (TransportUSB), 1 service per-device pipe (TransportSE)
  char pipeName[260];          // kind 1: the service's per-device pipe name
  char machineName[260];       // machine whose device service is asked ("." local)
  char secondName[260];        // first text of the service's names reply
  uint32_t serviceId;
  uint32_t type;
};

// Control block sent before every request and received before every reply.
constexpr uint32_t kT100ControlBlockSize = 12;
// Reply buffer of one exchange.
constexpr uint32_t kT100ReplyBufferSize = 0x100000;

class ITransport {
 public:
  virtual ~ITransport() = default;
  // 0 on success, otherwise the transport's error number.
  virtual int32_t Open(T100Device& device) = 0;
  virtual int32_t Close(T100Device& device) = 0;
  // 1 when a whole reply was received. replyLength: in the buffer size, out
  // the reply packet's length.
  virtual int32_t Exchange(T100Device& device, const uint8_t* request, uint32_t length, uint8_t* reply,
                           uint32_t& replyLength) = 0;
  // Copies the name text (NUL-terminated, at most `capacity` bytes) and sets
  // `length` to its length plus 1.
  virtual int32_t GetName(T100Device& device, char* text, uint32_t capacity, uint32_t& length) = 0;
  // True once the link to the sensor is known to be gone (the service's pipe
  // broke, the USB pipes were refused): no exchange can work until the
  // device is opened again.
  virtual bool LinkLost() const { return false; }
};

// One command: packs `request`, exchanges it over the device's transport and
// returns the reply object made from the reply's command code, or nullptr.
// The caller keeps and destroys `request`, and destroys the reply.
ICmd* ExecuteCommand(T100Device& device, ICmd* request);

// The sensors' USB device-interface class {79BAE690-F52B-4FA8-9C76-BAE05633FD07}.
// Number of present interfaces of it, -1 when the enumeration fails.
int T100UsbInterfaceCount();

// The device count as T100DeviceHandler::GetNumDevices reports it (service
// main pipe, else the USB enumeration): 0 or the handler's error number.
// machineName null: the handler reads it itself. Defined with the device
// handler; the transports' Open calls it.
int T100HandlerDeviceCount(const char* machineName, uint32_t* count);

// The sensor's two bulk pipes below its device interface.
class TransportUSB : public ITransport {
 public:
  TransportUSB();
  ~TransportUSB() override;
  int32_t Open(T100Device& device) override;
  int32_t Close(T100Device& device) override;
  int32_t Exchange(T100Device& device, const uint8_t* request, uint32_t length, uint8_t* reply,
                   uint32_t& replyLength) override;
  int32_t GetName(T100Device& device, char* text, uint32_t capacity, uint32_t& length) override;

  // Piece sizes of one transfer of `length` bytes (the last may be 0 bytes).
  static std::vector<uint32_t> Pieces(uint32_t length);
  static constexpr uint32_t kPieceSize = 65536;
  static constexpr uint32_t kPieceWaitMs = 6000;
  static constexpr uint32_t kReadLimitMs = 5000;
  static constexpr uint32_t kMutexWaitMs = 10000;
  // Pause before a refused read piece is issued again.
  static constexpr uint32_t kRetryPauseMs = 20;
  // Draining what a failed exchange left coming: reads until none arrives
  // within the quiet time, for at most the drain limit.
  static constexpr uint32_t kDrainQuietMs = 50;
  static constexpr uint32_t kDrainLimitMs = 1000;
  // The piece wait and the reply limit; tests shorten them.
  static inline uint32_t pieceWaitMs = kPieceWaitMs;
  static inline uint32_t readLimitMs = kReadLimitMs;
  // The single transfer every pipe operation goes through; tests put a
  // refusing one in its place.
  using PieceTransfer = plat::PieceResult (*)(plat::UsbIo*, plat::IoDirection, plat::OsHandle, void*, uint32_t,
                                              uint32_t, uint32_t*, bool (*)());
  static inline PieceTransfer transferPiece = plat::TransferPiece;
  // Errors that mean the device itself is gone (unplugged, handle invalid).
  static bool DeviceGone(uint32_t error);

  bool LinkLost() const override { return FLost; }

  // Test hook: opens the device's pipes below `interfacePath` directly and
  // names the exchange mutex after it, as Open does after its checks.
  int32_t OpenPath(T100Device& device, const std::string& interfacePath);
  // Test hook: names the exchange mutex.
  void NameExchangeMutex(const std::string& name) { std::snprintf(FName, sizeof(FName), "%s", name.c_str()); }

 private:
  enum class Receive { Ok, ControlFailed, PacketFailed };
  plat::OsHandle OpenOnePipe(const std::string& interfacePath, bool write);
  bool WriteAll(T100Device& device, const uint8_t* data, uint32_t length);
  bool ReadAll(T100Device& device, uint8_t* data, uint32_t length);
  // 0, or the message line of the write that failed.
  int SendPacket(T100Device& device, const uint8_t* request, uint32_t length);
  Receive ReceiveReply(T100Device& device, uint8_t* reply, uint32_t capacity, uint32_t& replyLength);
  void Drain(T100Device& device);
  bool Resynchronise(T100Device& device, uint8_t* scratch, uint32_t capacity);

  char FName[2048] = {};
  plat::OsHandle FMutex = nullptr;
  plat::UsbIo* FIo = nullptr;
  bool FLost = false;
  // A request went out without its reply being read.
  bool FOwed = false;
};

// Client of one named pipe with blocking I/O.
class NamedPipe {
 public:
  NamedPipe() = default;
  ~NamedPipe();
  NamedPipe(const NamedPipe&) = delete;
  NamedPipe& operator=(const NamedPipe&) = delete;

  static constexpr int kAttempts = 50;
  static constexpr uint32_t kBusyWaitMs = 1000;
  // The wait for a busy pipe; tests shorten it.
  static inline uint32_t busyWaitMs = kBusyWaitMs;
  // Longest wait for one whole transfer (a request written, a reply read), the
  // same limit the USB transport gives a reply.
  static constexpr uint32_t kTransferWaitMs = 5000;
  static inline uint32_t transferWaitMs = kTransferWaitMs;

  bool Connect(const std::string& name);
  bool Connected() const { return plat::IsValidOsHandle(FPipe); }
  // Writes all of `data`; a system failure prints its message and returns false.
  bool WritePipe(const void* data, uint32_t length);
  // Writes `head` and `body` as one transfer, so that the peer receives them
  // together.
  bool WritePipe(const void* head, uint32_t headLength, const void* body, uint32_t bodyLength);
  // Reads until `length` bytes arrived, the peer closed or a failure (printed).
  // Returns the bytes that arrived. Short reads take whatever the pipe holds,
  // up to kReadAhead bytes, and keep what was not asked for, in order, for
  // the next read: a reply's control block and a short packet come in one
  // system call.
  uint32_t ReadPipe(void* buffer, uint32_t length);
  static constexpr uint32_t kReadAhead = 4096;
  void Close();

  // The transfer every read and write goes through; tests put a counting one
  // in its place.
  static inline TransportUSB::PieceTransfer transferPiece = plat::TransferPiece;

 private:
  // What is left of the limit that ends at `end` (0: not started yet).
  static uint32_t RemainingMs(uint64_t& end);
  plat::OsHandle FPipe = nullptr;
  plat::UsbIo* FIo = nullptr;
  // Head and body of a two-part write; kept for the next one up to this size.
  static constexpr size_t kKeptWriteBytes = 65536;
  std::vector<uint8_t> FOut;
  // Bytes read ahead: FIn[FInFirst, FInEnd) have not been handed out yet.
  std::vector<uint8_t> FIn;
  uint32_t FInFirst = 0;
  uint32_t FInEnd = 0;
};

// The device service's per-device pipe.
class TransportSE : public ITransport {
 public:
  TransportSE() = default;
  ~TransportSE() override = default;
  int32_t Open(T100Device& device) override;
  int32_t Close(T100Device& device) override;
  int32_t Exchange(T100Device& device, const uint8_t* request, uint32_t length, uint8_t* reply,
                   uint32_t& replyLength) override;
  int32_t GetName(T100Device& device, char* text, uint32_t capacity, uint32_t& length) override;

  bool LinkLost() const override { return !FPipe.Connected(); }

  // Test hook: connects to a full pipe name as Open does after its checks.
  bool ConnectTo(const std::string& pipeName) { return FPipe.Connect(pipeName); }
  static constexpr uint32_t kOpenDelayMs = 100;

 private:
  char FName[2048] = {};
  plat::OsHandle FMutex = nullptr;
  NamedPipe FPipe;
};

class XModem;
class STranRS232;

// T100 packets inside XModem transfers on a serial port (COM1 .. COM10).
class TransportRS232 : public ITransport {
 public:
  TransportRS232() = default;
  ~TransportRS232() override;
  int32_t Open(T100Device& device) override;
  int32_t Close(T100Device& device) override;
  int32_t Exchange(T100Device& device, const uint8_t* request, uint32_t length, uint8_t* reply,
                   uint32_t& replyLength) override;
  int32_t GetName(T100Device& device, char* text, uint32_t capacity, uint32_t& length) override;

 private:
  XModem* FXModem = nullptr;
};

// T100 packets behind a 4-byte length word on a serial port.
class TransportRS232_NX : public ITransport {
 public:
  TransportRS232_NX() = default;
  ~TransportRS232_NX() override;
  int32_t Open(T100Device& device) override;
  int32_t Close(T100Device& device) override;
  int32_t Exchange(T100Device& device, const uint8_t* request, uint32_t length, uint8_t* reply,
                   uint32_t& replyLength) override;
  int32_t GetName(T100Device& device, char* text, uint32_t capacity, uint32_t& length) override;

  static constexpr uint32_t kMaxLength = 1048576;

 private:
  STranRS232* FTran = nullptr;
};
