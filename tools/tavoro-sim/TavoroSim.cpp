#include "TavoroSim.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <algorithm>

#include "platform/errors.h"
#include "platform/handles.h"
#include "platform/pipes.h"
#include "platform/usb.h"
#include "plugins/tavoro/T100Cmd.h"

namespace tavosim {

namespace {

constexpr uint32_t kPoll = 50;  // ms between looks at the stop flag
constexpr uint32_t kMaxRequest = 16u << 20;
constexpr size_t kOpcodesKept = 100000;
constexpr size_t kServedKept = 10000;
// A realistic sensor takes this long for a status exchange, as one on USB
// does: a client polling back to back does not take a whole core.
constexpr uint32_t kRealisticStatusMs = 2;

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

// Sleeps ms, in steps, while `go` holds; false when it stopped holding.
bool SleepWhile(uint64_t ms, const std::function<bool()>& go) {
  while (ms > 0) {
    if (!go()) return false;
    uint32_t step = ms > kPoll ? kPoll : static_cast<uint32_t>(ms);
    Sleep(step);
    ms -= step;
  }
  return go();
}

// What one client sent beyond the bytes read so far: a request's control
// block and packet arrive together and are taken in one read.
struct ReadAhead {
  static constexpr uint32_t kSize = 4096;
  uint8_t bytes[kSize];
  uint32_t first = 0, end = 0;
};

// Reads exactly n bytes unless the client goes away or `go` turns false.
bool ReadExact(plat::PipeServer* s, uint8_t* buf, uint32_t n, const std::function<bool()>& go,
               ReadAhead* ahead = nullptr) {
  uint32_t got = 0;
  if (ahead) {
    got = std::min(n, ahead->end - ahead->first);
    std::memcpy(buf, ahead->bytes + ahead->first, got);
    ahead->first += got;
  }
  while (got < n) {
    if (!go()) return false;
    uint32_t done = 0;
    // Refilled only once empty, so the bytes keep their order.
    bool refill = ahead && n - got < ReadAhead::kSize;
    int r = refill ? plat::ServerRead(s, ahead->bytes, ReadAhead::kSize, &done, kPoll)
                   : plat::ServerRead(s, buf + got, n - got, &done, kPoll);
    if (r < 0) return false;
    if (refill) {
      uint32_t used = std::min(done, n - got);
      std::memcpy(buf + got, ahead->bytes, used);
      ahead->first = used;
      ahead->end = done;
      done = used;
    }
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
  std::string baseName;  // the configured pipe name; a renumbered sensor adds ".<generation>"
  uint32_t baseId = 0;
  uint32_t generation = 0;
  bool plugged = true;
  std::atomic<uint64_t> epoch{0};  // changes whenever the sensor's pipes must vanish
  std::atomic<uint64_t> requests{0};
  std::vector<uint32_t> opcodes;
  std::vector<PendingFault> faults;
  std::vector<plat::OsHandle> holders;  // client ends that keep the pipe busy
  uint8_t cmdBlock[kT100CmdBlockSize] = {};
  bool sequence = false;  // a trigger 1 or 4 started the status sequence
  uint32_t position = 0;
  uint32_t captures = 0;
  uint32_t shortPixels = 0;  // the next composite image is cut to this many pixels
  std::vector<std::vector<uint8_t>> images;
  std::vector<uint64_t> hashes;
  size_t index = 0;
  std::string dumpDir;
  // Realistic sensor.
  std::unique_ptr<TouchPictures> pictures;
  std::unique_ptr<TouchSchedule> schedule;
  std::shared_ptr<const TouchPicture> onSensor;  // the picture of the current touch
  std::vector<uint8_t> lastImage;
  std::deque<ServedImage> served;
  const Simulator* owner = nullptr;
  bool log = false;

  void MakeRealistic() {
    if (!cfg.realistic) return;
    pictures = std::make_unique<TouchPictures>(cfg.touches, static_cast<uint32_t>(index), cfg.width, cfg.height);
    schedule = std::make_unique<TouchSchedule>(cfg.touches, [this](uint64_t n) {
      pictures->Want(n);
      std::shared_ptr<const TouchPicture> pic = pictures->Get(n);
      if (!pic) return false;
      onSensor = std::move(pic);
      pictures->Want(n + 1);  // ready before the finger comes back
      return true;
    });
  }

  // The image of a realistic sensor's fetch; never the same as the one before.
  std::vector<uint8_t> RealisticImage(ServedImage& record) {
    TouchSchedule::Frame f = schedule->Fetch(owner->Now());
    std::vector<uint8_t> img;
    if (onSensor && onSensor->touch.number == f.touch) {
      img = FrameOf(*onSensor, f.frame);
      record.finger = onSensor->touch.finger;
      record.poor = onSensor->touch.poor;
    } else {
      img = MakeImage(cfg.width, cfg.height, f.frame);  // fetched before any finger came
    }
    if (img == lastImage && !img.empty()) img[0] ^= 1;
    lastImage = img;
    record.touch = static_cast<int64_t>(f.touch);
    record.frame = f.frame;
    record.taken = f.taken;
    return img;
  }

  void Record(ServedImage record, uint64_t hash) {
    record.ms = owner->Now();
    if (!schedule) record.taken = record.ms;
    record.hash = hash;
    if (log && record.touch >= 0)
      std::printf("sensor %zu: image %u of touch %lld (finger %u%s) taken at %llu ms, sent at %llu ms, hash %016llx\n",
                  index, record.frame, static_cast<long long>(record.touch), record.finger, record.poor ? ", poor" : "",
                  static_cast<unsigned long long>(record.taken), static_cast<unsigned long long>(record.ms),
                  static_cast<unsigned long long>(hash));
    served.push_back(record);
    if (served.size() > kServedKept) served.pop_front();
  }

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

  // The fast sensor's picture, and its hash.
  const std::vector<uint8_t>& Image(uint64_t& hash) {
    if (images.empty()) {
      for (uint32_t k = 0; k < 3; ++k) {
        images.push_back(MakeImage(cfg.width, cfg.height, uint32_t(index * 31 + k + 1)));
        hashes.push_back(PixelHash(images.back().data(), images.back().size()));
      }
    }
    const std::vector<uint8_t>& img = images[captures % images.size()];
    hash = hashes[captures % images.size()];
    // The images repeat in a cycle, so each distinct one is written once;
    // a long capture must not fill the disk.
    if (!dumpDir.empty() && captures < images.size()) {
      std::string name = dumpDir + "/sensor" + std::to_string(index) + "-" + std::to_string(captures) + ".raw";
      std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char*>(img.data()), std::streamsize(img.size()));
    }
    ++captures;
    return img;
  }

  // The first pending fault meant for a reply to `opcode`, taken.
  bool TakeFault(uint32_t opcode, PendingFault& out) {
    for (size_t i = 0; i < faults.size(); ++i) {
      const PendingFault& f = faults[i];
      uint32_t wanted = f.kind == ReplyFault::ShortImage ? uint32_t(OP_Atomic_Get_Composite_Image) : f.opcode;
      if (wanted != 0 && wanted != opcode) continue;
      out = f;
      faults.erase(faults.begin() + static_cast<std::ptrdiff_t>(i));
      return true;
    }
    return false;
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
        if (schedule && trigger != 0) schedule->Arm(owner->Now());
        if (schedule && trigger == 0) schedule->Disarm();
        break;
      }
      case OP_Atomic_Get_Acq_Status:
        static_cast<Atomic_Get_Acq_Status*>(c)->FStatus = schedule ? schedule->Status(owner->Now()) : NextStatus();
        break;
      case OP_Atomic_Get_Composite_Image: {
        auto* g = static_cast<Atomic_Get_Composite_Image*>(c);
        ServedImage record;
        std::vector<uint8_t> fresh;
        uint64_t hash = 0;
        if (schedule) fresh = RealisticImage(record);
        const std::vector<uint8_t>& img = schedule ? fresh : Image(hash);
        size_t n = img.size();
        if (shortPixels && shortPixels < n) n = shortPixels;
        shortPixels = 0;
        g->FAcceptance = static_cast<uint32_t>(cfg.acceptance);
        g->FImage = static_cast<uint8_t*>(std::malloc(n == 0 ? 1 : n));
        if (g->FImage && n) std::memcpy(g->FImage, img.data(), n);
        g->FImageSize = g->FImage ? static_cast<uint32_t>(n) : 0;
        // The fast sensor serves thousands a second: its hashes are made once.
        if (schedule || n != img.size()) hash = PixelHash(img.data(), n);
        Record(record, hash);
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
  if (FConfig.instances == 0) FConfig.instances = 1;
  for (size_t i = 0; i < FConfig.sensors.size(); ++i) {
    auto s = std::make_unique<SensorState>();
    s->cfg = FConfig.sensors[i];
    s->index = i;
    s->dumpDir = FConfig.dumpDir;
    if (s->cfg.pipeName.empty()) s->cfg.pipeName = "TavoSensor" + std::to_string(i);
    if (s->cfg.serviceId == 0) s->cfg.serviceId = static_cast<uint32_t>(100 + i);
    s->baseName = s->cfg.pipeName;
    s->baseId = s->cfg.serviceId;
    s->owner = this;
    s->log = FConfig.log;
    s->MakeRealistic();
    FSensors.push_back(std::move(s));
    FOrder.push_back(i);
  }
}

Simulator::~Simulator() { Stop(); }

std::string Simulator::MainPipe() const { return "\\\\" + FConfig.machine + "\\PIPE\\TavoDeviceServiceMainPipe"; }

std::string Simulator::SensorPipe(size_t index) const {
  std::lock_guard<std::mutex> g(FLock);
  return "\\\\" + FConfig.machine + "\\PIPE\\" + FSensors.at(index)->cfg.pipeName;
}

uint64_t Simulator::Requests(size_t index) const { return FSensors.at(index)->requests; }

std::string Simulator::ReaderId(size_t index) const {
  std::lock_guard<std::mutex> g(FLock);
  const SensorConfig& c = FSensors.at(index)->cfg;
  char text[32];
  std::snprintf(text, sizeof text, "Tavoro\\%04X%04X", unsigned(c.serialHigh), unsigned(c.serialLow));
  return text;
}

uint64_t Simulator::Now() const {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - FBorn).count());
}

std::vector<ServedImage> Simulator::Served(size_t index) const {
  std::lock_guard<std::mutex> g(FLock);
  const auto& s = FSensors.at(index)->served;
  return std::vector<ServedImage>(s.begin(), s.end());
}

bool Simulator::Poor(size_t index, uint32_t count) {
  std::lock_guard<std::mutex> g(FLock);
  if (index >= FSensors.size() || !FSensors[index]->schedule) return false;
  SensorState& s = *FSensors[index];
  s.pictures->MakePoor(static_cast<uint64_t>(s.schedule->Current() + 1), count);
  return true;
}

uint64_t PixelHash(const uint8_t* pixels, size_t size) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (size_t i = 0; i < size; ++i) h = (h ^ pixels[i]) * 0x100000001B3ull;
  return h;
}

