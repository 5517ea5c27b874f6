// Recognising the receiver's type answer, and deciding whether an answer
// during an upgrade fits the image being written.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "base/notice.h"
#include "serial/command_frame.h"

namespace quorvane {

// The three acknowledgements an upgrade accepts: group C for families CI
// and HCI, group F for Fta and T.
enum class AckGroup { C, F };

AckGroup ackGroupOfIndex(int tagIndex);
// The group's three acknowledgements, in the order they are tried.
const std::array<FrameBytes, 3>& ackFramesOf(AckGroup group);

// The tag index 0..15 of the IdentFrame the 12 bytes equal, or nothing.
std::optional<int> identifyModel(const std::uint8_t* answer12);

struct UpgradeVerdict {
  enum class Kind { Accepted, ModelMismatch, Unexpected };
  Kind kind = Kind::Accepted;
  int receiverIndex = 0;         // ModelMismatch: the receiver's tag index
  AckGroup group = AckGroup::F;  // Unexpected: the image's group
};

UpgradeVerdict checkUpgradeAnswer(const std::uint8_t* answer12, int imageTagIndex);

// The mismatch message (the image's model first, the receiver's second) for an image of type
// `imageTagIndex` and a receiver of type `receiverTagIndex` (both 0..15; "?" names an index
// outside).
Notice mismatchNotice(int imageTagIndex, int receiverTagIndex);

}  // namespace quorvane
