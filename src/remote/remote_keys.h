// The receiver's remote-control keys: one table of the 32 keys (key code,
// caption, PC keys), the PC-keyboard mapping derived from it and ASCII names
// for typed input. The on-screen remote (remote/ui) lays the keys out; the
// command-line tool and the emulator name them by caption and alias.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "serial/protocol.h"

namespace quorvane::remote {

// PC keys that drive the remote through the key field, independent of any
// toolkit's key codes. Main-row and keypad digits are distinct keys.
enum class PcKey : std::uint8_t {
  Enter,
  Esc,
  Delete,
  Space,
  Left,
  Up,
  Right,
  Down,
  Digit0,
  Digit1,
  Digit2,
  Digit3,
  Digit4,
  Digit5,
  Digit6,
  Digit7,
  Digit8,
  Digit9,
  Keypad0,
  Keypad1,
  Keypad2,
  Keypad3,
  Keypad4,
  Keypad5,
  Keypad6,
  Keypad7,
  Keypad8,
  Keypad9,
};

inline constexpr std::size_t kMaxPcKeysPerKey = 2;

struct RemoteKey {
  std::uint8_t code;    // 0x00..0x1F, the command byte of its key frame
  const char* caption;  // UTF-8, as its button shows it; "&" marks a mnemonic ("&7")
  std::array<PcKey, kMaxPcKeysPerKey> pcKeys;
  std::size_t pcKeyCount;  // how many of pcKeys count

  std::span<const PcKey> keys() const { return {pcKeys.data(), pcKeyCount}; }
};

// All 32 keys in key-code order: remoteKeys()[c].code == c.
std::span<const RemoteKey> remoteKeys();

const RemoteKey* findKeyByCode(std::uint8_t code);
// By the exact caption ("FAV▲", "&7") or by the text shown on the button
// (the caption without its "&": "7").
const RemoteKey* findKeyByCaption(std::string_view caption);
// By an ASCII name (case-insensitive): an alias from keyAliases(), or a
// caption that is plain ASCII ("MENU", "TV/RADIO", "<--VOL").
const RemoteKey* findKeyByName(std::string_view name);

// The caption as shown: without the mnemonic marker.
std::string displayCaption(const RemoteKey& key);

struct KeyAlias {
  const char* name;
  std::uint8_t code;
};
// ASCII names of the keys for typed input; every key has at least one.
std::span<const KeyAlias> keyAliases();

// The key code a PC key sends through the key field.
std::optional<std::uint8_t> keyCodeForPcKey(PcKey key);

}  // namespace quorvane::remote
