#include "plugins/tavoro/T100DeviceHandler.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <new>

#include "platform/errors.h"
#include "platform/handles.h"
#include "platform/mutexes.h"
#include "platform/pipes.h"
#include "platform/registry.h"
#include "platform/usb.h"
#include "plugins/tavoro/T100Cmd.h"
#include "plugins/tavoro/T100Diag.h"

namespace {

constexpr const char* kMainPipeFormat = "\\\\%s\\PIPE\\TavoDeviceServiceMainPipe";
constexpr const char* kCountCaller = "T100DeviceHandler::GetNumDevices";
constexpr const char* kDeviceCaller = "T100DeviceHandler::GetDevice";
constexpr uint32_t kMainBusyWaitMs = 200;
constexpr size_t kMaxMachineChars = 255; // 512 bytes of wide value data

uint32_t LoadU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void StoreU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

void CopyText(char* dst, size_t capacity, const char* src, size_t srcMax) {
    size_t n = 0;
    while (n + 1 < capacity && n < srcMax && src[n])
        ++n;
    std::memcpy(dst, src, n);
    dst[n] = 0;
}

std::string MainPipeName(const char* machine) {
    char name[kMachineNameSize + 64];
    std::snprintf(name, sizeof name, kMainPipeFormat, machine);
    return name;
}

// A connection to the service's main pipe. Its transfers are overlapped, so
// that a service that accepts and then never answers cannot hold the caller
// (and the host's locks around the listing) for longer than the limit.
struct MainPipe {
    plat::OsHandle pipe = plat::InvalidOsHandle();
    plat::UsbIo* io = nullptr;
    MainPipe() = default;
    MainPipe(const MainPipe&) = delete;
    MainPipe& operator=(const MainPipe&) = delete;
    ~MainPipe() {
        plat::CloseOsHandle(pipe);
        plat::DestroyUsbIo(io);
    }
    bool Connected() const { return plat::IsValidOsHandle(pipe); }
};

// At most two attempts; a busy pipe is waited for briefly between them, any
// other error ends.
bool ConnectMain(const std::string& name, MainPipe& main) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt > 0) {
            ++T100DeviceHandler::mainBusyWaits;
            plat::WaitPipe(name, kMainBusyWaitMs);
        }
        plat::OsHandle h = plat::OpenPipe(name, false, true);
        if (plat::IsValidOsHandle(h)) {
            main.io = plat::CreateUsbIo();
            if (!main.io || !plat::ResetUsbEvent(main.io, plat::IoDirection::Read) ||
                !plat::ResetUsbEvent(main.io, plat::IoDirection::Write)) {
                plat::CloseOsHandle(h);
                return false;
            }
            main.pipe = h;
            return true;
        }
        if (plat::LastError() != plat::kErrorPipeBusy || T100Abandoned())
            break;
    }
    return false;
}

// Moves exactly `size` bytes within one time limit; a transfer cut short, a
// failure or the limit is a failed transfer.
bool Transfer(MainPipe& main, plat::IoDirection dir, uint8_t* buffer, uint32_t size) {
    const uint64_t end = plat::TickCountMs() + T100DeviceHandler::mainPipeWaitMs;
    uint32_t total = 0;
    while (total < size) {
        uint64_t now = plat::TickCountMs();
        if (now >= end)
            return false;
        uint32_t done = 0;
        auto r = plat::TransferPiece(main.io, dir, main.pipe, buffer + total, size - total, uint32_t(end - now), &done,
                                     T100Abandoned);
        if (r != plat::PieceResult::Done || done == 0)
            return false;
        total += done;
    }
    return true;
}

bool SendRequest(MainPipe& main, uint32_t code, uint32_t argument, const char* caller) {
    uint8_t request[kMainRequestSize] = {};
    StoreU32(request, code);
    StoreU32(request + 4, argument);
    std::strncpy(reinterpret_cast<char*>(request + 8), caller, 255);
    return Transfer(main, plat::IoDirection::Write, request, sizeof request);
}

bool ReadReply(MainPipe& main, uint8_t* buffer, uint32_t size) {
    return Transfer(main, plat::IoDirection::Read, buffer, size);
}

