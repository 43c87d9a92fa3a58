#include "TavoroSim.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/pipes.h"
#include "platform/usb.h"
#include "plugins/tavoro/T100Cmd.h"

namespace tavosim {

namespace {

constexpr uint32_t kPoll = 50;  // ms between looks at the stop flag
constexpr uint32_t kMaxRequest = 16u << 20;

void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
uint32_t GetU32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void Sleep(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Reads exactly n bytes unless the client goes away or the simulator stops.
bool ReadExact(plat::PipeServer* s, uint8_t* buf, uint32_t n, const std::atomic<bool>& stop,
               const std::atomic<bool>& serving) {
  uint32_t got = 0;
  while (got < n) {
    if (stop || !serving) return false;
    uint32_t done = 0;
    int r = plat::ServerRead(s, buf + got, n - got, &done, kPoll);
    if (r < 0) return false;
    got += done;
  }
  return true;
}

std::vector<uint8_t> ErrorReply(uint16_t code) {
  std::vector<uint8_t> out;
  ICmd* e = CreateCommand(OP_Atomic_Error);
  if (!e) return out;
  static_cast<Atomic_Error*>(e)->SetErrorCode(code);
  uint8_t* p = nullptr;
  int32_t size = 0;
  if (e->PackResponse(&p, &size) && p && size > 0) out.assign(p, p + size);
  delete e;
  return out;
}

}  // namespace

struct Simulator::SensorState {
  SensorConfig cfg;
  plat::PipeServer* server = nullptr;  // requests arrive here
  plat::PipeServer* reply = nullptr;   // USB stand-in: replies leave here (else on `server`)
  std::atomic<uint64_t> requests{0};
  std::vector<uint32_t> opcodes;
  uint8_t cmdBlock[kT100CmdBlockSize] = {};
  bool sequence = false;  // a trigger 1 or 4 started the status sequence
  uint32_t position = 0;
  uint32_t captures = 0;
  std::vector<std::vector<uint8_t>> images;
  size_t index = 0;
  std::string dumpDir;

  uint32_t NextStatus() {
    if (!sequence) return 10;
    std::vector<uint32_t> script = cfg.statusScript;
    if (script.empty()) {
      script.assign(cfg.fingerAfter, 1);
      script.push_back(4);
      script.push_back(2);
      script.push_back(0);
    }
    uint32_t v = script[position < script.size() ? position : script.size() - 1];
    ++position;
    return v;
  }

  const std::vector<uint8_t>& Image() {
    if (images.empty()) {
      for (uint32_t k = 0; k < 3; ++k) images.push_back(MakeImage(cfg.width, cfg.height, uint32_t(index * 31 + k + 1)));
    }
    const std::vector<uint8_t>& img = images[captures % images.size()];
    // The images repeat in a cycle, so each distinct one is written once;
    // a long capture must not fill the disk.
    if (!dumpDir.empty() && captures < images.size()) {
      std::string name = dumpDir + "/sensor" + std::to_string(index) + "-" + std::to_string(captures) + ".raw";
      std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char*>(img.data()), std::streamsize(img.size()));
    }
    ++captures;
    return img;
  }