std::vector<uint32_t> Simulator::Opcodes(size_t index) const {
  std::lock_guard<std::mutex> g(FLock);
  return FSensors.at(index)->opcodes;
}

void Simulator::Configure(size_t index, const SensorConfig& sensor) {
  std::lock_guard<std::mutex> g(FLock);
  SensorConfig c = sensor;
  if (c.pipeName.empty()) c.pipeName = FSensors.at(index)->cfg.pipeName;
  if (c.serviceId == 0) c.serviceId = FSensors.at(index)->cfg.serviceId;
  // The kind of sensor and its touches stay as the sensor was made.
  c.realistic = FSensors.at(index)->cfg.realistic;
  c.touches = FSensors.at(index)->cfg.touches;
  FSensors.at(index)->cfg = c;
}

SensorConfig Simulator::Sensor(size_t index) const {
  std::lock_guard<std::mutex> g(FLock);
  return FSensors.at(index)->cfg;
}

bool Simulator::Start() {
  if (!FThreads.empty()) return true;
  std::string error;
  SimCommand parsed;
  for (auto& [ms, text] : FConfig.at) {
    if (!ParseCommand(text, parsed, error)) return false;
  }
  FStop = false;
  FServing = true;
  // Create every instance here, so that the pipes exist when Start returns.
  std::vector<plat::PipeServer*> mains;
  std::vector<std::vector<Pipes>> sensors(FSensors.size());
  auto undo = [&] {
    for (auto* m : mains) plat::DestroyPipeServer(m);
    for (auto& list : sensors) {
      for (auto& p : list) ClosePipes(p);
    }
  };
  for (uint32_t k = 0; FConfig.serveMain && k < FConfig.instances; ++k) {
    plat::PipeServer* m = plat::CreatePipeServer(MainPipe(), FConfig.instances);
    if (!m) return undo(), false;
    mains.push_back(m);
  }
  for (size_t i = 0; i < FSensors.size(); ++i) {
    // The USB stand-ins are two one-client pipes, as a device's bulk pipes are.
    uint32_t n = FSensors[i]->cfg.usbPath.empty() ? FConfig.instances : 1;
    for (uint32_t k = 0; k < n; ++k) {
      Pipes p;
      if (!OpenSensorPipes(i, p)) {
        ClosePipes(p);
        return undo(), false;
      }
      sensors[i].push_back(p);
    }
  }
  // The first finger is made while the clients find the sensors.
  for (auto& s : FSensors) {
    if (!s->pictures) continue;
    s->pictures->Start();
    s->pictures->Want(0);
  }
  FTimerStop = false;
  FTimer = std::thread([this] { RunTimer(); });
  for (auto* m : mains) FThreads.emplace_back([this, m] { ServeMain(m); });
  for (size_t i = 0; i < FSensors.size(); ++i) {
    for (const Pipes& p : sensors[i]) FThreads.emplace_back([this, i, p] { ServeSensor(i, p); });
  }
  for (auto& [ms, text] : FConfig.at) {
    std::string command = text;
    After(ms, [this, command] {
      std::string ignored;
      Execute(command, ignored);
    });
  }
  return true;
}

