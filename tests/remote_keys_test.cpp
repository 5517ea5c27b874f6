// The remote key table, the PC-keyboard mapping, the typed names, the help
// text, and the remote session's port selection.
#include "remote/remote_keys.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "remote/remote_session.h"
#include "support/test_support.h"

namespace quorvane::remote {
namespace {

TEST(RemoteKeyTable, EveryCodeOnceInCodeOrderWithDistinctIdsAndPlaces) {
  const auto keys = remoteKeys();
  ASSERT_EQ(keys.size(), 32u);
  std::set<int> ids;
  std::set<std::pair<int, int>> places;
  std::set<std::string> captions;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(keys[i].code, i);
    EXPECT_EQ(findKeyByCode(static_cast<std::uint8_t>(i)), &keys[i]);
    ids.insert(keys[i].controlId);
    places.insert({keys[i].row, keys[i].column});
    captions.insert(keys[i].caption);
    EXPECT_GE(keys[i].row, 1);
    EXPECT_LE(keys[i].row, kKeyRowCount);
    EXPECT_GE(keys[i].column, 0);
    EXPECT_LT(keys[i].column, kKeyColumnCount);
  }
  EXPECT_EQ(ids.size(), 32u);
  EXPECT_EQ(places.size(), 32u);
  EXPECT_EQ(captions.size(), 32u);
  EXPECT_EQ(findKeyByCode(0x20), nullptr);
}

TEST(RemoteKeyTable, ThirteenRowsAsOnTheRemote) {
  // Row by row, left/middle/right; "" where the row has no button.
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
  for (int row = 1; row <= 13; ++row) {
    for (int column = 0; column < 3; ++column) {
      const RemoteKey* found = nullptr;
      for (const RemoteKey& k : remoteKeys())
        if (k.row == row && k.column == column) found = &k;
      const std::string expected = layout[row - 1][column];
      SCOPED_TRACE("row " + std::to_string(row) + " column " + std::to_string(column));
      if (expected.empty()) {
        EXPECT_EQ(found, nullptr);
      } else {
        ASSERT_NE(found, nullptr) << expected;
        EXPECT_EQ(found->caption, expected);
      }
    }
  }
}

TEST(RemoteKeyTable, CodesAndControlIdsOfSampleKeys) {
  struct Sample {
    const char* caption;
    std::uint8_t code;
    int id;
  };
  const Sample samples[] = {
      {"MUTE", 0x00, 1089},
      {"CH\xE2\x96\xBC", 0x0A, 1094},
      {"FAV\xE2\x96\xB2", 0x0D, 1085},
      {"&7", 0x11, 1106},
      {"5", 0x13, 1104},
      {"POWER\xE2\x8A\x99", 0x18, 1080},
      {"MENU", 0x1D, 1095},
      {"EPG", 0x1E, 1111},
      {"P/N/S", 0x1F, 1109},
  };
  for (const Sample& s : samples) {
    const RemoteKey* k = findKeyByCaption(s.caption);
    ASSERT_NE(k, nullptr) << s.caption;
    EXPECT_EQ(k->code, s.code) << s.caption;
    EXPECT_EQ(k->controlId, s.id) << s.caption;
  }
  // The shown text of "&7" finds it as well; nothing else does.
  EXPECT_EQ(findKeyByCaption("7"), findKeyByCode(0x11));
  EXPECT_EQ(displayCaption(*findKeyByCode(0x11)), "7");
  EXPECT_EQ(findKeyByCaption("CH+"), nullptr);
  EXPECT_EQ(findKeyByCaption(""), nullptr);
}

TEST(RemoteKeyMapping, PcKeysSendTheirCodes) {
  EXPECT_EQ(keyCodeForPcKey(PcKey::Enter), 0x06);
  EXPECT_EQ(keyCodeForPcKey(PcKey::Esc), 0x03);
  EXPECT_EQ(keyCodeForPcKey(PcKey::Delete), 0x03);
  EXPECT_EQ(keyCodeForPcKey(PcKey::Space), 0x1D);
  EXPECT_EQ(keyCodeForPcKey(PcKey::Left), 0x07);
  EXPECT_EQ(keyCodeForPcKey(PcKey::Up), 0x02);
  EXPECT_EQ(keyCodeForPcKey(PcKey::Right), 0x05);
  EXPECT_EQ(keyCodeForPcKey(PcKey::Down), 0x0A);
  EXPECT_EQ(keyCodeForPcKey(PcKey::Digit0), 0x0E);
  EXPECT_EQ(keyCodeForPcKey(PcKey::Keypad0), 0x0E);
  for (int d = 1; d <= 9; ++d) {
    const auto mainRow = static_cast<PcKey>(static_cast<int>(PcKey::Digit0) + d);
    const auto keypad = static_cast<PcKey>(static_cast<int>(PcKey::Keypad0) + d);
    EXPECT_EQ(keyCodeForPcKey(mainRow), 0x18 - d) << d;
    EXPECT_EQ(keyCodeForPcKey(keypad), 0x18 - d) << d;
  }
}

TEST(RemoteKeyNames, EveryKeyHasOneUniqueAsciiAlias) {
  std::set<std::uint8_t> codes;
  std::set<std::string> names;
  for (const KeyAlias& alias : keyAliases()) {
    for (const char* c = alias.name; *c; ++c)
      EXPECT_LT(static_cast<unsigned char>(*c), 0x80) << alias.name;
    codes.insert(alias.code);
    names.insert(alias.name);
    EXPECT_EQ(findKeyByName(alias.name), findKeyByCode(alias.code)) << alias.name;
  }
  EXPECT_EQ(codes.size(), 32u);
  EXPECT_EQ(names.size(), keyAliases().size());
}

TEST(RemoteKeyNames, AliasesAndAsciiCaptionsIgnoringCase) {
  EXPECT_EQ(findKeyByName("CH+")->code, 0x02);
  EXPECT_EQ(findKeyByName("ch-")->code, 0x0A);
  EXPECT_EQ(findKeyByName("VOL+")->code, 0x05);
  EXPECT_EQ(findKeyByName("vol-")->code, 0x07);
  EXPECT_EQ(findKeyByName("FAV+")->code, 0x0D);
  EXPECT_EQ(findKeyByName("FAV-")->code, 0x0C);
  EXPECT_EQ(findKeyByName("power")->code, 0x18);
  EXPECT_EQ(findKeyByName("p/n/s")->code, 0x1F);
  EXPECT_EQ(findKeyByName("7")->code, 0x11);
  EXPECT_EQ(findKeyByName("<--vol")->code, 0x07);
  EXPECT_EQ(findKeyByName("Vol-->")->code, 0x05);
  EXPECT_EQ(findKeyByName("tv/radio")->code, 0x19);
  EXPECT_EQ(findKeyByName("FAV\xE2\x96\xB2"), nullptr);  // names are ASCII only
  EXPECT_EQ(findKeyByName("CH"), nullptr);
  EXPECT_EQ(findKeyByName("10"), nullptr);
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

TEST(RemoteSession, KeyFrameFilledOnceAndNothingSentWithoutAPort) {
  RemoteSession session;
  EXPECT_EQ(session.keyFrame(), keyFrame(0x00));
  EXPECT_EQ(session.sendKey(0x1F), 0u);
  // Only the code byte follows the last key.
  EXPECT_EQ(session.keyFrame(), keyFrame(0x1F));
}

TEST(RemoteSession, FailedOpenStillStoresThePortIndex) {
  test::TempDir dir;
  test::ScopedEnv com3("QUORVANE_COM3", dir.file("missing"));
  RemoteSession session;
  std::int32_t portIndex = 0;
  const std::optional<Notice> failure = session.selectPort(3, portIndex);
  EXPECT_EQ(portIndex, 2);
  ASSERT_TRUE(failure);
  EXPECT_EQ(noticeText(*failure), "open port3 error!");
  EXPECT_FALSE(session.port().isOpen());
}

}  // namespace
}  // namespace quorvane::remote
