// The receiver's line protocol: every constant on the wire, named once.
// Timing and dialog matters live with the code that uses them.
//
// All traffic runs in 12-byte command frames that open with an 8-byte sync
// magic; bulk flash data travels raw, 4096 bytes at a time, between frames.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quorvane {

// ---- line ----------------------------------------------------------------
inline constexpr int kLineSpeed = 115200;    // bits per second, every use
inline constexpr int kLineBitsPerByte = 10;  // start + 8 data + stop

// ---- frame layout --------------------------------------------------------
inline constexpr std::size_t kFrameSize = 12;
inline constexpr std::size_t kSyncMagicSize = 8;
inline constexpr std::array<std::uint8_t, kSyncMagicSize> kSyncMagic = {'H', 'a', 'l', 'v',
                                                                        'o', 'r', 'n', 'e'};
inline constexpr std::size_t kParam1Offset = 8;
inline constexpr std::size_t kCommandOffset = 9;
inline constexpr std::size_t kParam2Offset = 10;
inline constexpr std::size_t kParam3Offset = 11;

// ---- commands the PC sends (byte 9) --------------------------------------
inline constexpr std::uint8_t kCmdConnect = 0x10;       // connection request
inline constexpr std::uint8_t kCmdStartRead = 0x97;     // start flash download
inline constexpr std::uint8_t kCmdStartUpgrade = 0x99;  // start flash upload
inline constexpr std::uint8_t kCmdReadComplete = 0x01;  // after the last block
inline constexpr std::uint8_t kCmdStop = 0x02;          // abort / end upload

// ---- acknowledgements the receiver sends (byte 9, then param1) -------------
// The plain acknowledgement: the connection request's answer, and the first
// accepted upgrade answer of receiver families Fta and T (group F).
inline constexpr std::uint8_t kCmdAck = 0x00;
// The upgrade's other accepted answers; all other bytes of these frames are 0.
// Group C (families CI and HCI): three commands.
inline constexpr std::array<std::uint8_t, 3> kGroupCAckCommands = {0xF0, 0xF2, 0xFF};
// Group F: besides the plain acknowledgement, 0x11 with param1 0x11, and 0xAA.
inline constexpr std::uint8_t kGroupFAckCommand2 = 0x11;
inline constexpr std::uint8_t kGroupFAckParam1 = 0x11;
inline constexpr std::uint8_t kGroupFAckCommand3 = 0xAA;

// ---- the receiver's type answer ------------------------------------------
// "Halvorne", 0x10, ModelNumber (1..16), 0x00, 0x00.
inline constexpr std::uint8_t kIdentParam1 = 0x10;
inline constexpr int kModelNumberFirst = 1;
inline constexpr int kModelNumberLast = 16;

// ---- remote key frames ---------------------------------------------------
// "Halvorne", 'J', key code, 'O', 'V'.
inline constexpr std::uint8_t kKeyParam1 = 'J';
inline constexpr std::uint8_t kKeyParam2 = 'O';
inline constexpr std::uint8_t kKeyParam3 = 'V';
inline constexpr int kKeyCodeCount = 32;  // codes 0x00..0x1F

// ---- flash blocks --------------------------------------------------------
// During a transfer the flash travels raw between the frames, one block at a
// time; a receiver's flash holds 1 MiB or 2 MiB.
inline constexpr std::size_t kBlockSize = 4096;
inline constexpr unsigned kBlocksSmallFlash = 256;  // size digit 1: 1 MiB
inline constexpr unsigned kBlocksLargeFlash = 512;  // size digit 2: 2 MiB

}  // namespace quorvane