void Simulator::Stop() {
  if (FTimer.joinable()) {
    {
      std::lock_guard<std::mutex> g(FTimerLock);
      FTimerStop = true;
      FTimed.clear();
    }
    FTimerWake.notify_all();
    FTimer.join();
  }
  FStop = true;
  for (auto& t : FThreads) t.join();
  FThreads.clear();
  for (auto& s : FSensors) {
    if (s->pictures) s->pictures->Stop();
  }
  std::lock_guard<std::mutex> g(FLock);
  for (auto& s : FSensors) {
    for (plat::OsHandle h : s->holders) plat::CloseOsHandle(h);
    s->holders.clear();
  }
}

void Simulator::After(uint32_t ms, std::function<void()> action) {
  {
    std::lock_guard<std::mutex> g(FTimerLock);
    if (FTimerStop) return;
    FTimed.emplace(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms), std::move(action));
  }
  FTimerWake.notify_all();
}

void Simulator::RunTimer() {
  std::unique_lock<std::mutex> lock(FTimerLock);
  while (!FTimerStop) {
    if (FTimed.empty()) {
      FTimerWake.wait(lock);
      continue;
    }
    auto first = FTimed.begin();
    if (std::chrono::steady_clock::now() < first->first) {
      FTimerWake.wait_until(lock, first->first);
      continue;
    }
    std::function<void()> action = std::move(first->second);
    FTimed.erase(first);
    lock.unlock();
    action();
    lock.lock();
  }
}

