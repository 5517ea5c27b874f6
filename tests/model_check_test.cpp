#include "transfer/model_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/notice.h"
#include "transfer/rom_type.h"
#include "transfer/transfer_view.h"

namespace quorvane {
namespace {

using Kind = UpgradeVerdict::Kind;

FrameBytes answer(std::uint8_t p1, std::uint8_t cmd, std::uint8_t p2, std::uint8_t p3) {
  return FrameBytes{'H', 'a', 'l', 'v', 'o', 'r', 'n', 'e', p1, cmd, p2, p3};
}

TEST(IdentifyModel, NamesTheIndexOfExactlyTheSixteenFrames) {
  for (int model = 1; model <= 16; ++model)
    EXPECT_EQ(identifyModel(answer(0x10, static_cast<std::uint8_t>(model), 0, 0).data()),
              model - 1);

  EXPECT_EQ(identifyModel(answer(0x10, 0x05, 0x00, 0x00).data()), 4);
  EXPECT_EQ(romType(4).tagText, "QX_Rom_CIAMD1");
  EXPECT_EQ(romType(4).blockCount, 256u);

  const std::vector<FrameBytes> none = {
      answer(0x11, 0x05, 0x00, 0x00), answer(0x10, 0x00, 0x00, 0x00),
      answer(0x10, 0x11, 0x00, 0x00), answer(0x10, 0x05, 0x01, 0x00),
      answer(0x10, 0x05, 0x00, 0x80), answer(0x10, 0xFF, 0x00, 0x00),
  };
  for (const FrameBytes& f : none) EXPECT_FALSE(identifyModel(f.data())) << hexBytes(f.data(), 12);

  for (std::size_t i = 0; i < 8; ++i) {
    FrameBytes f = answer(0x10, 0x05, 0x00, 0x00);
    f[i] ^= 0x20;  // "halvorne", "HAlvorne", ...
    EXPECT_FALSE(identifyModel(f.data())) << i;
  }
}

// The acknowledgements of both groups, bytes 8..11, in the order they are tried.
struct Ack {
  AckGroup group;
  std::uint8_t p1, cmd, p2, p3;
};
const Ack kAcks[] = {
    {AckGroup::C, 0x00, 0xF0, 0x00, 0x00}, {AckGroup::C, 0x00, 0xF2, 0x00, 0x00},
    {AckGroup::C, 0x00, 0xFF, 0x00, 0x00}, {AckGroup::F, 0x00, 0x00, 0x00, 0x00},
    {AckGroup::F, 0x11, 0x11, 0x00, 0x00}, {AckGroup::F, 0x00, 0xAA, 0x00, 0x00},
};

AckGroup expectedGroup(ReceiverFamily family) {
  return family == ReceiverFamily::CI || family == ReceiverFamily::HCI ? AckGroup::C : AckGroup::F;
}

TEST(AckGroups, FramesInTheirOrder) {
  std::size_t i = 0;
  for (const AckGroup g : {AckGroup::C, AckGroup::F})
    for (const FrameBytes& f : ackFramesOf(g)) {
      const Ack& a = kAcks[i++];
      EXPECT_EQ(f, answer(a.p1, a.cmd, a.p2, a.p3)) << i;
    }
  EXPECT_EQ(ackFramesOf(AckGroup::F)[0], kAckFrame);
}

TEST(CheckUpgradeAnswer, EveryImageTypeAgainstEveryAcknowledgement) {
  for (const RomImageTag& image : romTypes()) {
    const AckGroup own = expectedGroup(image.family);
    EXPECT_EQ(ackGroupOfIndex(image.index), own) << image.index;
    for (const Ack& a : kAcks) {
      SCOPED_TRACE(testing::Message() << "image " << image.index << " ack cmd " << int(a.cmd));
      const FrameBytes f = answer(a.p1, a.cmd, a.p2, a.p3);
      const UpgradeVerdict v = checkUpgradeAnswer(f.data(), image.index);
      if (a.group == own) {
        EXPECT_EQ(v.kind, Kind::Accepted);
      } else {
        EXPECT_EQ(v.kind, Kind::Unexpected);
        EXPECT_EQ(v.group, own);
      }

      // All twelve bytes count: the same four bytes under a wrong magic.
      FrameBytes wrongMagic = f;
      wrongMagic[7] = 'E';
      const UpgradeVerdict w = checkUpgradeAnswer(wrongMagic.data(), image.index);
      EXPECT_EQ(w.kind, Kind::Unexpected);
      EXPECT_EQ(w.group, own);
    }
  }
}

TEST(CheckUpgradeAnswer, EveryImageTypeAgainstEveryReceiverType) {
  for (const RomImageTag& image : romTypes())
    for (const RomImageTag& receiver : romTypes()) {
      const UpgradeVerdict v =
          checkUpgradeAnswer(identFrameOfIndex(receiver.index).data(), image.index);
      if (receiver.index == image.index) {
        EXPECT_EQ(v.kind, Kind::Accepted) << image.index;
      } else {
        EXPECT_EQ(v.kind, Kind::ModelMismatch) << image.index << " " << receiver.index;
        EXPECT_EQ(v.receiverIndex, receiver.index);
      }
    }
}

TEST(CheckUpgradeAnswer, AnswersThatAreNeitherTypeNorAcknowledgement) {
  // Group F's 0x11 command frame needs 0x11 in param1 too; 0x10 there makes
  // it the type answer of ModelNumber 17, which does not exist.
  for (const FrameBytes& f : {answer(0x00, 0x11, 0x00, 0x00), answer(0x10, 0x11, 0x00, 0x00),
                              answer(0x00, 0xAA, 0x00, 0x01), kStopFrame}) {
    EXPECT_EQ(checkUpgradeAnswer(f.data(), 13).kind, Kind::Unexpected);
    EXPECT_EQ(checkUpgradeAnswer(f.data(), 5).kind, Kind::Unexpected);
  }
}

class RecordingView : public TransferView {
 public:
  void startTimer(int, int) override {}
  void stopTimer(int) override {}
  void showBlockProgress(unsigned, long long, long long) override {}
  void cancel() override {}
  void showMessage(const Notice& notice) override { shown.push_back(notice); }
  std::vector<Notice> shown;
};

TEST(ModelMismatch, MessageNamesImageFirstThenReceiver) {
  RecordingView view;
  reportModelMismatch(view, 0, 4);
  ASSERT_EQ(view.shown.size(), 1u);
  EXPECT_EQ(view.shown[0], Notice::mismatch(0, 4));
  EXPECT_EQ(noticeTitle(view.shown[0]), "Quorvane 1.2");
  EXPECT_EQ(noticeText(view.shown[0]),
            "software version incorrect\xEF\xBC\x81\r\n"
            "pls send below information to your provider\xEF\xBC\x81\r\n"
            "\r\n"
            "\"error version <Fta 29 1> to <CI 29 1>\"");

  // Same family and flash, other size: still a mismatch, named in order.
  const UpgradeVerdict v = checkUpgradeAnswer(identFrameOfIndex(1).data(), 0);
  ASSERT_EQ(v.kind, Kind::ModelMismatch);
  reportModelMismatch(view, 0, v.receiverIndex);
  const std::string text = noticeText(view.shown.at(1));
  EXPECT_NE(text.find("<Fta 29 1> to <Fta 29 2>"), std::string::npos) << text;
}

}  // namespace
}  // namespace quorvane
