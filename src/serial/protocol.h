// The receiver's line protocol: every constant of the exchange, named once.
//
// All traffic runs in 12-byte command frames that open with an 8-byte sync
// magic; bulk flash data travels raw, 4096 bytes at a time, between frames.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quorvane {

// ---- line ----------------------------------------------------------------
inline constexpr int kLineSpeed = 115200;               // bits per second, every use
inline constexpr int kLineBitsPerByte = 10;             // start + 8 data + stop
inline constexpr std::size_t kDriverQueueSize = 10000;  // input and output
inline constexpr int kReadWaitLimitMs = 2000;           // a pending read is waited for
inline constexpr int kWriteWaitLimitMs = 5000;          // a write, whatever its length

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

// ---- acknowledgement wait (connect handshake) ----------------------------
inline constexpr int kAckPollIntervalMs = 10;
inline constexpr int kAckWaitLimitMs = 2000;  // counted: 200 sleeps of 10 ms

// ---- connect dialog ------------------------------------------------------
inline constexpr int kConnectTimerId = 1;
inline constexpr int kConnectTimerMs = 200;
inline constexpr int kConnectProgressStart = 60;
inline constexpr int kConnectProgressDone = 100;
inline constexpr int kConnectSuccessPauseMs = 300;

// ---- timer-driven transfers ----------------------------------------------
inline constexpr int kTickMs = 50;               // period of every transfer timer
inline constexpr unsigned kWaitStepMs = 50;      // counted per tick without data
inline constexpr unsigned kWaitLimitMs = 3000;   // give up (the 60th empty tick)
inline constexpr int kAnswerTimerId = 1;         // read: waiting for the type
inline constexpr int kBlockTimerId = 2;          // read: one block per tick
inline constexpr int kUpgradeTimerId = 1;        // upgrade: answer + block
inline constexpr std::size_t kBlockSize = 4096;  // raw flash block on the line
inline constexpr unsigned kProgressMax = 100;    // progress bar range 0..100

// ---- ROM image file --------------------------------------------------------
inline constexpr std::size_t kTagSize = 13;         // tag text at the start of a file
inline constexpr unsigned kBlocksSmallFlash = 256;  // size digit 1: 1 MiB
inline constexpr unsigned kBlocksLargeFlash = 512;  // size digit 2: 2 MiB
inline constexpr std::size_t kImageFileSizeSmall =
    kTagSize + std::size_t{kBlocksSmallFlash} * kBlockSize;  // 1,048,589
inline constexpr std::size_t kImageFileSizeLarge =
    kTagSize + std::size_t{kBlocksLargeFlash} * kBlockSize;  // 2,097,165

}  // namespace quorvane