uint32_t UsbCount() {
    int n = T100UsbInterfaceCount();
    // A failed enumeration finds no sensor rather than four billion of them.
    return n > 0 ? uint32_t(n) : 0;
}

// Instance bookkeeping. Users are counted so that one thread's release never
// destroys the instance under another thread that still uses it.
std::mutex gInstanceLock;
plat::OsHandle gInstanceMutex = nullptr;
T100DeviceHandler* gInstance = nullptr;
int gInstanceUsers = 0;

// Handler token map: open transport -> token.
struct HandlerToken {};

struct TokenMap {
    std::mutex lock; // guards `mutex` creation inside the process
    plat::OsHandle mutex = nullptr;
    std::map<ITransport*, HandlerToken*> map;
    ~TokenMap() {
        for (auto& entry : map)
            delete entry.second;
        map.clear();
        plat::CloseOsHandle(mutex);
    }
};

TokenMap& Tokens() {
    static TokenMap tokens;
    return tokens;
}

// Waits for "CMDHdlMutex" (created on first use), runs f, releases.
template <class F>
void WithTokenMap(F f) {
    TokenMap& t = Tokens();
    std::lock_guard<std::mutex> guard(t.lock);
    if (!plat::IsValidOsHandle(t.mutex))
        t.mutex = plat::CreateNamedMutex("CMDHdlMutex");
    bool owned = plat::IsValidOsHandle(t.mutex) &&
                 plat::WaitNamedMutex(t.mutex, plat::kInfinite) == plat::WaitResult::Acquired;
    f(t.map);
    if (owned)
        plat::ReleaseNamedMutex(t.mutex);
}

} // namespace

std::string T100MachineName() {
    static const char* kMachineKey = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
    auto value = plat::ReadRegistryString(plat::RegistryRoot::LocalMachine, kMachineKey, "XDClientName");
    if (!value)
        value = plat::ReadRegistryString(plat::RegistryRoot::CurrentUser, "Environment", "XDClientName");
    if (!value || value->empty())
        return ".";
    // Kept in UTF-8, the encoding every pipe name is opened with.
    std::string name = *value;
    if (name.size() > kMaxMachineChars) {
        name.resize(kMaxMachineChars);
        while (!name.empty() && (static_cast<unsigned char>(name.back()) & 0xC0) == 0x80)
            name.pop_back(); // no character cut in half
        if (!name.empty() && (static_cast<unsigned char>(name.back()) & 0xC0) == 0xC0)
            name.pop_back();
    }
    return name.empty() ? "." : name;
}

T100DeviceHandler* T100DeviceHandler::Obtain() {
    std::lock_guard<std::mutex> guard(gInstanceLock);
    if (!plat::IsValidOsHandle(gInstanceMutex))
        gInstanceMutex = plat::CreateNamedMutex("TavoDeviceHdlMutex");
    bool owned = plat::IsValidOsHandle(gInstanceMutex) &&
                 plat::WaitNamedMutex(gInstanceMutex, plat::kInfinite) == plat::WaitResult::Acquired;
    if (!gInstance)
        gInstance = new (std::nothrow) T100DeviceHandler();
    if (gInstance)
        ++gInstanceUsers;
    if (owned)
        plat::ReleaseNamedMutex(gInstanceMutex);
    return gInstance;
}

void T100DeviceHandler::Release() {
    std::lock_guard<std::mutex> guard(gInstanceLock);
    if (gInstanceUsers > 0 && --gInstanceUsers > 0)
        return;
    bool owned = plat::IsValidOsHandle(gInstanceMutex) &&
                 plat::WaitNamedMutex(gInstanceMutex, plat::kInfinite) == plat::WaitResult::Acquired;
    delete gInstance;
    gInstance = nullptr;
    if (owned)
        plat::ReleaseNamedMutex(gInstanceMutex);
    plat::CloseOsHandle(gInstanceMutex);
    gInstanceMutex = nullptr;
}

void T100DeviceHandler::SetMachineName(const char* name) {
    // Capture contexts that look for their sensors again share the instance.
    static std::mutex nameLock;
    std::lock_guard<std::mutex> guard(nameLock);
    CopyText(FMachineName, sizeof FMachineName, name ? name : ".", kMachineNameSize);
}

int T100DeviceHandler::GetNumDevices(uint32_t* count) {
    std::string machine = T100MachineName();
    return CountOn(machine.c_str(), count);
}

