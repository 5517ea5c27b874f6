#include "remote/remote_keys.h"

#include <algorithm>
#include <cctype>

namespace quorvane::remote {

namespace {

using P = PcKey;

constexpr RemoteKey key(std::uint8_t code, const char* caption) {
  return {code, caption, {}, 0};
}
constexpr RemoteKey key(std::uint8_t code, const char* caption, PcKey pc) {
  return {code, caption, {pc, pc}, 1};
}
constexpr RemoteKey key(std::uint8_t code, const char* caption, PcKey pc1, PcKey pc2) {
  return {code, caption, {pc1, pc2}, 2};
}

// In key-code order.
constexpr std::array<RemoteKey, kKeyCodeCount> kKeys = {{
    key(0x00, "MUTE"),
    key(0x01, "TEXT"),
    key(0x02, "CH\xE2\x96\xB2", P::Up),  // CH▲
    key(0x03, "EXIT", P::Esc, P::Delete),
    key(0x04, "SAT/TV"),
    key(0x05, "VOL-->", P::Right),
    key(0x06, "OK", P::Enter),
    key(0x07, "<--VOL", P::Left),
    key(0x08, "RECALL"),
    key(0x09, "PAUSE"),
    key(0x0A, "CH\xE2\x96\xBC", P::Down),  // CH▼
    key(0x0B, "UHF"),
    key(0x0C, "FAV\xE2\x96\xBC"),  // FAV▼
    key(0x0D, "FAV\xE2\x96\xB2"),  // FAV▲
    key(0x0E, "0", P::Digit0, P::Keypad0),
    key(0x0F, "9", P::Digit9, P::Keypad9),
    key(0x10, "8", P::Digit8, P::Keypad8),
    key(0x11, "&7", P::Digit7, P::Keypad7),
    key(0x12, "6", P::Digit6, P::Keypad6),
    key(0x13, "5", P::Digit5, P::Keypad5),
    key(0x14, "4", P::Digit4, P::Keypad4),
    key(0x15, "3", P::Digit3, P::Keypad3),
    key(0x16, "2", P::Digit2, P::Keypad2),
    key(0x17, "1", P::Digit1, P::Keypad1),
    key(0x18, "POWER\xE2\x8A\x99"),  // POWER⊙
    key(0x19, "TV/RADIO"),
    key(0x1A, "AUDIO"),
    key(0x1B, "INFO"),
    key(0x1C, "FAV"),
    key(0x1D, "MENU", P::Space),
    key(0x1E, "EPG"),
    key(0x1F, "P/N/S"),
}};

static_assert(
    [] {
      for (std::size_t i = 0; i < kKeys.size(); ++i)
        if (kKeys[i].code != i) return false;
      return true;
    }(),
    "the key table is indexed by key code");

// One ASCII name per key, for typed input.
constexpr std::array<KeyAlias, kKeyCodeCount> kAliases = {{
    {"MUTE", 0x00},     {"TEXT", 0x01},  {"CH+", 0x02},  {"EXIT", 0x03},   {"SAT/TV", 0x04},
    {"VOL+", 0x05},     {"OK", 0x06},    {"VOL-", 0x07}, {"RECALL", 0x08}, {"PAUSE", 0x09},
    {"CH-", 0x0A},      {"UHF", 0x0B},   {"FAV-", 0x0C}, {"FAV+", 0x0D},   {"0", 0x0E},
    {"9", 0x0F},        {"8", 0x10},     {"7", 0x11},    {"6", 0x12},      {"5", 0x13},
    {"4", 0x14},        {"3", 0x15},     {"2", 0x16},    {"1", 0x17},      {"POWER", 0x18},
    {"TV/RADIO", 0x19}, {"AUDIO", 0x1A}, {"INFO", 0x1B}, {"FAV", 0x1C},    {"MENU", 0x1D},
    {"EPG", 0x1E},      {"P/N/S", 0x1F},
}};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) ==
                  std::toupper(static_cast<unsigned char>(y));
         });
}

bool isPlainAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

std::span<const RemoteKey> remoteKeys() {
  return kKeys;
}

std::span<const KeyAlias> keyAliases() {
  return kAliases;
}

const RemoteKey* findKeyByCode(std::uint8_t code) {
  return code < kKeys.size() ? &kKeys[code] : nullptr;
}

std::string displayCaption(const RemoteKey& key) {
  std::string shown;
  for (const char* c = key.caption; *c; ++c)
    if (*c != '&') shown += *c;
  return shown;
}

const RemoteKey* findKeyByCaption(std::string_view caption) {
  for (const RemoteKey& k : kKeys)
    if (caption == k.caption || caption == displayCaption(k)) return &k;
  return nullptr;
}

const RemoteKey* findKeyByName(std::string_view name) {
  for (const KeyAlias& alias : kAliases)
    if (equalsIgnoringCase(name, alias.name)) return &kKeys[alias.code];
  for (const RemoteKey& k : kKeys) {
    const std::string shown = displayCaption(k);
    if (isPlainAscii(shown) && equalsIgnoringCase(name, shown)) return &k;
  }
  return nullptr;
}

std::optional<std::uint8_t> keyCodeForPcKey(PcKey pc) {
  for (const RemoteKey& k : kKeys)
    for (PcKey mapped : k.keys())
      if (mapped == pc) return k.code;
  return std::nullopt;
}

}  // namespace quorvane::remote