bool Simulator::SetServing(bool on) {
  if (!on) {
    std::lock_guard<std::mutex> g(FLock);
    ++FServiceEpoch;
    for (size_t i = 0; i < FSensors.size(); ++i) Vanish(i);
  }
  FServing = on;
  return true;
}

void Simulator::Vanish(size_t index) {
  SensorState& s = *FSensors[index];
  ++s.epoch;
  // A device that lost power or its service forgets that it was armed.
  s.sequence = false;
  s.position = 0;
  s.shortPixels = 0;
  if (s.schedule) s.schedule->Disarm();
}

void Simulator::Renumber(size_t index) {
  SensorState& s = *FSensors[index];
  ++s.generation;
  s.cfg.pipeName = s.baseName + "." + std::to_string(s.generation);
  s.cfg.serviceId = s.baseId + 1000 * s.generation;
}

void Simulator::RestartService(uint32_t downMs, bool renumber) {
  ++FFaults;
  SetServing(false);
  {
    std::lock_guard<std::mutex> g(FLock);
    if (renumber) {
      for (size_t i = 0; i < FSensors.size(); ++i) Renumber(i);
      std::vector<size_t> reversed(FOrder.rbegin(), FOrder.rend());
      FOrder = reversed;
    }
  }
  if (downMs == 0) {
    SetServing(true);
  } else {
    After(downMs, [this] { SetServing(true); });
  }
}

