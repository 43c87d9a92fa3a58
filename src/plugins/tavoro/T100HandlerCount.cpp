// The device count as the transports' Open asks for it. Kept in its own file
// so that transport tests can link their own stand-in for it.
#include "plugins/tavoro/T100DeviceHandler.h"

int T100HandlerDeviceCount(const char* machineName, uint32_t* count) {
    if (count)
        *count = 0;
    T100DeviceHandler* handler = T100DeviceHandler::Obtain();
    if (!handler)
        return T100_NOT_FOUND;
    int result = machineName ? handler->CountOn(machineName, count) : handler->GetNumDevices(count);
    T100DeviceHandler::Release();
    return result;
}
