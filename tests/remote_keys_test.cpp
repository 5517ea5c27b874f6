#include "remote/remote_keys.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace quorvane::remote {
namespace {

TEST(RemoteKeyTable, EveryCodeOnceFoundByCaptionAsWrittenAndAsShown) {
  for (const RemoteKey& k : remoteKeys()) {
    EXPECT_EQ(findKeyByCode(k.code), &k);  // codes 0x00..0x1F, each once
    EXPECT_EQ(findKeyByCaption(k.caption), &k);
    EXPECT_EQ(findKeyByCaption(displayCaption(k)), &k);
  }
  EXPECT_EQ(displayCaption(*findKeyByCode(0x11)), "7");  // "&7" as shown
  EXPECT_EQ(findKeyByCaption("CH\xE2\x96\xB2"), findKeyByCode(0x02));
}

TEST(RemoteKeyMapping, NamedKeysAndTheDigitsOfBothRows) {
  using P = PcKey;
  const std::pair<PcKey, int> named[] = {{P::Enter, 0x06}, {P::Esc, 0x03},  {P::Delete, 0x03},
                                         {P::Space, 0x1D}, {P::Left, 0x07}, {P::Up, 0x02},
                                         {P::Right, 0x05}, {P::Down, 0x0A}};
  for (const auto& [pc, code] : named) EXPECT_EQ(keyCodeForPcKey(pc), code) << int(pc);
  for (int d = 0; d <= 9; ++d)  // main row and keypad alike
    for (const P zero : {P::Digit0, P::Keypad0})
      EXPECT_EQ(keyCodeForPcKey(static_cast<P>(static_cast<int>(zero) + d)),
                d == 0 ? 0x0E : 0x18 - d);
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
}  // namespace quorvane::remote
