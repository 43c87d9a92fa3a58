#include <mutex>

#include "platform/usb.h"
#include "platform/usb_internal.h"

namespace plat {

namespace {
std::mutex g_standInsLock;
std::vector<std::string> g_standIns;
bool g_standInsSet = false;
}  // namespace

void SetDeviceInterfaceStandIns(const std::vector<std::string>* paths) {
  std::lock_guard<std::mutex> g(g_standInsLock);
  g_standInsSet = paths != nullptr;
  g_standIns = paths ? *paths : std::vector<std::string>{};
}

const std::vector<std::string>* DeviceInterfaceStandIns() {
  std::lock_guard<std::mutex> g(g_standInsLock);
  return g_standInsSet ? &g_standIns : nullptr;
}

std::string StandInPipeName(const std::string& pipePath) {
  return "\\\\.\\PIPE\\" + (pipePath.size() > 4 ? pipePath.substr(4) : std::string());
}

}  // namespace plat