bool Simulator::Unplug(size_t index, uint32_t forMs, bool renumber) {
  {
    std::lock_guard<std::mutex> g(FLock);
    if (index >= FSensors.size() || !FSensors[index]->plugged) return false;
    FSensors[index]->plugged = false;
    Vanish(index);
    FOrder.erase(std::remove(FOrder.begin(), FOrder.end(), index), FOrder.end());
  }
  ++FFaults;
  if (forMs) After(forMs, [this, index, renumber] { Plug(index, renumber); });
  return true;
}

bool Simulator::Plug(size_t index, bool renumber) {
  std::lock_guard<std::mutex> g(FLock);
  if (index >= FSensors.size() || FSensors[index]->plugged) return false;
  if (renumber) Renumber(index);
  FSensors[index]->plugged = true;
  ++FSensors[index]->epoch;
  if (renumber) {
    FOrder.push_back(index);
  } else {
    // Back in its old place among the others.
    FOrder.insert(std::upper_bound(FOrder.begin(), FOrder.end(), index), index);
  }
  return true;
}

bool Simulator::Plugged(size_t index) const {
  std::lock_guard<std::mutex> g(FLock);
  return index < FSensors.size() && FSensors[index]->plugged;
}

bool Simulator::InjectReplyFault(size_t index, PendingFault fault) {
  std::lock_guard<std::mutex> g(FLock);
  if (index >= FSensors.size()) return false;
  FSensors[index]->faults.push_back(fault);
  ++FFaults;
  return true;
}