int T100DeviceHandler::CountOn(const char* machine, uint32_t* count) {
    uint32_t n = 0;
    if (count)
        *count = 0;
    SetMachineName(machine);
    // Built from the caller's text: another user of the instance may rename it.
    MainPipe pipe;
    int result = T100_OK;
    if (ConnectMain(MainPipeName(machine && *machine ? machine : "."), pipe)) {
        uint8_t reply[kMainCountReplySize];
        if (!SendRequest(pipe, 0, 0, kCountCaller))
            result = T100_SERVICE_WRITE;
        else if (!ReadReply(pipe, reply, sizeof reply))
            result = T100_SERVICE_READ;
        else
            n = T100ParseCountReply(reply, sizeof reply);
    } else {
        n = UsbCount();
    }
    if (count)
        *count = n;
    return result;
}

int T100DeviceHandler::GetDevice(uint32_t index, T100DeviceInfo& info) {
    char machine[sizeof info.machineName];
    CopyText(machine, sizeof machine, info.machineName, sizeof info.machineName);
    MainPipe pipe;
    if (!ConnectMain(MainPipeName(machine[0] ? machine : "."), pipe)) {
        if (index >= UsbCount())
            return T100_NOT_FOUND;
        info.index = index;
        info.kind = 0;
        info.pipeName[0] = 0;
        info.secondName[0] = 0;
        info.serviceId = index;
        info.type = 0;
        return T100_OK;
    }
    int result = T100_OK;
    // On the heap: host capture threads may run on small stacks.
    uint8_t* describe = new (std::nothrow) uint8_t[kMainDescribeReplySize];
    if (!describe)
        return T100_SERVICE_READ;
    if (!SendRequest(pipe, 2, index, kDeviceCaller)) {
        result = T100_SERVICE_WRITE;
    } else if (!ReadReply(pipe, describe, kMainDescribeReplySize)) {
        result = T100_SERVICE_READ;
    } else {
        result = T100ParseDescribeReply(describe, kMainDescribeReplySize, info);
        if (result == T100_OK && info.kind == 1) {
            uint8_t names[kMainNamesReplySize];
            if (!SendRequest(pipe, 1, info.serviceId, kDeviceCaller))
                result = T100_SERVICE_WRITE;
            else if (!ReadReply(pipe, names, sizeof names))
                result = T100_SERVICE_READ;
            else
                T100ParseNamesReply(names, sizeof names, info);
        }
    }
    delete[] describe;
    return result;
}

uint32_t T100ParseCountReply(const uint8_t* reply, size_t size) {
    return size >= 8 ? LoadU32(reply + 4) : 0;
}

int T100ParseDescribeReply(const uint8_t* reply, size_t size, T100DeviceInfo& info) {
    if (size < kMainDescribeReplySize)
        return T100_SERVICE_READ;
    uint32_t status = LoadU32(reply + 2352);
    if (status == 2 || status == 3)
        return T100_SERVICE_BUSY;
    if (status == 6)
        return T100_SERVICE_READ;
    if (status == 7)
        return T100_SERVICE_WRITE;
    if (status != 0)
        return T100_NOT_FOUND;
    info.serviceId = LoadU32(reply);
    info.index = LoadU32(reply + 4);
    info.type = LoadU32(reply + 8);
    // From device type 3 on, the sensor is reached through its own pipe of the
    // service, whose name the names request brings.
    info.kind = info.type < 3 ? 0 : 1;
    info.pipeName[0] = 0;
    info.secondName[0] = 0;
    return T100_OK;
}

void T100ParseNamesReply(const uint8_t* reply, size_t size, T100DeviceInfo& info) {
    if (size < kMainNamesReplySize)
        return;
    // The service's texts need not be terminated within their 260 bytes.
    CopyText(info.secondName, sizeof info.secondName, reinterpret_cast<const char*>(reply), 260);
    CopyText(info.pipeName, sizeof info.pipeName, reinterpret_cast<const char*>(reply + 260), 260);
}

// ---------------------------------------------------------------- devices

