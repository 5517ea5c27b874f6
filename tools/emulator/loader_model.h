// A receiver's service loader as a plain state machine: bytes from the PC go
// in, what the loader takes, sends and makes of it comes out, in order. No
// device, no clock and no faults (fault_plan.h wraps it with those).
//
// Between exchanges it drops bytes until the sync magic could begin, then
// takes whole frames. Connect: the acknowledgement. Read: its IdentFrame and
// block 0, then a block per acknowledgement (its IdentFrame sent back) until
// read complete. Upgrade: an answer before each block and one after the
// last; 12 bytes equal to the stop frame where a block would begin are the
// stop frame, anything else is block data. The stop frame ends any exchange.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "serial/command_frame.h"

namespace quorvane::emu {

// Which answer the receiver gives before each upgrade block and after the
// last: one of its family's three acknowledgements, its own type answer, or
// the three acknowledgements in turn.
enum class UpgradeAnswer { Ack0, Ack1, Ack2, Ident, Rotate };

bool validModelNumber(int modelNumber);
// Bytes of flash of a model: 256 or 512 blocks.
std::size_t flashSizeOf(int modelNumber);
// A frame as the log shows it: its bytes in hex, then what it is.
std::string frameLogText(const FrameBytes& frame);
// A recognisable, deterministic flash content of the model's size: each
// block starts 'Q' 'B', block number (high byte first), model number.
std::vector<std::uint8_t> patternFlash(int modelNumber);
// The flash of unit `unit` (the second receiver and on, see the control
// FIFO): each block starts with the text "UNIT NNNN" (the unit number, four
// digits), then its block number (high byte first) and the model number,
// then a pseudo-random body seeded by unit, block and model.
inline constexpr std::size_t kUnitTextSize = 9;  // "UNIT 0002"
std::vector<std::uint8_t> unitFlash(int modelNumber, int unit);

// One thing the loader did, in the order it did it.
struct LoaderEvent {
  enum class Kind {
    Took,  // took something from the PC (a frame, stray bytes, a block): `text`
    Note,  // what it made of it: `text`
    Send,  // sends `bytes`, the `reply` below
    Stop,  // the stop frame: what it still had to send is dropped
  };
  enum class Reply { ConnectAnswer, ReadAnswer, ReadBlock, UpgradeAnswer };

  Kind kind = Kind::Note;
  std::string text{};
  std::vector<std::uint8_t> bytes{};
  Reply reply = Reply::ConnectAnswer;
  // ReadBlock: its number. UpgradeAnswer: the block it answers (none for
  // the answer to the start frame).
  std::optional<unsigned> block{};
  bool completesUpgrade = false;  // UpgradeAnswer: the answer to the last block
};

class LoaderModel {
 public:
  // `flash` must be flashSizeOf(modelNumber) bytes.
  LoaderModel(int modelNumber, std::vector<std::uint8_t> flash, UpgradeAnswer upgradeAnswer);

  // The type it names when a read starts (its own unless told otherwise). A
  // read then serves that type's block count, erased (0xFF) beyond its own
  // flash, and takes that type's IdentFrame as the block acknowledgement.
  void announceAs(int modelNumber) { announced_ = modelNumber; }

  // Takes bytes from the PC; returns what it did with them, in order.
  std::vector<LoaderEvent> receive(const std::uint8_t* bytes, std::size_t count);

  // Starts afresh, as after a reboot: no exchange under way, nothing held
  // of what came before. The flash and what it has counted stay.
  void restart();

  int modelNumber() const { return model_; }
  const std::vector<std::uint8_t>& flash() const { return flash_; }
  const std::vector<FrameBytes>& frames() const { return frames_; }  // every frame taken
  const std::vector<std::uint8_t>& keyCodes() const { return keys_; }
  unsigned blocksTaken() const { return blocksTaken_; }  // upgrade blocks, all upgrades
  unsigned upgradeBlocks() const { return upBlocks_; }   // blocks of the current upgrade
  unsigned upgradesBegun() const { return upgrades_; }
  unsigned connectsTaken() const { return connects_; }
  // Reads that ended with read complete after every block.
  unsigned readsCompleted() const { return readsDone_; }
  // The last block of the latest upgrade taken and answered.
  bool upgradeComplete() const { return complete_; }

 private:
  enum class Mode { Idle, Reading, Upgrading, UpgradeDone };

  void takeFrames();
  void takeUpgradeBytes();
  void takeFrame();
  void onFrame(const FrameBytes& frame);
  void startRead();
  void sendNextBlock();
  void onReadFrame(const FrameBytes& frame);
  void startUpgrade();
  FrameBytes upgradeAnswerFrame() const;
  void took(std::string text);
  void note(std::string text);
  void send(LoaderEvent::Reply reply, std::vector<std::uint8_t> bytes,
            std::optional<unsigned> block = std::nullopt, bool completesUpgrade = false);

  const int model_;
  const UpgradeAnswer upgradeAnswer_;
  std::vector<std::uint8_t> flash_;
  int announced_;
  Mode mode_ = Mode::Idle;
  std::vector<std::uint8_t> in_;  // taken from the PC, not yet used
  std::vector<LoaderEvent> events_;

  int readModel_ = 0;        // read: the type it named
  unsigned readBlocks_ = 0;  // read: blocks it serves
  unsigned nextBlock_ = 0;   // read: next block to send
  bool awaitingAck_ = false;
  unsigned upBlocks_ = 0;  // upgrade: blocks taken in this upgrade
  unsigned answers_ = 0;   // upgrade: answers given in this upgrade
  unsigned upgrades_ = 0;
  bool complete_ = false;

  std::vector<FrameBytes> frames_;
  std::vector<std::uint8_t> keys_;
  unsigned blocksTaken_ = 0;
  unsigned connects_ = 0;
  unsigned readsDone_ = 0;
};

}  // namespace quorvane::emu
