// The remote key table, the PC-keyboard mapping, the typed names and the
// help text.
#include "remote/remote_keys.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

namespace quorvane::remote {
namespace {

TEST(RemoteKeyTable, EveryCodeOnceWithItsOwnControlAndPlace) {
  ASSERT_EQ(remoteKeys().size(), 32u);
  std::set<int> ids;
  std::set<std::pair<int, int>> places;
  for (std::size_t i = 0; i < remoteKeys().size(); ++i) {
    const RemoteKey& k = remoteKeys()[i];
    EXPECT_EQ(k.code, i);
    EXPECT_EQ(findKeyByCode(k.code), &k);
    EXPECT_EQ(findKeyByCaption(k.caption), &k);
    ids.insert(k.controlId);
    places.insert({k.row, k.column});
  }
  EXPECT_EQ(ids.size(), 32u);
  EXPECT_EQ(places.size(), 32u);
  EXPECT_EQ(findKeyByCode(0x20), nullptr);
  EXPECT_EQ(findKeyByCaption("7"), findKeyByCode(0x11));  // "&7" as shown
  EXPECT_EQ(findKeyByCode(0x18)->controlId, 1080);
  EXPECT_EQ(findKeyByCode(0x1E)->controlId, 1111);
}

TEST(RemoteKeyTable, ThirteenRowsOfUpToThreeAsOnTheRemote) {
  const char* layout[13][3] = {
      {"POWER\xE2\x8A\x99", "", "INFO"},
      {"PAUSE", "TEXT", "UHF"},
      {"FAV\xE2\x96\xB2", "FAV\xE2\x96\xBC", "FAV"},
      {"AUDIO", "", "MUTE"},
      {"", "CH\xE2\x96\xB2", ""},
      {"<--VOL", "OK", "VOL-->"},
      {"", "CH\xE2\x96\xBC", ""},
      {"MENU", "", "EXIT"},
      {"RECALL", "TV/RADIO", "SAT/TV"},
      {"1", "2", "3"},
      {"4", "5", "6"},
      {"&7", "8", "9"},
      {"P/N/S", "0", "EPG"},
  };
  std::map<std::pair<int, int>, std::string> placed;
  for (const RemoteKey& k : remoteKeys()) placed[{k.row, k.column}] = k.caption;
  for (int row = 1; row <= kKeyRowCount; ++row)
    for (int column = 0; column < kKeyColumnCount; ++column)
      EXPECT_EQ(placed[std::make_pair(row, column)], layout[row - 1][column])
          << row << "/" << column;
}

// The named keys are driven end to end through the key field in the UI test.
TEST(RemoteKeyMapping, DigitsOfBothRowsSendTheSameCode) {
  for (int d = 0; d <= 9; ++d) {
    const int code = d == 0 ? 0x0E : 0x18 - d;
    EXPECT_EQ(keyCodeForPcKey(static_cast<PcKey>(static_cast<int>(PcKey::Digit0) + d)), code);
    EXPECT_EQ(keyCodeForPcKey(static_cast<PcKey>(static_cast<int>(PcKey::Keypad0) + d)), code);
  }
}

TEST(RemoteKeyNames, OneUniqueAsciiAliasPerKeyFoundIgnoringCase) {
  std::set<std::uint8_t> codes;
  std::set<std::string> names;
  for (const KeyAlias& alias : keyAliases()) {
    codes.insert(alias.code);
    names.insert(alias.name);
    EXPECT_EQ(findKeyByName(alias.name), findKeyByCode(alias.code)) << alias.name;
  }
  EXPECT_EQ(codes.size(), 32u);
  EXPECT_EQ(names.size(), keyAliases().size());
  const std::pair<const char*, int> typed[] = {
      {"ch+", 0x02},  {"CH-", 0x0A},   {"Vol+", 0x05},  {"vol-", 0x07}, {"FAV+", 0x0D},
      {"fav-", 0x0C}, {"power", 0x18}, {"p/n/s", 0x1F}, {"7", 0x11},    {"<--vol", 0x07}};
  for (const auto& [name, code] : typed) {
    ASSERT_NE(findKeyByName(name), nullptr) << name;
    EXPECT_EQ(findKeyByName(name)->code, code) << name;
  }
  EXPECT_EQ(findKeyByName("FAV\xE2\x96\xB2"), nullptr);  // typed names are ASCII
  EXPECT_EQ(findKeyByName("CH"), nullptr);
  EXPECT_EQ(findKeyByName(""), nullptr);
}

TEST(RemoteHelpText, TenLinesEachEndingInCrLf) {
  const std::string text = helpText();
  std::size_t lines = 0;
  for (std::size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos; at += 2) ++lines;
  EXPECT_EQ(lines, 10u);
  EXPECT_EQ(text.find('\n'), text.find("\r\n") + 1);  // no bare LF
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
  EXPECT_NE(text.find("follow\xEF\xBC\x9A\r\n\r\nKEY 'Left'  equal"), std::string::npos);
}

}  // namespace
}  // namespace quorvane::remote
