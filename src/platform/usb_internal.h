// The device-interface stand-ins shared by both sides of the USB topic.
#pragma once
#include <string>
#include <vector>

namespace plat {
// The stand-in list, or nullptr when the system enumerates.
const std::vector<std::string>* DeviceInterfaceStandIns();
}  // namespace plat
