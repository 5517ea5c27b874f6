// Faults the emulated receiver commits on request, and the loader with them
// applied: what the loader sends is withheld, replaced, cut, spoiled or
// padded, and the device may vanish, before anything reaches the line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "loader_model.h"
#include "paced_line.h"
#include "serial/command_frame.h"

namespace quorvane::emu {

// Where in an exchange a fault strikes: right after its start frame
// (connect, read or upgrade), or after block N (counting from 0).
struct FaultPoint {
  enum class Kind { AfterStart, AfterBlock };
  Kind kind = Kind::AfterStart;
  unsigned block = 0;  // AfterBlock

  static constexpr FaultPoint afterStart() { return {}; }
  static constexpr FaultPoint afterBlock(unsigned n) { return {Kind::AfterBlock, n}; }
  bool operator==(const FaultPoint&) const = default;
};

// Block numbers count from 0. An empty plan is a well-behaved receiver.
struct FaultPlan {
  // No answer from here until the stop frame. After the start frame: a
  // connect request goes unanswered, a read or an upgrade gets nothing at
  // all. After block N: read, nothing after sending it; upgrade, no answer
  // to it.
  std::optional<FaultPoint> silence{};
  // Answers kWrongAnswerFrame (neither an IdentFrame nor an acknowledgement
  // of either group): connect, read and every upgrade answer.
  bool wrongAnswer = false;
  // Answers with the IdentFrame of this ModelNumber (1..16) instead of its
  // own (connect: instead of the acknowledgement); a read then serves that
  // type's block count and takes its IdentFrame as the acknowledgement.
  std::optional<int> otherModel{};
  bool otherGroup = false;  // upgrade answers from the other family's group
  // The three answer faults above touch only the upgrade answers after
  // this block (connect and read answers stay touched).
  std::optional<unsigned> answerFaultAfterBlock{};
  unsigned splitPieces = 1;                // every answer sent in this many pieces (1..12)
  unsigned splitDelayMs = 0;               // with this pause between them
  std::size_t surplusBytes = 0;            // kSurplusByte after every answer and block
  std::optional<unsigned> shortBlock{};    // read: this block sent `shortBy` bytes
  std::size_t shortBy = 1;                 // short, then silence
  std::optional<unsigned> corruptBlock{};  // read: a byte of this block flipped
  std::size_t corruptOffset = 0;           // (kCorruptMask) at this offset
  // The pty closed after the start frame, or after block N (read: once the
  // tool has taken it; upgrade: once received).
  std::optional<FaultPoint> vanish{};
};

inline constexpr FrameBytes kWrongAnswerFrame = makeFrame(0x5A);
inline constexpr std::uint8_t kSurplusByte = 0xE5;  // every surplus byte
inline constexpr std::uint8_t kCorruptMask = 0xFF;  // XORed into the corrupted byte

// What the receiver does next, in order.
struct Action {
  enum class Kind {
    Log,          // `text` under `direction` ("<-" taken, "  " a remark)
    Send,         // queue `run` on the line
    DropPending,  // drop what is queued and not yet out
    Vanish,       // close the pty now, because of `text`
  };
  Kind kind = Kind::Log;
  const char* direction = "  ";
  std::string text{};
  Outgoing run{};
};

// The loader, its plan applied around it.
class FaultyLoader {
 public:
  FaultyLoader(LoaderModel model, FaultPlan plan);

  void setPlan(FaultPlan plan);
  const LoaderModel& model() const { return model_; }
  // After a reboot: the loader afresh, no silence under way.
  void restart() {
    model_.restart();
    silent_ = false;
  }

  // Takes bytes from the PC; returns what the receiver does.
  std::vector<Action> receive(const std::uint8_t* bytes, std::size_t count);

 private:
  bool strikesAt(const FaultPoint& point, const LoaderEvent& reply) const;
  // Why the device vanishes instead of sending the reply, if it does.
  std::optional<std::string> vanishes(const LoaderEvent& reply) const;
  // True when the reply is not sent (a silence; it may begin here).
  bool withheld(const LoaderEvent& reply);
  bool answerTouched(const LoaderEvent& reply) const;
  FrameBytes answerFrame(const LoaderEvent& reply) const;
  void sendAnswer(const LoaderEvent& reply, std::vector<Action>& actions) const;
  void sendBlock(const LoaderEvent& reply, std::vector<Action>& actions);
  void addSurplus(std::vector<Action>& actions) const;

  LoaderModel model_;
  FaultPlan plan_;
  bool silent_ = false;  // until the stop frame
};

}  // namespace quorvane::emu
