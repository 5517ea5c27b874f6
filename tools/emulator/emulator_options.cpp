#include "emulator_options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "transfer/rom_type.h"

namespace quorvane::emu {

namespace {

bool toInt(const char* text, long min, long max, long& value) {
  if (!text || !*text) return false;
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  value = v;
  return true;
}

}  // namespace

std::string usageText() {
  return R"(usage: quorvane-emu [options]

Emulates a satellite receiver's service loader on a pseudo-terminal. Prints
the device path on the first line of standard output and serves until it
gets SIGINT or SIGTERM (or, with --parent-pid, until that process ends).

The receiver:
  --model N             its ModelNumber, 1..16 (default 1, "QX_RomFtaAMD1");
                        odd numbers have 256 blocks of flash, even ones 512
  --flash FILE          its flash: a raw flash of the model's size or a ROM
                        image file (13-byte tag + blocks); without --model the
                        image's tag chooses the model
  --pattern             a generated, recognisable flash (the default)
  --save FILE           after a complete upgrade, save the flash it received
                        to FILE (raw, no tag)
  --answer KIND         its answer before each upgrade block and after the
                        last: ack0, ack1, ack2 (its family's acknowledgements,
                        default ack0), ident (its IdentFrame) or rotate (the
                        three acknowledgements in turn)

The line:
  --link PATH           make a symlink to the device at PATH (replaces an
                        older symlink there, never a file)
  --pace                emulate the line rate in both directions (10 bits per
                        byte); without it, as fast as the pty allows
  --baud N              the rate for --pace (default 115200)
  --turnaround MS       its own time per block: before each block it sends
                        and before each answer to a block it takes
  --log FILE|-          log every frame, in hex and meaning, to FILE or (-)
                        to standard error

Faults (block numbers count from 0):
  --silent-after-start  never answer the connect or start frame
  --silent-after-block N  read: nothing after block N; upgrade: no answer
                        after block N
  --wrong-answer        answer with a frame that is neither an IdentFrame nor
                        an acknowledgement (48 61 6C 76 6F 72 6E 65 00 5A 00 00)
  --other-model N       answer with the IdentFrame of ModelNumber N (connect:
                        instead of the acknowledgement)
  --other-group         upgrade: answer from the other family's acknowledgements
  --answer-fault-after-block N  upgrade: --wrong-answer, --other-model and
                        --other-group touch only the answers after block N
  --split N             send every answer in N pieces ...
  --split-delay MS      ... with this pause between them
  --surplus N           N stray bytes (0xE5) after every answer and block
  --short-block N       read: block N sent short (see --short-by), then silence
  --short-by N          bytes missing from the short block (default 1)
  --corrupt-block N     read: one byte of block N flipped (XOR 0xFF) ...
  --corrupt-offset N    ... at this offset in the block (default 0)
  --vanish-after-block N|start  close the pty after block N (read: sent;
                        upgrade: received), or right after the start frame

Process:
  --parent-pid PID      exit when process PID no longer exists
  -h, --help            this text
  --version             the program's name and version

How it tells upgrade blocks from frames: while an upgrade block is due, 12
bytes equal to the stop frame at the start of a block are the stop frame;
anything else is block data, taken 4096 bytes at a time.
)";
}