  std::vector<uint8_t> Handle(const uint8_t* packet, uint32_t length) {
    uint32_t opcode = GetU32(packet + 2);
    if (cfg.errorOpcode && opcode == cfg.errorOpcode) return ErrorReply(cfg.errorCode);
    ICmd* c = CreateCommand(opcode);
    if (!c) return ErrorReply(0xFFFF);
    if (opcode != OP_Atomic_Error && !c->UnpackCommand(packet, length)) {
      delete c;
      return ErrorReply(0xFFFE);
    }
    switch (opcode) {
      case OP_Atomic_Get_Config: {
        auto* g = static_cast<Atomic_Get_Config*>(c);
        std::memset(g->FConfig, 0, sizeof(g->FConfig));
        PutU16(g->FConfig + 0, cfg.model0);
        PutU16(g->FConfig + 2, cfg.model2);
        PutU16(g->FConfig + 4, cfg.serialLow);
        PutU16(g->FConfig + 30, cfg.width);
        PutU16(g->FConfig + 32, cfg.height);
        PutU16(g->FConfig + 116, cfg.serialHigh);
        break;
      }
      case OP_Atomic_Get_Cmd: {
        auto* g = static_cast<Atomic_Get_Cmd*>(c);
        g->FBlockLength = kT100CmdBlockSize;
        std::memcpy(g->FBlock, cmdBlock, sizeof(cmdBlock));
        break;
      }
      case OP_Atomic_Set_Cmd: {
        auto* s = static_cast<Atomic_Set_Cmd*>(c);
        std::memcpy(cmdBlock, s->FBlock, s->FBlockLength < sizeof(cmdBlock) ? s->FBlockLength : sizeof(cmdBlock));
        break;
      }
      case OP_Atomic_Arm_Trigger: {
        uint16_t trigger = 0;
        c->GetArgument(&trigger);
        sequence = trigger != 0;
        position = 0;
        break;
      }
      case OP_Atomic_Get_Acq_Status:
        static_cast<Atomic_Get_Acq_Status*>(c)->FStatus = NextStatus();
        break;
      case OP_Atomic_Get_Composite_Image: {
        auto* g = static_cast<Atomic_Get_Composite_Image*>(c);
        const std::vector<uint8_t>& img = Image();
        g->FAcceptance = static_cast<uint32_t>(cfg.acceptance);
        g->FImage = static_cast<uint8_t*>(std::malloc(img.empty() ? 1 : img.size()));
        if (g->FImage && !img.empty()) std::memcpy(g->FImage, img.data(), img.size());
        g->FImageSize = g->FImage ? static_cast<uint32_t>(img.size()) : 0;
        break;
      }
      default:
        break;
    }
    std::vector<uint8_t> out;
    uint8_t* p = nullptr;
    int32_t size = 0;
    if (c->PackResponse(&p, &size) && p && size > 0) out.assign(p, p + size);
    delete c;
    if (out.empty()) out = ErrorReply(0xFFFD);
    return out;
  }
};

Simulator::Simulator(SimConfig config) : FConfig(std::move(config)) {
  for (size_t i = 0; i < FConfig.sensors.size(); ++i) {
    auto s = std::make_unique<SensorState>();
    s->cfg = FConfig.sensors[i];
    s->index = i;
    s->dumpDir = FConfig.dumpDir;
    if (s->cfg.pipeName.empty()) s->cfg.pipeName = "TavoSensor" + std::to_string(i);
    if (s->cfg.serviceId == 0) s->cfg.serviceId = static_cast<uint32_t>(100 + i);
    FSensors.push_back(std::move(s));
  }
}

Simulator::~Simulator() { Stop(); }

std::string Simulator::MainPipe() const { return "\\\\" + FConfig.machine + "\\PIPE\\TavoDeviceServiceMainPipe"; }

std::string Simulator::SensorPipe(size_t index) const {
  std::lock_guard<std::mutex> g(FLock);
  return "\\\\" + FConfig.machine + "\\PIPE\\" + FSensors.at(index)->cfg.pipeName;
}

uint64_t Simulator::Requests(size_t index) const { return FSensors.at(index)->requests; }

std::vector<uint32_t> Simulator::Opcodes(size_t index) const {
  std::lock_guard<std::mutex> g(FLock);
  return FSensors.at(index)->opcodes;
}

void Simulator::Configure(size_t index, const SensorConfig& sensor) {
  std::lock_guard<std::mutex> g(FLock);
  SensorConfig c = sensor;
  if (c.pipeName.empty()) c.pipeName = FSensors.at(index)->cfg.pipeName;
  if (c.serviceId == 0) c.serviceId = FSensors.at(index)->cfg.serviceId;
  FSensors.at(index)->cfg = c;
}

SensorConfig Simulator::Sensor(size_t index) const {
  std::lock_guard<std::mutex> g(FLock);
  return FSensors.at(index)->cfg;
}

bool Simulator::Start() {
  if (!FThreads.empty()) return true;
  FStop = false;
  FServing = true;
  // Create the pipes here, so that they exist when Start returns.
  plat::PipeServer* main = nullptr;
  if (FConfig.serveMain) {
    main = plat::CreatePipeServer(MainPipe(), 1);
    if (!main) return false;
  }
  for (size_t i = 0; i < FSensors.size(); ++i) {
    if (!OpenSensorPipes(i)) {
      for (size_t k = 0; k <= i; ++k) CloseSensorPipes(k);
      plat::DestroyPipeServer(main);
      return false;
    }
  }
  if (FConfig.serveMain) {
    mainServer_ = main;
    FThreads.emplace_back([this] { ServeMain(); });
  }
  for (size_t i = 0; i < FSensors.size(); ++i) FThreads.emplace_back([this, i] { ServeSensor(i); });
  return true;
}

void Simulator::Stop() {
  FStop = true;
  for (auto& t : FThreads) t.join();
  FThreads.clear();
}

bool Simulator::SetServing(bool on) {
  FServing = on;
  return true;
}

void Simulator::ServeMain() {
  plat::PipeServer* server = mainServer_;
  mainServer_ = nullptr;
  std::vector<uint8_t> req(264);
  while (!FStop) {
    if (!FServing) {
      if (server) plat::DestroyPipeServer(server);
      server = nullptr;
      Sleep(20);
      continue;
    }
    if (!server) {
      server = plat::CreatePipeServer(MainPipe(), 1);
      if (!server) {
        Sleep(kPoll);
        continue;
      }
    }
    int a = plat::AcceptPipeClient(server, kPoll);
    if (a == 0) continue;
    if (a < 0) {
      plat::DestroyPipeServer(server);
      server = nullptr;
      continue;
    }
    while (ReadExact(server, req.data(), 264, FStop, FServing)) {
      uint32_t code = GetU32(req.data());
      uint32_t arg = GetU32(req.data() + 4);
      std::vector<uint8_t> reply;
      std::lock_guard<std::mutex> g(FLock);
      if (FConfig.log) std::printf("main pipe: request %u (%u)\n", code, arg);
      if (code == 0) {
        reply.assign(264, 0);
        uint32_t count = FConfig.reportedCount != 0xFFFFFFFFu ? FConfig.reportedCount
                                                               : static_cast<uint32_t>(FSensors.size());
        PutU32(reply.data() + 4, count);
      } else if (code == 2) {
        reply.assign(2356, 0);
        uint32_t status = FConfig.describeStatus;
        if (arg < FSensors.size()) {
          PutU32(reply.data() + 0, FSensors[arg]->cfg.serviceId);
          PutU32(reply.data() + 8, FSensors[arg]->cfg.deviceType);
        } else if (status == 0) {
          status = 1;
        }
        // A sensor reached the USB way is known by its place among those.
        uint32_t deviceIndex = arg;
        if (arg < FSensors.size() && !FSensors[arg]->cfg.usbPath.empty()) {
          deviceIndex = 0;
          for (uint32_t k = 0; k < arg; ++k) deviceIndex += FSensors[k]->cfg.usbPath.empty() ? 0 : 1;
        }
        PutU32(reply.data() + 4, deviceIndex);
        PutU32(reply.data() + 2352, status);
      } else if (code == 1) {
        reply.assign(520, 0);
        for (auto& s : FSensors) {
          if (s->cfg.serviceId != arg) continue;
          std::string second = "Tavoro T100 " + std::to_string(s->index);
          std::snprintf(reinterpret_cast<char*>(reply.data()), 260, "%s", second.c_str());
          std::snprintf(reinterpret_cast<char*>(reply.data() + 260), 260, "%s", s->cfg.pipeName.c_str());
        }
      } else {
        break;  // unknown request: the service hangs up
      }
      if (!plat::ServerWrite(server, reply.data(), static_cast<uint32_t>(reply.size()))) break;
    }
    plat::DisconnectPipeClient(server);
  }
  plat::DestroyPipeServer(server);
}

bool Simulator::OpenSensorPipes(size_t index) {
  SensorState& s = *FSensors[index];
  std::string usb = s.cfg.usbPath;
  if (usb.empty()) {
    s.server = plat::CreatePipeServer(SensorPipe(index), 1);
    return s.server != nullptr;
  }
  s.server = plat::CreatePipeServer(plat::StandInPipeName(usb + "\\PIPE_0x01"), 1);
  s.reply = plat::CreatePipeServer(plat::StandInPipeName(usb + "\\PIPE_0x00"), 1);
  return s.server && s.reply;
}

void Simulator::CloseSensorPipes(size_t index) {
  SensorState& s = *FSensors[index];
  plat::DestroyPipeServer(s.server);
  plat::DestroyPipeServer(s.reply);
  s.server = s.reply = nullptr;
}

std::vector<std::string> Simulator::UsbInterfacePaths() const {
  std::lock_guard<std::mutex> g(FLock);
  std::vector<std::string> paths;
  for (auto& s : FSensors) {
    if (!s->cfg.usbPath.empty()) paths.push_back(s->cfg.usbPath);
  }
  return paths;
}

void Simulator::ServeSensor(size_t index) {
  SensorState& s = *FSensors[index];
  std::vector<uint8_t> packet;
  while (!FStop) {
    if (!FServing) {
      CloseSensorPipes(index);
      Sleep(20);
      continue;
    }
    if (!s.server) {
      if (!OpenSensorPipes(index)) {
        CloseSensorPipes(index);
        Sleep(kPoll);
        continue;
      }
    }
    int a = plat::AcceptPipeClient(s.server, kPoll);
    if (a == 0) continue;
    // The USB stand-in's host opens its write pipe first, then its read pipe.
    while (a == 1 && s.reply && !FStop && FServing) {
      int b = plat::AcceptPipeClient(s.reply, kPoll);
      if (b == 1) break;
      if (b < 0) a = -1;
    }
    if (a < 0) {
      CloseSensorPipes(index);
      continue;
    }
    plat::PipeServer* out = s.reply ? s.reply : s.server;
    uint8_t cb[12];
    while (ReadExact(s.server, cb, 12, FStop, FServing)) {
      uint32_t length = GetU32(cb + 8);
      if (length < kT100FrameOverhead || length > kMaxRequest) break;
      packet.resize(length);
      if (!ReadExact(s.server, packet.data(), length, FStop, FServing)) break;
      uint64_t n = ++s.requests;
      SensorConfig cfg;
      std::vector<uint8_t> reply;
      {
        std::lock_guard<std::mutex> g(FLock);
        s.opcodes.push_back(GetU32(packet.data() + 2));
        cfg = s.cfg;
        if (FConfig.log) std::printf("sensor %zu: opcode %u\n", index, GetU32(packet.data() + 2));
        if (cfg.silent) continue;
        if (cfg.disconnectAfter && n >= cfg.disconnectAfter) break;
        if (cfg.dropEvery && n % cfg.dropEvery == 0) continue;
        reply = s.Handle(packet.data(), length);
      }
      if (cfg.delayMs) {
        uint64_t until = cfg.delayMs;
        while (until > 0 && !FStop) {
          uint32_t step = until > kPoll ? kPoll : static_cast<uint32_t>(until);
          Sleep(step);
          until -= step;
        }
      }
      std::vector<uint8_t> bytes(12 + reply.size(), 0);
      PutU32(bytes.data() + 8, static_cast<uint32_t>(reply.size()));
      std::copy(reply.begin(), reply.end(), bytes.begin() + 12);
      if (cfg.truncateEvery && n % cfg.truncateEvery == 0) {
        plat::ServerWrite(out, bytes.data(), static_cast<uint32_t>(12 + reply.size() / 2));
        break;
      }
      if (!plat::ServerWrite(out, bytes.data(), static_cast<uint32_t>(bytes.size()))) break;
    }
    plat::DisconnectPipeClient(s.server);
    if (s.reply) plat::DisconnectPipeClient(s.reply);
  }
  CloseSensorPipes(index);
}

}  // namespace tavosim
