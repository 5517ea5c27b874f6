#include "transfer/rom_type.h"

#include <gtest/gtest.h>

#include <string>

#include "base/notice.h"
#include "serial/port_map.h"
#include "transfer/model_check.h"

namespace quorvane {
namespace {

// index = 4 * family + 2 * chip + (size digit - 1), every text built from those three.
TEST(RomTypeTable, EveryRowFollowsItsIndex) {
  const char* tagField[] = {"Fta", "_CI", "HCI", "_T_"};
  const char* name[] = {"Fta", "CI", "HCI", "T"};
  const char* writeErrorField[] = {"F", "C", "HC", "T"};
  for (const RomImageTag& t : romTypes()) {
    const int family = t.index / 4, chip = t.index / 2 % 2, size = t.index % 2 + 1;
    const std::string digit = std::to_string(size);
    EXPECT_EQ(t.tagText, "QX_Rom" + std::string(tagField[family]) + (chip ? "SST" : "AMD") + digit);
    EXPECT_EQ(t.modelName, std::string(name[family]) + (chip ? " 39 " : " 29 ") + digit);
    EXPECT_EQ(noticeText(Notice::writeTag(t.index)), "write file error " +
                                                         std::string(writeErrorField[family]) +
                                                         std::to_string(2 * chip + size) + "!");
    EXPECT_EQ(4 * static_cast<int>(t.family) + 2 * static_cast<int>(t.flash) + t.sizeDigit - 1,
              t.index);
    EXPECT_EQ(t.modelNumber, t.index + 1);
    EXPECT_EQ(findTag(reinterpret_cast<const std::uint8_t*>(t.tagText.data())), t.index);
  }
}

// Which answers name a type or pass as an acknowledgement: the reference
// rules of fuzz/answer_check_fuzz.cpp.
TEST(Messages, MismatchNamesImageFirstThenReceiverAndAPortIsNamedHoweverFarOut) {
  EXPECT_EQ(noticeText(mismatchNotice(0, 4)),
            "software version incorrect\xEF\xBC\x81\r\n"
            "pls send below information to your provider\xEF\xBC\x81\r\n"
            "\r\n"
            "\"error version <Fta 29 1> to <CI 29 1>\"");
  EXPECT_EQ(noticeText(Notice::openPort(portNumberFromIndex(2147483647))),
            "open port2147483648 error!");
}

}  // namespace
}  // namespace quorvane
