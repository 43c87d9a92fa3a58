// Stands in for the device handler's count, so that the transports' Open can
// be driven without a device service.
#include <string>

#include "handler_count_stub.h"
#include "plugins/tavoro/T100Transport.h"

namespace stub {
int deviceCount = 1;
int countResult = 0;
std::string lastMachine;
int calls = 0;
}  // namespace stub

int T100HandlerDeviceCount(const char* machineName, uint32_t* count) {
  ++stub::calls;
  stub::lastMachine = machineName ? machineName : "(registry)";
  *count = stub::countResult == 0 ? static_cast<uint32_t>(stub::deviceCount) : 0;
  return stub::countResult;
}