bool parseCommandLine(int argc, const char* const* argv, CommandLine& out, std::string& error) {
  EmulatorOptions& o = out.options;
  FaultPlan& f = o.faults;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
    long v = 0;
    auto number = [&](long min, long max) {
      if (!toInt(next, min, max, v)) {
        error = a + " needs a number from " + std::to_string(min) + " to " + std::to_string(max);
        return false;
      }
      ++i;
      return true;
    };
    auto text = [&](std::string& dest) {
      if (!next) {
        error = a + " needs a value";
        return false;
      }
      dest = next;
      ++i;
      return true;
    };
    constexpr long kBig = 1L << 30;
    if (a == "-h" || a == "--help") {
      out.help = true;
    } else if (a == "--version") {
      out.version = true;
    } else if (a == "--model") {
      if (!number(kModelNumberFirst, kModelNumberLast)) return false;
      o.modelNumber = int(v);
      out.modelGiven = true;
    } else if (a == "--flash") {
      if (!text(out.flashPath)) return false;
    } else if (a == "--pattern") {
      out.flashPath.clear();
    } else if (a == "--save") {
      if (!text(o.saveFlashTo)) return false;
    } else if (a == "--answer") {
      std::string k;
      if (!text(k)) return false;
      if (k == "ack0")
        o.upgradeAnswer = UpgradeAnswer::Ack0;
      else if (k == "ack1")
        o.upgradeAnswer = UpgradeAnswer::Ack1;
      else if (k == "ack2")
        o.upgradeAnswer = UpgradeAnswer::Ack2;
      else if (k == "ident")
        o.upgradeAnswer = UpgradeAnswer::Ident;
      else if (k == "rotate")
        o.upgradeAnswer = UpgradeAnswer::Rotate;
      else {
        error = "--answer takes ack0, ack1, ack2, ident or rotate";
        return false;
      }
    } else if (a == "--link") {
      if (!text(o.linkPath)) return false;
    } else if (a == "--pace") {
      o.pace = true;
    } else if (a == "--baud") {
      if (!number(kLineBitsPerByte, 100'000'000)) return false;
      o.baud = int(v);
    } else if (a == "--turnaround") {
      if (!number(0, 600'000)) return false;
      o.blockTurnaroundMs = int(v);
    } else if (a == "--log") {
      if (!text(out.logPath)) return false;
    } else if (a == "--silent-after-start") {
      f.silentAfterStart = true;
    } else if (a == "--silent-after-block") {
      if (!number(0, kBig)) return false;
      f.silentAfterBlock = int(v);
    } else if (a == "--wrong-answer") {
      f.wrongAnswer = true;
    } else if (a == "--other-model") {
      if (!number(kModelNumberFirst, kModelNumberLast)) return false;
      f.otherModel = int(v);
    } else if (a == "--other-group") {
      f.otherGroup = true;
    } else if (a == "--answer-fault-after-block") {
      if (!number(0, kBig)) return false;
      f.answerFaultAfterBlock = int(v);
    } else if (a == "--split") {
      if (!number(1, long(kFrameSize))) return false;
      f.splitPieces = int(v);
    } else if (a == "--split-delay") {
      if (!number(0, 600'000)) return false;
      f.splitDelayMs = int(v);
    } else if (a == "--surplus") {
      if (!number(0, 1'000'000)) return false;
      f.surplusBytes = std::size_t(v);
    } else if (a == "--short-block") {
      if (!number(0, kBig)) return false;
      f.shortBlock = int(v);
    } else if (a == "--short-by") {
      if (!number(1, long(kBlockSize))) return false;
      f.shortBy = std::size_t(v);
    } else if (a == "--corrupt-block") {
      if (!number(0, kBig)) return false;
      f.corruptBlock = int(v);
    } else if (a == "--corrupt-offset") {
      if (!number(0, long(kBlockSize) - 1)) return false;
      f.corruptOffset = std::size_t(v);
    } else if (a == "--vanish-after-block") {
      if (next && std::strcmp(next, "start") == 0) {
        f.vanishAfterBlock = -2;
        ++i;
      } else if (!number(0, kBig)) {
        error = "--vanish-after-block needs a block number or \"start\"";
        return false;
      } else {
        f.vanishAfterBlock = int(v);
      }
    } else if (a == "--parent-pid") {
      if (!number(1, kBig * 2)) return false;
      out.parentPid = v;
    } else {
      error = "unknown option " + a + " (see --help)";
      return false;
    }
  }
  return true;
}

bool loadFlashFile(const std::string& path, CommandLine& cmd, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path;
    return false;
  }
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  int model = cmd.options.modelNumber;
  if (bytes.size() == kImageFileSizeSmall || bytes.size() == kImageFileSizeLarge) {
    const auto tag = findTag(bytes.data());
    if (!tag) {
      error = path + ": image size, but no known tag";
      return false;
    }
    if (!cmd.modelGiven) model = *tag + 1;
    bytes.erase(bytes.begin(), bytes.begin() + long(kTagSize));
  }
  const std::size_t want = std::size_t{blockCountOfIndex(model - 1)} * kBlockSize;
  if (bytes.size() != want) {
    error = path + ": " + std::to_string(bytes.size()) + " bytes of flash, model " +
            std::to_string(model) + " has " + std::to_string(want);
    return false;
  }
  cmd.options.modelNumber = model;
  cmd.options.flash = std::move(bytes);
  return true;
}

}  // namespace quorvane::emu
