#include <gtest/gtest.h>

#include <set>
#include <string>

#include "transfer/rom_type.h"

namespace quorvane {
namespace {

TEST(RomTypeTable, RowsFollowTheIndexRule) {
  std::set<std::string> tags;
  for (const RomImageTag& t : romTypes()) {
    EXPECT_EQ(t.index, 4 * static_cast<int>(t.family) + 2 * static_cast<int>(t.flash) +
                           (t.sizeDigit - 1));
    EXPECT_EQ(t.modelNumber, t.index + 1);
    EXPECT_EQ(t.blockCount, t.sizeDigit == 1 ? 256u : 512u);
    EXPECT_EQ(t.tagText.size(), kTagSize);
    // "QX_Rom" + family field + chip + size digit
    EXPECT_EQ(t.tagText.substr(0, 6), "QX_Rom");
    EXPECT_EQ(t.tagText.substr(9, 3), flashTypeName(t.flash));
    EXPECT_EQ(t.tagText.back(), static_cast<char>('0' + t.sizeDigit));
    // model name: family, 29 or 39, size digit
    EXPECT_EQ(std::string(t.modelName),
              std::string(familyName(t.family)) + (t.flash == FlashType::AMD ? " 29 " : " 39 ") +
                  std::to_string(t.sizeDigit));
    ASSERT_EQ(findTag(reinterpret_cast<const std::uint8_t*>(t.tagText.data())), t.index);
    tags.insert(std::string(t.tagText));
  }
  EXPECT_EQ(tags.size(), 16u);
  EXPECT_EQ(romType(13).modelName, "T 29 2");
  EXPECT_EQ(romType(13).tagText, "QX_Rom_T_AMD2");
  EXPECT_EQ(romType(10).tagWriteError, "write file error HC3!");
}

TEST(RomTypeTable, FindTagComparesEveryByte) {
  const std::string lower = "qx_romftaamd1";
  EXPECT_FALSE(findTag(reinterpret_cast<const std::uint8_t*>(lower.data())));
  const std::string spaced = "QX_Rom CIAMD1";
  EXPECT_FALSE(findTag(reinterpret_cast<const std::uint8_t*>(spaced.data())));
}

}  // namespace
}  // namespace quorvane
