#include <cstdlib>

#include "plugins/tavoro/T100Cmd.h"
#include "plugins/tavoro/T100Transport.h"

ICmd* ExecuteCommand(T100Device& device, ICmd* request) {
  auto* transport = static_cast<ITransport*>(device.link);
  if (!transport || !request) return nullptr;
  uint8_t* packet = nullptr;
  int32_t size = 0;
  if (!request->PackCommand(&packet, &size) || !packet || size < static_cast<int32_t>(kT100FrameOverhead)) {
    return nullptr;
  }
  auto* reply = static_cast<uint8_t*>(std::malloc(kT100ReplyBufferSize));
  if (!reply) return nullptr;
  uint32_t replyLength = kT100ReplyBufferSize;
  ICmd* answer = nullptr;
  // A reply shorter than a header carries no command code to go by.
  if (transport->Exchange(device, packet, static_cast<uint32_t>(size), reply, replyLength) == 1 &&
      replyLength >= kT100HeaderSize) {
    uint32_t code = uint32_t(reply[2]) | uint32_t(reply[3]) << 8 | uint32_t(reply[4]) << 16 | uint32_t(reply[5]) << 24;
    answer = CreateCommand(code);
    if (answer) answer->UnpackResponse(reply, replyLength);
  }
  std::free(reply);
  return answer;
}
