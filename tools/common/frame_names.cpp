#include "frame_names.h"

#include "remote/remote_keys.h"
#include "serial/protocol.h"
#include "transfer/model_check.h"
#include "transfer/rom_type.h"

namespace quorvane {

std::string describeFrameWithNames(const FrameBytes& frame) {
  std::string text = describeFrame(frame);
  const std::uint8_t code = frame[kCommandOffset];
  if (isKeyFrame(frame)) {
    const remote::RemoteKey* key = remote::findKeyByCode(code);
    return text + (key ? " (" + remote::displayCaption(*key) + ")" : " (no such key)");
  }
  if (auto index = identifyModel(frame.data()))
    return text + " (" + std::string(romType(*index).modelName) + ")";
  return text;
}

}  // namespace quorvane
