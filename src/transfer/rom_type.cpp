#include "transfer/rom_type.h"

#include <cstring>

namespace quorvane {

namespace {

using F = ReceiverFamily;
using C = FlashType;

constexpr RomImageTag row(int index, std::string_view tag, std::string_view name) {
  return RomImageTag{index,
                     tag,
                     static_cast<F>(index / 4),
                     static_cast<C>((index / 2) % 2),
                     index % 2 + 1,
                     blockCountOfIndex(index),
                     index + 1,
                     name};
}

constexpr std::array<RomImageTag, kRomTypeCount> kTypes = {{
    row(0, "QX_RomFtaAMD1", "Fta 29 1"),
    row(1, "QX_RomFtaAMD2", "Fta 29 2"),
    row(2, "QX_RomFtaSST1", "Fta 39 1"),
    row(3, "QX_RomFtaSST2", "Fta 39 2"),
    row(4, "QX_Rom_CIAMD1", "CI 29 1"),
    row(5, "QX_Rom_CIAMD2", "CI 29 2"),
    row(6, "QX_Rom_CISST1", "CI 39 1"),
    row(7, "QX_Rom_CISST2", "CI 39 2"),
    row(8, "QX_RomHCIAMD1", "HCI 29 1"),
    row(9, "QX_RomHCIAMD2", "HCI 29 2"),
    row(10, "QX_RomHCISST1", "HCI 39 1"),
    row(11, "QX_RomHCISST2", "HCI 39 2"),
    row(12, "QX_Rom_T_AMD1", "T 29 1"),
    row(13, "QX_Rom_T_AMD2", "T 29 2"),
    row(14, "QX_Rom_T_SST1", "T 39 1"),
    row(15, "QX_Rom_T_SST2", "T 39 2"),
}};

static_assert(kTypes[10].family == F::HCI && kTypes[10].flash == C::SST &&
              kTypes[10].sizeDigit == 1 && kTypes[10].blockCount == 256);
static_assert(kTypes[13].modelNumber == 14 && kTypes[13].sizeDigit == 2);

constexpr bool tagsAreThirteenChars() {
  for (const auto& t : kTypes)
    if (t.tagText.size() != kTagSize) return false;
  return true;
}
static_assert(tagsAreThirteenChars());

}  // namespace

const std::array<RomImageTag, kRomTypeCount>& romTypes() {
  return kTypes;
}

const RomImageTag& romType(int index) {
  return kTypes.at(static_cast<std::size_t>(index));
}

std::optional<int> findTag(const std::uint8_t* bytes13) {
  for (const auto& t : kTypes)
    if (std::memcmp(bytes13, t.tagText.data(), kTagSize) == 0) return t.index;
  return std::nullopt;
}

std::string_view familyName(ReceiverFamily family) {
  switch (family) {
    case F::Fta:
      return "Fta";
    case F::CI:
      return "CI";
    case F::HCI:
      return "HCI";
    case F::T:
      return "T";
  }
  return "?";
}

std::string_view flashTypeName(FlashType flash) {
  return flash == C::AMD ? "AMD" : "SST";
}

}  // namespace quorvane
