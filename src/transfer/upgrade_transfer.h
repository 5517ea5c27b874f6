// The Upgrade Software transfer: writes a ROM image file into the receiver's
// flash, one 4096-byte block per accepted answer, one answer per 50 ms tick.
//
//   begin()          counter 0/0, loads the image, then startUpgrade()
//   startUpgrade()   opens the port, binary mode, start-upgrade frame, timer
//   onUpgradeTick()  one answer checked; the next block, a failure, or the end
//
// Every answer goes through checkUpgradeAnswer. The image is loaded (and its
// file closed) before the port is opened. The front end (dialog, command-line
// tool, test) supplies the port and the view and calls onUpgradeTick when the
// timer it started fires; once the transfer has finished, in any way, no tick
// acts any more.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "serial/command_frame.h"
#include "serial/command_port.h"
#include "serial/port_target.h"
#include "transfer/model_check.h"
#include "transfer/transfer_view.h"

namespace quorvane {

enum class UpgradeState {
  Idle,              // constructed, nothing loaded
  Loaded,            // image valid, port not yet open
  Running,           // start-upgrade sent, timer running
  Succeeded,         // the answer to the last block accepted; stop sent
  LoadFailed,        // the image was refused (its message shown)
  OpenPortFailed,    // "open port%d error!" shown
  TimedOut,          // "no answer1！" shown
  UnexpectedAnswer,  // "no answer C！" / "no answer F！" shown
  ModelMismatch,     // the mismatch message shown
  Cancelled,         // the user ended it; nothing sent
};

// What the transfer did, for a trace (the command-line tool's --trace).
struct UpgradeEvent {
  enum class Kind {
    FrameSent,       // `frame` went out (start upgrade, stop)
    AnswerReceived,  // `frame` was taken as the answer; `verdict` its check
    BlockSent,       // block `block` went out; `written` bytes taken by the port
    Finished,        // the transfer ended in `state`
  };
  Kind kind = Kind::FrameSent;
  FrameBytes frame{};
  UpgradeVerdict verdict{};
  long long block = -1;
  unsigned written = 0;
  UpgradeState state = UpgradeState::Idle;
};

using UpgradeObserver = std::function<void(const UpgradeEvent&)>;

class UpgradeTransfer {
 public:
  UpgradeTransfer(CommandPort& port, TransferView& view, PortTarget target, std::string imagePath);

  // The dialog's initialisation: counter "0/0 blocks", load, startUpgrade.
  // True when the upload runs; false after a reported failure, in which
  // case the view has been told to cancel (the dialog is never shown).
  bool begin();

  // Loads and checks the image at imagePath. On refusal the loader's
  // message (if any) is shown through the view and false returned.
  bool load();

  // Opens the port, sets binary mode, sends the start-upgrade frame and
  // starts the tick timer: 1. On an open failure shows "open port%d error!"
  // with the target's number and returns 0. Needs a loaded image.
  int startUpgrade();

  // The timer handler: acts only for kUpgradeTimerId while running.
  void onUpgradeTick(int timerId);

  // Bar at n * 100 / blockCount and counter "n/blockCount blocks".
  void showBlockProgress(long long n);

  // The user ended the dialog (Cancel, Close, Escape): nothing is sent and
  // later ticks do nothing. The view ends the dialog itself.
  void abandon();

  void setObserver(UpgradeObserver observer) { observer_ = std::move(observer); }

  UpgradeState state() const { return state_; }
  bool running() const { return state_ == UpgradeState::Running; }
  bool finished() const;
  bool succeeded() const { return state_ == UpgradeState::Succeeded; }

  int tagIndex() const { return tagIndex_; }
  std::int32_t blockCount() const { return blockCount_; }
  std::int32_t blocksSent() const { return blocksSent_; }
  std::uint32_t waitMs() const { return waitMs_; }
  const std::vector<std::uint8_t>& imageData() const { return imageData_; }
  const std::string& imagePath() const { return imagePath_; }
  const PortTarget& target() const { return target_; }
  // The message a failed transfer showed (none for a refused image without
  // a message, a success or a cancel).
  const std::optional<Notice>& failure() const { return failure_; }

 private:
  void sendFrame(const FrameBytes& frame);
  void finish(UpgradeState state);  // no tick acts from here on
  void emitFinished();
  void fail(UpgradeState state, const Notice& notice);  // stop, cancel, message
  void showFailure(const Notice& notice);
  void writeNextBlock();
  void complete();
  void notify(const UpgradeEvent& event) {
    if (observer_) observer_(event);
  }

  CommandPort& port_;
  TransferView& view_;
  PortTarget target_;
  std::int32_t tagIndex_ = 0;
  std::int32_t blockCount_ = 0;
  std::int32_t blocksSent_ = 0;
  std::uint32_t waitMs_ = 0;
  std::vector<std::uint8_t> imageData_;
  std::string imagePath_;
  UpgradeState state_ = UpgradeState::Idle;
  std::optional<Notice> failure_;
  UpgradeObserver observer_;
};

}  // namespace quorvane
