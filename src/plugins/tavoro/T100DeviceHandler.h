// Counting and describing the attached Tavoro sensors (through the device
// service's main pipe, or the USB device interface when the service cannot be
// reached), opening and closing a T100Device, and the device operations that
// the capture cycle uses.
#pragma once

#include <atomic>
#include <cstddef>
#include <climits>
#include <cstdint>
#include <functional>
#include <string>

#include "plugins/tavoro/T100Transport.h"

// Result numbers of the handler and of the device operations.
enum T100Result : int {
    T100_OK = 0,
    T100_NO_TRANSPORT = 128,
    T100_NO_REPLY = 139,
    T100_NOT_FOUND = 162,
    T100_SERVICE_BUSY = 163,
    T100_SERVICE_READ = 164,
    T100_SERVICE_WRITE = 165,
};

// Sizes of the main-pipe messages.
constexpr uint32_t kMainRequestSize = 264;
constexpr uint32_t kMainCountReplySize = 264;
constexpr uint32_t kMainDescribeReplySize = 2356;
constexpr uint32_t kMainNamesReplySize = 520;
constexpr uint32_t kMachineNameSize = 2048;

// The machine whose device service is asked: the registry value
// "XDClientName" (machine-wide first, then the user's), "." when absent or
// empty. Read anew on every call. On POSIX the platform registry's folder tree
// holds it: <root>/HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet/Control/
// Session Manager/Environment/XDClientName (or <root>/HKEY_CURRENT_USER/
// Environment/XDClientName) containing "sz:<machine>".
std::string T100MachineName();

class T100DeviceHandler {
public:
    // One process-wide instance guarded by the named mutex
    // "TavoDeviceHdlMutex"; Release destroys it and closes the mutex.
    static T100DeviceHandler* Obtain();
    static void Release();

    int GetNumDevices(uint32_t* count);
    int GetDevice(uint32_t index, T100DeviceInfo& info);

    void SetMachineName(const char* name);
    const char* MachineName() const { return FMachineName; }

    // Counts with the given machine name instead of reading the registry.
    int CountOn(const char* machine, uint32_t* count);

    // Longest wait for one request written to or one reply read from the
    // service's main pipe; tests shorten it.
    static constexpr uint32_t kMainPipeWaitMs = 2000;
    static inline uint32_t mainPipeWaitMs = kMainPipeWaitMs;
    // A walk over the devices asks no further device once this time has
    // passed since it began, so that a service that stalls every reply holds
    // the caller for a few limits, not for one per device.
    static constexpr uint32_t kWalkLimitMs = 5000;
    static inline uint32_t walkLimitMs = kWalkLimitMs;
    // Waits for a busy main pipe so far (for tests).
    static inline std::atomic<int> mainBusyWaits{0};

private:
    char FMachineName[kMachineNameSize] = {};
};

// The service's main-pipe replies, read only within `size` bytes. Count: the
// device count (0 when too short). Describe: 0 with index, kind, service id
// and type filled in (kind 1 needs the names reply), or the result number of
// its status; a reply too short is a read failure. Names: the second name and
// the per-device pipe name.
uint32_t T100ParseCountReply(const uint8_t* reply, size_t size);
int T100ParseDescribeReply(const uint8_t* reply, size_t size, T100DeviceInfo& info);
void T100ParseNamesReply(const uint8_t* reply, size_t size, T100DeviceInfo& info);

// The most sensors used, whatever count the service reports (the host lists
// no more readers of one plug-in either).
constexpr uint32_t kT100MaxDevices = 64;

// Counts the devices and opens each in turn (at most kT100MaxDevices, and
// none once walkLimitMs has passed), reads its configuration and hands it to
// `visit`. With `kept` given, the first device that `visit` accepts stays open
// there (its configuration in keptConfig) and ends the walk: T100_OK, else
// T100_NOT_FOUND. Without, every device is closed again: T100_OK. A count that
// fails gives its error. Gives up when this thread's stop flag is set. The
// index `first`, when below the count, is looked at before all others.
int T100WalkDevices(const std::function<bool(uint32_t index, const uint8_t* config)>& visit, T100Device* kept,
                    uint8_t* keptConfig, uint32_t first = UINT32_MAX);

// Opens the device (index set, everything else zero for USB/service devices):
// 0, 128, or a handler error number. Close does nothing without a transport.
int T100DeviceOpen(T100Device& device);
void T100DeviceClose(T100Device& device);
// Number of open transports registered in the handler token map.
size_t T100OpenTransportCount();
// Registers an open transport with a new token, and tells whether one is.
void T100RegisterTransport(ITransport* transport);
bool T100TransportRegistered(ITransport* transport);

// Device operations: 0, 139 when no usable reply came back, or the sensor's
// error code from an error reply.
int Arm_Trigger(T100Device& device, uint16_t triggerType);
int Get_Acq_Status(T100Device& device, uint32_t* status);
// Copies at most `capacity` image bytes into `buffer`; `imageSize` receives
// the size the sensor reported.
int Get_Composite_Image(T100Device& device, uint8_t* buffer, uint32_t capacity, int32_t* acceptance,
                        uint32_t* imageSize);
int Get_Config(T100Device& device, uint8_t* config128);
int Get_Cmd(T100Device& device, uint8_t* block64);
int Set_Cmd(T100Device& device, const uint8_t* block64);