int T100DeviceOpen(T100Device& device) {
    auto* info = new (std::nothrow) T100DeviceInfo();
    if (!info)
        return T100_NO_TRANSPORT;
    std::string machine = T100MachineName();
    CopyText(info->machineName, sizeof info->machineName, machine.c_str(), machine.size());
    T100DeviceHandler* handler = T100DeviceHandler::Obtain();
    int result = handler ? handler->GetDevice(device.index, *info) : T100_NOT_FOUND;
    if (result != T100_OK && device.baudRate == 0) {
        delete info;
        device.link = nullptr;
        T100DeviceHandler::Release();
        return result;
    }
    bool infoUsable = result == T100_OK;
    device.link = info;
    ITransport* transport = nullptr;
    if (device.baudRate != 0 && device.baudRate != 255) {
        if (device.readPipe == nullptr) {
            transport = new (std::nothrow) TransportRS232();
        } else if (device.readPipe == T100SerialNxMarker()) {
            transport = new (std::nothrow) TransportRS232_NX();
            device.readPipe = nullptr;
        }
    } else if (infoUsable && info->kind == 1) {
        transport = new (std::nothrow) TransportSE();
    } else if (infoUsable && info->kind == 0) {
        transport = new (std::nothrow) TransportUSB();
    }
    result = T100_NO_TRANSPORT;
    if (transport && transport->Open(device) == 0) {
        device.link = transport;
        T100RegisterTransport(transport);
        result = T100_OK;
    } else {
        if (transport)
            transport->Close(device); // whatever a failed open got hold of
        delete transport;
        device.link = nullptr;
    }
    delete info;
    T100DeviceHandler::Release();
    return result;
}

void T100DeviceClose(T100Device& device) {
    auto* transport = static_cast<ITransport*>(device.link);
    if (!transport)
        return;
    // The entry goes before the transport: once the memory is freed, a
    // concurrent open may get the same address and register it anew.
    HandlerToken* token = nullptr;
    WithTokenMap([&](std::map<ITransport*, HandlerToken*>& map) {
        auto it = map.find(transport);
        if (it != map.end()) {
            token = it->second;
            map.erase(it);
        }
    });
    delete token;
    transport->Close(device);
    delete transport;
    device.link = nullptr;
}

void T100RegisterTransport(ITransport* transport) {
    auto* token = new (std::nothrow) HandlerToken();
    WithTokenMap([&](std::map<ITransport*, HandlerToken*>& map) {
        auto it = map.find(transport);
        if (it != map.end())
            delete it->second;
        map[transport] = token;
    });
}

bool T100TransportRegistered(ITransport* transport) {
    bool found = false;
    WithTokenMap([&](std::map<ITransport*, HandlerToken*>& map) { found = map.count(transport) != 0; });
    return found;
}

int T100WalkDevices(const std::function<bool(uint32_t, const uint8_t*)>& visit, T100Device* kept,
                    uint8_t* keptConfig, uint32_t first) {
    const uint64_t begun = plat::TickCountMs();
    uint32_t count = 0;
    T100DeviceHandler* handler = T100DeviceHandler::Obtain();
    int r = handler ? handler->GetNumDevices(&count) : T100_NOT_FOUND;
    T100DeviceHandler::Release();
    if (r != T100_OK)
        return r;
    if (count > kT100MaxDevices) {
        T100Print("\nThe device service reports %u sensors; only the first %u are used", count, kT100MaxDevices);
        count = kT100MaxDevices;
    }
    const bool early = first < count;
    for (uint32_t k = 0; k < count + (early ? 1 : 0); ++k) {
        // The index to look at first goes before all others (and is skipped later).
        uint32_t i = early ? (k == 0 ? first : k - 1) : k;
        if (early && k > 0 && i == first)
            continue;
        if (T100Abandoned())
            return T100_NOT_FOUND;
        if (plat::TickCountMs() - begun >= T100DeviceHandler::walkLimitMs) {
            T100Print("\nSensors were left out: the device service answers too slowly");
            break;
        }
        T100Device device;
        device.index = i;
        if (T100DeviceOpen(device) != T100_OK)
            continue;
        uint8_t config[kT100ConfigSize];
        bool keep = Get_Config(device, config) == T100_OK && visit(i, config);
        if (keep && kept) {
            *kept = device;
            if (keptConfig)
                std::memcpy(keptConfig, config, sizeof config);
            return T100_OK;
        }
        T100DeviceClose(device);
    }
    return kept ? T100_NOT_FOUND : T100_OK;
}

