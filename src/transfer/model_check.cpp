#include "transfer/model_check.h"

#include <algorithm>

#include "transfer/rom_type.h"

namespace quorvane {

namespace {

constexpr std::array<FrameBytes, 3> kGroupC = {
    makeFrame(kGroupCAckCommands[0]),
    makeFrame(kGroupCAckCommands[1]),
    makeFrame(kGroupCAckCommands[2]),
};

constexpr std::array<FrameBytes, 3> kGroupF = {
    kAckFrame,
    makeFrame(kGroupFAckCommand2, kGroupFAckParam1),
    makeFrame(kGroupFAckCommand3),
};

bool equalsFrame(const std::uint8_t* bytes, const FrameBytes& frame) {
  return std::equal(frame.begin(), frame.end(), bytes);
}

}  // namespace

AckGroup ackGroupOfIndex(int tagIndex) {
  if (tagIndex >= 0 && tagIndex < kRomTypeCount) {
    const ReceiverFamily family = romType(tagIndex).family;
    if (family == ReceiverFamily::CI || family == ReceiverFamily::HCI) return AckGroup::C;
  }
  return AckGroup::F;
}

const std::array<FrameBytes, 3>& ackFramesOf(AckGroup group) {
  return group == AckGroup::C ? kGroupC : kGroupF;
}

std::optional<int> identifyModel(const std::uint8_t* answer12) {
  for (int model = kModelNumberFirst; model <= kModelNumberLast; ++model)
    if (equalsFrame(answer12, identFrame(model))) return model - 1;
  return std::nullopt;
}

UpgradeVerdict checkUpgradeAnswer(const std::uint8_t* answer12, int imageTagIndex) {
  UpgradeVerdict verdict;
  if (const std::optional<int> receiver = identifyModel(answer12)) {
    if (*receiver != imageTagIndex) {
      verdict.kind = UpgradeVerdict::Kind::ModelMismatch;
      verdict.receiverIndex = *receiver;
    }
    return verdict;
  }
  const AckGroup group = ackGroupOfIndex(imageTagIndex);
  for (const FrameBytes& ack : ackFramesOf(group))
    if (equalsFrame(answer12, ack)) return verdict;
  verdict.kind = UpgradeVerdict::Kind::Unexpected;
  verdict.group = group;
  return verdict;
}

Notice mismatchNotice(int imageTagIndex, int receiverTagIndex) {
  const auto name = [](int index) {
    return index < 0 || index >= kRomTypeCount ? std::string("?")
                                               : std::string(romType(index).modelName);
  };
  return Notice::mismatch(name(imageTagIndex), name(receiverTagIndex));
}

}  // namespace quorvane
