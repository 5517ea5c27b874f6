// The Upgrade Software transfer: writes a ROM image file into the receiver's
// flash, one 4096-byte block per accepted answer, one answer per 50 ms tick.
//
//   start()  counter 0/0, the image loaded (its file closed), the port
//            opened, binary mode, the start-upgrade frame, the timer
//   tick()   one answer checked; the next block, a failure, or the end
//
// Every answer goes through checkUpgradeAnswer. The front end (dialog,
// command-line tool, test) supplies the port and the view and calls tick
// when the timer it started fires; once the transfer has finished, in any
// way, no tick acts any more.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "machine/tick_machine.h"
#include "transfer/model_check.h"
#include "transfer/transfer_machine.h"

namespace quorvane {

class UpgradeTransfer final : public TransferMachine {
 public:
  UpgradeTransfer(CommandPort& port, TransferView& view, PortTarget target, std::string imagePath);

  // The dialog's initialisation. On a refused image (its message, if it has
  // one) or a port that can't be opened ("open port%d error!") the transfer
  // fails and the view is told to cancel: the dialog is never shown.
  void start() override;

  // The timer handler: acts only for kUpgradeTimerId while running.
  void tick(int timerId) override;

  // The 12-byte answer before each block and after the last.
  std::optional<AwaitedInput> awaitedInput() const override;

  int tagIndex() const { return tagIndex_; }
  std::int32_t blockCount() const { return blockCount_; }
  std::int32_t blocksSent() const { return blocksSent_; }
  const CountedWait& answerWait() const { return answerWait_; }
  // The whole image file as loaded; empty when it was refused.
  const std::vector<std::uint8_t>& imageData() const { return imageData_; }
  const std::string& imagePath() const { return imagePath_; }

 private:
  bool load();
  UpgradeVerdict takeAnswer();
  void writeNextBlock();
  void complete();

  std::int32_t tagIndex_ = 0;
  std::int32_t blockCount_ = 0;
  std::int32_t blocksSent_ = 0;
  CountedWait answerWait_;
  std::vector<std::uint8_t> imageData_;
  std::string imagePath_;
};

}  // namespace quorvane
