// Requests and reply packets of the capture's commands, packed by the command
// classes themselves (the reply as a sensor packs it), for the transports'
// fuzz targets and their seeds.
#pragma once

#include <cstdlib>
#include <cstring>
#include <vector>

#include "plugins/tavoro/T100Cmd.h"

namespace seedreplies {

using Bytes = std::vector<uint8_t>;

// The commands the capture sends, by index (any index is taken modulo).
constexpr uint32_t kRequests[] = {OP_Atomic_Get_Acq_Status, OP_Atomic_Get_Config, OP_Atomic_Get_Composite_Image,
                                  OP_Atomic_Get_Cmd, OP_Atomic_Arm_Trigger};
constexpr size_t kRequestCount = sizeof kRequests / sizeof kRequests[0];

inline Bytes Take(uint8_t* packet, int32_t size) {
  Bytes b;
  if (packet && size > 0) b.assign(packet, packet + size);
  return b;
}

inline Bytes Request(size_t index) {
  ICmd* cmd = CreateCommand(kRequests[index % kRequestCount]);
  uint8_t* packet = nullptr;
  int32_t size = 0;
  Bytes b;
  if (cmd && cmd->PackCommand(&packet, &size)) b = Take(packet, size);
  delete cmd;  // the object owns the packet
  return b;
}

// One reply of every command of kRequests, plus an error reply.
inline std::vector<Bytes> Replies() {
  std::vector<Bytes> out;
  auto pack = [&](ICmd* cmd) {
    uint8_t* packet = nullptr;
    int32_t size = 0;
    if (cmd->PackResponse(&packet, &size)) out.push_back(Take(packet, size));
    delete cmd;
  };
  auto* status = new Atomic_Get_Acq_Status;
  status->FStatus = 4;
  pack(status);
  auto* config = new Atomic_Get_Config;
  const uint8_t model[] = {0x25, 0x05, 0x24, 0x34, 0x34, 0x12};
  std::memcpy(config->FConfig, model, sizeof model);
  config->FConfig[116] = 0xAB;
  pack(config);
  auto* image = new Atomic_Get_Composite_Image;
  image->FAcceptance = 150;
  image->FImageSize = 600;
  image->FImage = static_cast<uint8_t*>(std::malloc(image->FImageSize));
  for (uint32_t i = 0; i < image->FImageSize; ++i) image->FImage[i] = static_cast<uint8_t>(i * 7);
  pack(image);
  auto* block = new Atomic_Get_Cmd;
  block->FBlock[2] = 9;
  pack(block);
  pack(new Atomic_Arm_Trigger);
  auto* error = new Atomic_Error;
  error->SetErrorCode(0x8005);
  pack(error);
  return out;
}

}  // namespace seedreplies