bool Simulator::Busy(size_t index, uint32_t ms) {
  std::string name;
  {
    std::lock_guard<std::mutex> g(FLock);
    if (index >= FSensors.size() || !FSensors[index]->cfg.usbPath.empty()) return false;
    name = "\\\\" + FConfig.machine + "\\PIPE\\" + FSensors[index]->cfg.pipeName;
  }
  // Take instances as another client would until the pipe answers busy twice
  // with a pause between (an idle instance may not have taken the last one yet).
  std::vector<plat::OsHandle> held;
  int busy = 0;
  for (uint32_t attempt = 0; busy < 2 && attempt < 2 * FConfig.instances + 20; ++attempt) {
    plat::OsHandle h = plat::OpenPipe(name, false);
    if (plat::IsValidOsHandle(h)) {
      held.push_back(h);
      busy = 0;
      continue;
    }
    if (plat::LastError() != plat::kErrorPipeBusy) break;
    ++busy;
    Sleep(2 * kPoll + 20);
  }
  {
    std::lock_guard<std::mutex> g(FLock);
    auto& holders = FSensors[index]->holders;
    holders.insert(holders.end(), held.begin(), held.end());
  }
  ++FFaults;
  After(ms, [this, index, held] {
    std::lock_guard<std::mutex> g(FLock);
    auto& holders = FSensors[index]->holders;
    for (plat::OsHandle h : held) {
      auto it = std::find(holders.begin(), holders.end(), h);
      if (it == holders.end()) continue;
      plat::CloseOsHandle(h);
      holders.erase(it);
    }
  });
  return busy >= 2;
}

void Simulator::ApplyCommand(const SimCommand& c) {
  const std::vector<uint32_t>& a = c.args;
  auto arg = [&](size_t i) { return i < a.size() ? a[i] : 0u; };
  if (c.verb == "stop") {
    SetServing(false);
  } else if (c.verb == "serve") {
    if (!FServing) SetServing(true);
  } else if (c.verb == "restart") {
    RestartService(arg(0), c.renumber);
  } else if (c.verb == "unplug") {
    Unplug(arg(0), arg(1), c.renumber);
  } else if (c.verb == "plug") {
    Plug(arg(0), c.renumber);
  } else if (c.verb == "busy") {
    Busy(arg(0), arg(1));
  } else if (c.verb == "late") {
    InjectReplyFault(arg(0), {ReplyFault::Late, arg(1), arg(2)});
  } else if (c.verb == "cut") {
    InjectReplyFault(arg(0), {ReplyFault::Cut, 0, arg(1)});
  } else if (c.verb == "overlong") {
    InjectReplyFault(arg(0), {ReplyFault::Overlong, arg(1), arg(2)});
  } else if (c.verb == "short-image") {
    InjectReplyFault(arg(0), {ReplyFault::ShortImage, arg(1), 0});
  } else if (c.verb == "garbage") {
    InjectReplyFault(arg(0), {ReplyFault::Garbage, arg(1), arg(2)});
  } else if (c.verb == "poor") {
    Poor(arg(0), a.size() > 1 ? arg(1) : 1);
  }
}

bool Simulator::Execute(const std::string& command, std::string& error) {
  SimCommand c;
  if (!ParseCommand(command, c, error)) return false;
  bool needsSensor = c.verb != "stop" && c.verb != "serve" && c.verb != "restart";
  if (needsSensor && c.args[0] >= FSensors.size()) {
    error = "no sensor " + std::to_string(c.args[0]);
    return false;
  }
  if (c.verb == "poor" && !FSensors[c.args[0]]->cfg.realistic) {
    error = "poor touches come from the realistic sensor; sensor " + std::to_string(c.args[0]) + " runs --fast";
    return false;
  }
  ApplyCommand(c);
  return true;
}

bool Simulator::Present(size_t index, uint64_t epoch) const {
  return !FStop && FServing && FSensors[index]->epoch == epoch;
}

