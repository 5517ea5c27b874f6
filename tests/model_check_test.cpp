#include "transfer/model_check.h"

#include <gtest/gtest.h>

#include <string>

#include "base/notice.h"
#include "transfer/rom_type.h"

namespace quorvane {
namespace {

using Kind = UpgradeVerdict::Kind;

FrameBytes answer(std::uint8_t p1, std::uint8_t cmd, std::uint8_t p2 = 0, std::uint8_t p3 = 0) {
  return FrameBytes{'H', 'a', 'l', 'v', 'o', 'r', 'n', 'e', p1, cmd, p2, p3};
}

TEST(IdentifyModel, OnlyTheSixteenTypeAnswersNameAnIndex) {
  EXPECT_EQ(identifyModel(answer(0x10, 0x05).data()), 4);
  FrameBytes lowerCase = answer(0x10, 0x05);
  lowerCase[0] = 'h';
  for (const FrameBytes& f : {answer(0x11, 0x05), answer(0x10, 0x00), answer(0x10, 17),
                              answer(0x10, 0x05, 1, 0), answer(0x10, 0x05, 0, 0x80), lowerCase})
    EXPECT_FALSE(identifyModel(f.data())) << hexBytes(f.data(), 12);
}

TEST(CheckUpgradeAnswer, EveryImageTypeAgainstEveryAcknowledgementAndEveryReceiverType) {
  const struct {
    AckGroup group;  // CI and HCI images accept group C, Fta and T group F
    FrameBytes frame;
  } acks[] = {{AckGroup::C, answer(0, 0xF0)},    {AckGroup::C, answer(0, 0xF2)},
              {AckGroup::C, answer(0, 0xFF)},    {AckGroup::F, answer(0, 0x00)},
              {AckGroup::F, answer(0x11, 0x11)}, {AckGroup::F, answer(0, 0xAA)}};
  for (const RomImageTag& image : romTypes()) {
    const AckGroup own = image.family == ReceiverFamily::CI || image.family == ReceiverFamily::HCI
                             ? AckGroup::C
                             : AckGroup::F;
    for (const auto& a : acks) {
      FrameBytes wrongMagic = a.frame;  // all twelve bytes count
      wrongMagic[7] = 'E';
      for (const FrameBytes& f : {a.frame, wrongMagic}) {
        const UpgradeVerdict v = checkUpgradeAnswer(f.data(), image.index);
        EXPECT_TRUE(a.group == own && f == a.frame ? v.kind == Kind::Accepted
                                                   : v.kind == Kind::Unexpected && v.group == own)
            << image.index << " " << hexBytes(f.data(), 12);
      }
    }
    for (const FrameBytes& f : {answer(0, 0x11), answer(0x10, 17), answer(0, 0xAA, 0, 1)})
      EXPECT_EQ(checkUpgradeAnswer(f.data(), image.index).kind, Kind::Unexpected);
    for (int r = 0; r < kRomTypeCount; ++r) {  // every receiver's type answer
      const UpgradeVerdict v = checkUpgradeAnswer(identFrameOfIndex(r).data(), image.index);
      EXPECT_TRUE(r == image.index ? v.kind == Kind::Accepted
                                   : v.kind == Kind::ModelMismatch && v.receiverIndex == r)
          << image.index << " " << r;
    }
  }
}

// The upgrade shows mismatchNotice(image, receiver): upgrade_transfer_test.
TEST(ModelMismatch, MessageNamesImageFirstThenReceiver) {
  EXPECT_EQ(noticeText(mismatchNotice(0, 4)),
            "software version incorrect\xEF\xBC\x81\r\n"
            "pls send below information to your provider\xEF\xBC\x81\r\n"
            "\r\n"
            "\"error version <Fta 29 1> to <CI 29 1>\"");
}

}  // namespace
}  // namespace quorvane