size_t T100OpenTransportCount() {
    size_t n = 0;
    WithTokenMap([&](std::map<ITransport*, HandlerToken*>& map) { n = map.size(); });
    return n;
}

// ---------------------------------------------------------------- operations

namespace {

// One command: `fill` prepares the request, `copy` reads the expected reply
// class. A reply whose unpack failed is not trusted.
template <class Reply, class Fill, class Copy>
int RunOperation(T100Device& device, uint32_t opcode, bool otherReplyIsSuccess, Fill fill, Copy copy) {
    ICmd* request = CreateCommand(opcode);
    if (!request)
        return T100_NO_REPLY;
    if (!fill(*request)) {
        delete request;
        return T100_NO_REPLY;
    }
    ICmd* reply = ExecuteCommand(device, request);
    delete request;
    if (!reply)
        return T100_NO_REPLY;
    int result;
    if (reply->GetOpcode() == OP_Atomic_Error) {
        int code = static_cast<Atomic_Error*>(reply)->GetErrorCode();
        // An error reply without a code must not read as success.
        result = code != 0 ? code : T100_NO_REPLY;
    } else if (auto* expected = dynamic_cast<Reply*>(reply)) {
        if (expected->Unpacked()) {
            copy(*expected);
            result = T100_OK;
        } else {
            result = T100_NO_REPLY;
        }
    } else {
        result = otherReplyIsSuccess ? T100_OK : T100_NO_REPLY;
    }
    delete reply;
    return result;
}

} // namespace

int Arm_Trigger(T100Device& device, uint16_t triggerType) {
    return RunOperation<Atomic_Arm_Trigger>(
        device, OP_Atomic_Arm_Trigger, true,
        [&](ICmd& c) {
            c.SetArgument(triggerType);
            return true;
        },
        [](Atomic_Arm_Trigger&) {});
}

int Get_Acq_Status(T100Device& device, uint32_t* status) {
    return RunOperation<Atomic_Get_Acq_Status>(
        device, OP_Atomic_Get_Acq_Status, false, [](ICmd&) { return true; },
        [&](Atomic_Get_Acq_Status& r) {
            if (status)
                *status = r.FStatus;
        });
}

int Get_Composite_Image(T100Device& device, uint8_t* buffer, uint32_t capacity, int32_t* acceptance,
                        uint32_t* imageSize) {
    return RunOperation<Atomic_Get_Composite_Image>(
        device, OP_Atomic_Get_Composite_Image, false, [](ICmd&) { return true; },
        [&](Atomic_Get_Composite_Image& r) {
            uint32_t n = r.FImageSize < capacity ? r.FImageSize : capacity;
            if (buffer && n && r.FImage)
                std::memcpy(buffer, r.FImage, n);
            if (acceptance)
                *acceptance = int32_t(r.FAcceptance);
            if (imageSize)
                *imageSize = r.FImageSize;
        });
}

int Get_Config(T100Device& device, uint8_t* config128) {
    return RunOperation<Atomic_Get_Config>(
        device, OP_Atomic_Get_Config, false, [](ICmd&) { return true; },
        [&](Atomic_Get_Config& r) {
            if (config128)
                std::memcpy(config128, r.FConfig, kT100ConfigSize);
        });
}

int Get_Cmd(T100Device& device, uint8_t* block64) {
    return RunOperation<Atomic_Get_Cmd>(
        device, OP_Atomic_Get_Cmd, false, [](ICmd&) { return true; },
        [&](Atomic_Get_Cmd& r) {
            if (block64)
                std::memcpy(block64, r.FBlock, kT100CmdBlockSize);
        });
}

int Set_Cmd(T100Device& device, const uint8_t* block64) {
    return RunOperation<Atomic_Set_Cmd>(
        device, OP_Atomic_Set_Cmd, true,
        [&](ICmd& c) {
            auto& set = static_cast<Atomic_Set_Cmd&>(c);
            set.FBlockLength = kT100CmdBlockSize;
            if (block64)
                std::memcpy(set.FBlock, block64, kT100CmdBlockSize);
            return true;
        },
        [](Atomic_Set_Cmd&) {});
}
