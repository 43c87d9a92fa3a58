#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/handles.h"

// Device interfaces (SetupAPI) and overlapped transfers on their pipes.
//
// POSIX: the system enumeration reports no interfaces. With the stand-in list
// below set, interfaces come from that list on every platform, and a pipe path
// "<interface path>\<pipe>" is opened as the named pipe
// "\\.\PIPE\<interface path without its 4-character prefix>\<pipe>" (on
// POSIX the socket that name maps to), so a test peer can serve the sensor's
// pipes.
namespace plat {

struct Guid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};

// Number of present interfaces of the class, -1 when the enumeration fails
// (or stops with an error other than "no more items").
int CountDeviceInterfaces(const Guid& interfaceClass);
// Device path of the interface at `index` in enumeration order (at most 260
// characters). False when there is no such interface or the detail fails.
bool DeviceInterfacePath(const Guid& interfaceClass, uint32_t index, std::string& path);

// The named pipe that stands in for a pipe path below a stand-in interface:
// "\\.\PIPE\" + the path without its 4-character prefix.
std::string StandInPipeName(const std::string& pipePath);

// Test hook: replaces the system's enumeration by these paths (nullptr
// restores the system's). Not thread-safe against running enumerations.
void SetDeviceInterfaceStandIns(const std::vector<std::string>* paths);

// Opens a pipe below an interface path for reading and writing, shared for
// reading and writing, existing only, overlapped. InvalidOsHandle() on failure.
OsHandle OpenDevicePipe(const std::string& path);

// The state of overlapped transfers: one event and one OVERLAPPED per direction.
// Pipe clients opened overlapped (OpenPipe) use the same transfers, so that
// every transfer on them can be bounded in time.
enum class IoDirection { Read = 0, Write = 1 };
struct UsbIo;
UsbIo* CreateUsbIo();
void DestroyUsbIo(UsbIo* io);
// Closes the direction's previous event and binds a new manual-reset event,
// signalled at the start, to its OVERLAPPED.
bool ResetUsbEvent(UsbIo* io, IoDirection dir);

enum class PieceResult { Done, WaitFailed, Failed };
// One overlapped ReadFile / WriteFile of `length` bytes, then a wait of at
// most waitMs on the direction's event and GetOverlappedResult. On anything
// but Done the pending transfer is cancelled (CancelIo). `done` receives the
// bytes transferred. When `abandon` is given, the wait looks at it every few
// milliseconds and gives up (WaitFailed, kErrorOperationAborted) once it
// returns true, so that another thread can end a transfer that hangs.
constexpr uint32_t kErrorOperationAborted = 995;
PieceResult TransferPiece(UsbIo* io, IoDirection dir, OsHandle pipe, void* buffer, uint32_t length,
                          uint32_t waitMs, uint32_t* done, bool (*abandon)() = nullptr);

}  // namespace plat
