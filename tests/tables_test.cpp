// Receiver types, remote keys and their texts; which answers pass: fuzz/answer_check_fuzz.cpp.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "base/notice.h"
#include "remote/remote_keys.h"
#include "serial/port_map.h"
#include "transfer/model_check.h"
#include "transfer/rom_type.h"

namespace quorvane {
namespace {

using namespace remote;

// index = 4 * family + 2 * chip + (size digit - 1), every text built from those three.
TEST(RomTypeTable, EveryRowFollowsItsIndex) {
  const char *tagField[] = {"Fta", "_CI", "HCI", "_T_"}, *name[] = {"Fta", "CI", "HCI", "T"},
             *writeErrorField[] = {"F", "C", "HC", "T"};
  for (const RomImageTag& t : romTypes()) {
    const int family = t.index / 4, chip = t.index / 2 % 2, size = t.index % 2 + 1;
    const std::string digit = std::to_string(size);
    EXPECT_EQ(t.tagText, "QX_Rom" + std::string(tagField[family]) + (chip ? "SST" : "AMD") + digit);
    EXPECT_EQ(t.modelName, std::string(name[family]) + (chip ? " 39 " : " 29 ") + digit);
    EXPECT_EQ(noticeText(Notice::writeTag(t.index)), "write file error " +
                                                         std::string(writeErrorField[family]) +
                                                         std::to_string(2 * chip + size) + "!");
    EXPECT_EQ(findTag(reinterpret_cast<const std::uint8_t*>(t.tagText.data())), t.index);
  }
}

TEST(Messages, MismatchNamesImageFirstThenReceiverAndAPortIsNamedHoweverFarOut) {
  EXPECT_EQ(noticeText(mismatchNotice(0, 4)),
            "software version incorrect\xEF\xBC\x81\r\n"
            "pls send below information to your provider\xEF\xBC\x81\r\n"
            "\r\n"
            "\"error version <Fta 29 1> to <CI 29 1>\"");
  EXPECT_EQ(noticeText(Notice::openPort(portNumberFromIndex(2147483647))),
            "open port2147483648 error!");
}

TEST(RemoteKeyTable, EveryCodeOnceFoundByCaptionAsWrittenAndAsShown) {
  for (const RemoteKey& k : remoteKeys()) {
    EXPECT_EQ(findKeyByCode(k.code), &k);  // codes 0x00..0x1F, each once
    EXPECT_EQ(findKeyByCaption(k.caption), &k);
    EXPECT_EQ(findKeyByCaption(displayCaption(k)), &k);
  }
  EXPECT_EQ(displayCaption(*findKeyByCode(0x11)), "7");  // "&7" as shown
  EXPECT_EQ(findKeyByCaption("CH\xE2\x96\xB2"), findKeyByCode(0x02));
}

TEST(RemoteKeyNames, EveryKeyHasAnAliasFoundIgnoringCase) {
  std::set<std::uint8_t> codes;
  for (const KeyAlias& alias : keyAliases()) {
    codes.insert(alias.code);
    EXPECT_EQ(findKeyByName(alias.name), findKeyByCode(alias.code)) << alias.name;
  }
  EXPECT_EQ(codes.size(), 32u);
  const std::pair<const char*, std::uint8_t> typed[] = {
      {"ch+", 0x02}, {"Vol-", 0x07},   {"fav+", 0x0D}, {"power", 0x18},           {"p/n/s", 0x1F},
      {"7", 0x11},   {"<--vol", 0x07}, {"CH", 0xFF},   {"FAV\xE2\x96\xB2", 0xFF}, {"", 0xFF}};
  for (const auto& [name, code] : typed)  // 0xFF: no key
    EXPECT_EQ(findKeyByName(name), findKeyByCode(code)) << name;
}

}  // namespace
}  // namespace quorvane