void Simulator::ServeMain(plat::PipeServer* server) {
  std::vector<uint8_t> req(264);
  uint64_t epoch = FServiceEpoch;
  auto go = [&] { return !FStop && FServing && FServiceEpoch == epoch; };
  while (!FStop) {
    if (!go()) {
      plat::DestroyPipeServer(server);
      server = nullptr;
      Sleep(20);
      if (FServing) epoch = FServiceEpoch;
      continue;
    }
    if (!server) {
      server = plat::CreatePipeServer(MainPipe(), FConfig.instances);
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
    while (ReadExact(server, req.data(), 264, go)) {
      uint32_t code = GetU32(req.data());
      uint32_t arg = GetU32(req.data() + 4);
      std::vector<uint8_t> reply;
      std::lock_guard<std::mutex> g(FLock);
      if (FConfig.log) std::printf("main pipe: request %u (%u)\n", code, arg);
      if (code == 0) {
        reply.assign(264, 0);
        uint32_t count = FConfig.reportedCount != 0xFFFFFFFFu ? FConfig.reportedCount
                                                               : static_cast<uint32_t>(FOrder.size());
        PutU32(reply.data() + 4, count);
      } else if (code == 2) {
        reply.assign(2356, 0);
        uint32_t status = FConfig.describeStatus;
        uint32_t deviceIndex = arg;
        if (arg < FOrder.size()) {
          const SensorConfig& c = FSensors[FOrder[arg]]->cfg;
          PutU32(reply.data() + 0, c.serviceId);
          PutU32(reply.data() + 8, c.deviceType);
          // A sensor reached the USB way is known by its place among those.
          if (!c.usbPath.empty()) {
            deviceIndex = 0;
            for (uint32_t k = 0; k < arg; ++k) deviceIndex += FSensors[FOrder[k]]->cfg.usbPath.empty() ? 0 : 1;
          }
        } else if (status == 0) {
          status = 1;
        }
        PutU32(reply.data() + 4, deviceIndex);
        PutU32(reply.data() + 2352, status);
      } else if (code == 1) {
        reply.assign(520, 0);
        for (size_t i : FOrder) {
          const SensorState& s = *FSensors[i];
          if (s.cfg.serviceId != arg) continue;
          std::string second = "Tavoro T100 " + std::to_string(s.index);
          std::snprintf(reinterpret_cast<char*>(reply.data()), 260, "%s", second.c_str());
          std::snprintf(reinterpret_cast<char*>(reply.data() + 260), 260, "%s", s.cfg.pipeName.c_str());
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

bool Simulator::OpenSensorPipes(size_t index, Pipes& pipes) {
  std::string usb, name;
  {
    std::lock_guard<std::mutex> g(FLock);
    SensorState& s = *FSensors[index];
    usb = s.cfg.usbPath;
    name = "\\\\" + FConfig.machine + "\\PIPE\\" + s.cfg.pipeName;
    pipes.epoch = s.epoch;
  }
  if (usb.empty()) {
    pipes.in = plat::CreatePipeServer(name, FConfig.instances);
    return pipes.in != nullptr;
  }
  pipes.in = plat::CreatePipeServer(plat::StandInPipeName(usb + "\\PIPE_0x01"), 1);
  pipes.out = plat::CreatePipeServer(plat::StandInPipeName(usb + "\\PIPE_0x00"), 1);
  return pipes.in && pipes.out;
}

void Simulator::ClosePipes(Pipes& pipes) {
  plat::DestroyPipeServer(pipes.in);
  plat::DestroyPipeServer(pipes.out);
  pipes.in = pipes.out = nullptr;
}

std::vector<std::string> Simulator::UsbInterfacePaths() const {
  std::lock_guard<std::mutex> g(FLock);
  std::vector<std::string> paths;
  for (auto& s : FSensors) {
    if (!s->cfg.usbPath.empty()) paths.push_back(s->cfg.usbPath);
  }
  return paths;
}

void Simulator::ServeSensor(size_t index, Pipes pipes) {
  SensorState& s = *FSensors[index];
  std::vector<uint8_t> packet;
  uint32_t garbageSeed = static_cast<uint32_t>(index * 7919 + 1);
  auto go = [&] { return Present(index, pipes.epoch); };
  while (!FStop) {
    if (!go()) {
      // Gone (service away, unplugged or renamed): no pipe until it is back.
      ClosePipes(pipes);
      bool back = false;
      {
        std::lock_guard<std::mutex> g(FLock);
        back = FServing && s.plugged;
      }
      if (!back) {
        Sleep(20);
        continue;
      }
    }
    if (!pipes.in) {
      if (!OpenSensorPipes(index, pipes)) {
        ClosePipes(pipes);
        Sleep(kPoll);
        continue;
      }
    }
    int a = plat::AcceptPipeClient(pipes.in, kPoll);
    if (a == 0) continue;
    // The USB stand-in's host opens its write pipe first, then its read pipe.
    while (a == 1 && pipes.out && go()) {
      int b = plat::AcceptPipeClient(pipes.out, kPoll);
      if (b == 1) break;
      if (b < 0) a = -1;
    }
    if (a < 0) {
      ClosePipes(pipes);
      continue;
    }
    plat::PipeServer* out = pipes.out ? pipes.out : pipes.in;
    uint8_t cb[12];
    bool hangUp = false;
    auto ahead = std::make_unique<ReadAhead>();  // this client's bytes only
    while (ReadExact(pipes.in, cb, 12, go, ahead.get())) {
      uint32_t length = GetU32(cb + 8);
      if (length < kT100FrameOverhead || length > kMaxRequest) break;
      packet.resize(length);
      if (!ReadExact(pipes.in, packet.data(), length, go, ahead.get())) break;
      uint64_t n = ++s.requests;
      uint32_t opcode = GetU32(packet.data() + 2);
      SensorConfig cfg;
      std::vector<uint8_t> reply;
      PendingFault fault;
      bool faulty = false;
      {
        std::lock_guard<std::mutex> g(FLock);
        if (s.opcodes.size() < kOpcodesKept) s.opcodes.push_back(opcode);
        cfg = s.cfg;
        if (FConfig.log) std::printf("sensor %zu: opcode %u\n", index, opcode);
        if (cfg.silent) continue;
        if (cfg.disconnectAfter && n >= cfg.disconnectAfter) break;
        if (cfg.dropEvery && n % cfg.dropEvery == 0) continue;
        faulty = s.TakeFault(opcode, fault);
        if (faulty && fault.kind == ReplyFault::ShortImage) s.shortPixels = fault.value;
        reply = s.Handle(packet.data(), length);
      }
      uint64_t wait = cfg.delayMs + (faulty && fault.kind == ReplyFault::Late ? fault.value : 0);
      if (cfg.realistic && opcode == OP_Atomic_Get_Acq_Status) wait += kRealisticStatusMs;
      if (wait && !SleepWhile(wait, go)) break;
      std::vector<uint8_t> bytes(12 + reply.size(), 0);
      PutU32(bytes.data() + 8, static_cast<uint32_t>(reply.size()));
      std::copy(reply.begin(), reply.end(), bytes.begin() + 12);
      bool cut = (cfg.truncateEvery && n % cfg.truncateEvery == 0) || (faulty && fault.kind == ReplyFault::Cut);
      if (cut) {
        plat::ServerWrite(out, bytes.data(), static_cast<uint32_t>(12 + reply.size() / 2));
        hangUp = true;
        break;
      }
      if (faulty && fault.kind == ReplyFault::Overlong) {
        PutU32(bytes.data() + 8, static_cast<uint32_t>(reply.size() + fault.value));
      }
      if (faulty && fault.kind == ReplyFault::Garbage) {
        bytes.resize(fault.value);
        for (uint8_t& b : bytes) {
          garbageSeed = garbageSeed * 1103515245u + 12345u;
          b = static_cast<uint8_t>(garbageSeed >> 16);
        }
      }
      if (!bytes.empty() && !plat::ServerWrite(out, bytes.data(), static_cast<uint32_t>(bytes.size()))) break;
    }
    if (hangUp) {
      // The half reply must reach the client before it sees the end, and a
      // disconnection may drop unread bytes: the instances are closed
      // instead, and made again for the next client.
      ClosePipes(pipes);
      continue;
    }
    plat::DisconnectPipeClient(pipes.in);
    if (pipes.out) plat::DisconnectPipeClient(pipes.out);
  }
  ClosePipes(pipes);
}

}  // namespace tavosim
