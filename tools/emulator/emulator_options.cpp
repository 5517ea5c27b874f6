#include "emulator_options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <type_traits>
#include <utility>
#include <vector>

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

// An option's value: none, a whole number in a range, or any text.
enum class Value { None, Number, Text };

struct OptionSpec {
  const char* name;  // without the leading "--"
  Value value;
  long min = 0, max = 0;  // Number
  // Stores the value; false when it is refused (`why` then says so).
  bool (*store)(CommandLine& c, long number, const char* text, std::string& why);
};

constexpr long kBig = 1L << 30;

// The field a member pointer names in the command line, its options or
// their fault plan.
template <class Owner, class T>
T& fieldOf(CommandLine& c, T Owner::*member) {
  if constexpr (std::is_same_v<Owner, CommandLine>)
    return c.*member;
  else if constexpr (std::is_same_v<Owner, EmulatorOptions>)
    return c.options.*member;
  else
    return c.options.faults.*member;
}

// Stores an option's value in `Member`: true for a flag, the text, or the
// number.
template <auto Member>
bool store(CommandLine& c, long number, const char* text, std::string&) {
  auto& field = fieldOf(c, Member);
  using T = std::remove_reference_t<decltype(field)>;
  if constexpr (std::is_same_v<T, bool>)
    field = true;
  else if constexpr (std::is_same_v<T, std::string>)
    field = text;
  else
    field = T(number);
  return true;
}

bool storeModel(CommandLine& c, long number, const char*, std::string&) {
  c.options.modelNumber = int(number);
  c.modelGiven = true;
  return true;
}

bool storePattern(CommandLine& c, long, const char*, std::string&) {
  c.flashPath.clear();
  return true;
}

bool storeSilentAfterStart(CommandLine& c, long, const char*, std::string&) {
  c.options.faults.silence = FaultPoint::afterStart();
  return true;
}

bool storeSilentAfterBlock(CommandLine& c, long number, const char*, std::string&) {
  // Silence from the start frame on covers every block: given both, it stays.
  if (c.options.faults.silence != FaultPoint::afterStart())
    c.options.faults.silence = FaultPoint::afterBlock(unsigned(number));
  return true;
}

bool storePowerOff(CommandLine& c, long, const char*, std::string&) {
  c.options.poweredOn = false;
  return true;
}

bool storeSaveMs(CommandLine& c, long number, const char*, std::string&) {
  c.options.saveMs = int(number);
  c.saveMsGiven = true;
  return true;
}

bool storeAnswer(CommandLine& c, long, const char* text, std::string& why) {
  static const std::pair<const char*, UpgradeAnswer> kAnswers[] = {
      {"ack0", UpgradeAnswer::Ack0},
      {"ack1", UpgradeAnswer::Ack1},
      {"ack2", UpgradeAnswer::Ack2},
      {"ident", UpgradeAnswer::Ident},
      {"rotate", UpgradeAnswer::Rotate}};
  for (const auto& [word, answer] : kAnswers) {
    if (std::strcmp(text, word) == 0) {
      c.options.upgradeAnswer = answer;
      return true;
    }
  }
  why = "takes ack0, ack1, ack2, ident or rotate";
  return false;
}

bool storeVanish(CommandLine& c, long, const char* text, std::string& why) {
  long block = 0;
  if (std::strcmp(text, "start") == 0) {
    c.options.faults.vanish = FaultPoint::afterStart();
  } else if (toInt(text, 0, kBig, block)) {
    c.options.faults.vanish = FaultPoint::afterBlock(unsigned(block));
  } else {
    why = "needs a block number or \"start\"";
    return false;
  }
  return true;
}

constexpr long kFrameBytes = long(kFrameSize), kBlockBytes = long(kBlockSize);

// Every long option; -h is --help.
const OptionSpec kOptions[] = {
    {"help", Value::None, 0, 0, store<&CommandLine::help>},
    {"version", Value::None, 0, 0, store<&CommandLine::version>},
    {"model", Value::Number, kModelNumberFirst, kModelNumberLast, storeModel},
    {"flash", Value::Text, 0, 0, store<&CommandLine::flashPath>},
    {"pattern", Value::None, 0, 0, storePattern},
    {"save", Value::Text, 0, 0, store<&EmulatorOptions::saveFlashTo>},
    {"answer", Value::Text, 0, 0, storeAnswer},
    {"link", Value::Text, 0, 0, store<&EmulatorOptions::linkPath>},
    {"pace", Value::None, 0, 0, store<&EmulatorOptions::pace>},
    {"baud", Value::Number, kLineBitsPerByte, 100'000'000, store<&EmulatorOptions::baud>},
    {"turnaround", Value::Number, 0, 600'000, store<&EmulatorOptions::blockTurnaroundMs>},
    {"log", Value::Text, 0, 0, store<&CommandLine::logPath>},
    {"silent-after-start", Value::None, 0, 0, storeSilentAfterStart},
    {"silent-after-block", Value::Number, 0, kBig, storeSilentAfterBlock},
    {"wrong-answer", Value::None, 0, 0, store<&FaultPlan::wrongAnswer>},
    {"other-model", Value::Number, kModelNumberFirst, kModelNumberLast,
     store<&FaultPlan::otherModel>},
    {"other-group", Value::None, 0, 0, store<&FaultPlan::otherGroup>},
    {"answer-fault-after-block", Value::Number, 0, kBig, store<&FaultPlan::answerFaultAfterBlock>},
    {"split", Value::Number, 1, kFrameBytes, store<&FaultPlan::splitPieces>},
    {"split-delay", Value::Number, 0, 600'000, store<&FaultPlan::splitDelayMs>},
    {"surplus", Value::Number, 0, 1'000'000, store<&FaultPlan::surplusBytes>},
    {"short-block", Value::Number, 0, kBig, store<&FaultPlan::shortBlock>},
    {"short-by", Value::Number, 1, kBlockBytes, store<&FaultPlan::shortBy>},
    {"corrupt-block", Value::Number, 0, kBig, store<&FaultPlan::corruptBlock>},
    {"corrupt-offset", Value::Number, 0, kBlockBytes - 1, store<&FaultPlan::corruptOffset>},
    {"vanish-after-block", Value::Text, 0, 0, storeVanish},
    {"power-off", Value::None, 0, 0, storePowerOff},
    {"boot-window", Value::Number, 0, 600'000, store<&EmulatorOptions::bootWindowMs>},
    {"save-ms", Value::Number, 0, 600'000, storeSaveMs},
    {"units-dir", Value::Text, 0, 0, store<&EmulatorOptions::unitsDir>},
    {"control", Value::Text, 0, 0, store<&CommandLine::controlPath>},
    {"parent-pid", Value::Number, 1, kBig * 2, store<&CommandLine::parentPid>},
};

// Long options get ids from here on, past every short option character.
constexpr int kFirstLongId = 256;

// Applies one option; `text` is null when its value is missing.
bool applyOption(const OptionSpec& entry, const char* text, CommandLine& out, std::string& error) {
  std::string why;
  long number = 0;
  bool ok = false;
  switch (entry.value) {
    case Value::None:
      ok = entry.store(out, 0, nullptr, why);
      break;
    case Value::Number:
      ok = toInt(text, entry.min, entry.max, number) && entry.store(out, number, text, why);
      if (!ok)
        why =
            "needs a number from " + std::to_string(entry.min) + " to " + std::to_string(entry.max);
      break;
    case Value::Text:
      ok = text && entry.store(out, 0, text, why);
      if (!text) why = "needs a value";
      break;
  }
  if (!ok) error = std::string("--") + entry.name + " " + why;
  return ok;
}

}  // namespace

std::string usageText() {
  return R"(usage: quorvane-emu [options]

Emulates a satellite receiver's service loader on a pseudo-terminal. Prints
the device path on the first line of standard output and serves until it
gets SIGINT, SIGTERM or SIGHUP (or, with --parent-pid, until that process
ends). A value follows its option as the next word or after "="
(--model 5, --model=5).

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
                        last: ident (its IdentFrame, the default), ack0, ack1,
                        ack2 (its family's acknowledgements) or rotate (the
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

Power and boot (without these, a receiver that is always on and in its
loader, and saves in no time):
  --power-off           start switched off: it takes nothing and sends
                        nothing, while the pty stays open
  --boot-window MS      after power-on and after each reboot its loader
                        answers a connection request only within MS; a
                        request in time keeps it in the loader until it is
                        switched off, otherwise it runs its firmware and
                        answers nothing until the next power-on (default 0:
                        always in its loader). Started switched on, it is in
                        its loader already, as if its window had been caught
  --save-ms MS          after the last answer of a complete upgrade it is
                        silent for MS while it saves, then reboots (into its
                        boot window); default 0, or 5000 with --boot-window
                        (receivers save for up to 10 s)
  --units-dir DIR       after each complete upgrade or read, save the unit's
                        flash as DIR/unit-NNNN.bin and log "unit N upgraded"
                        or "unit N read"
  --control PATH        make a FIFO at PATH (removed at exit) and take one
                        command per line from it:
                          on       switch it on
                          off      switch it off
                          swap [MODEL] [silent]
                                   switch it off and put the next unit in its
                                   place, still off: unit number + 1, its own
                                   flash, ModelNumber MODEL if given; silent:
                                   a unit that never answers
                          quit     end the emulator
                        other lines are logged and ignored. Unit 1 has the
                        flash of --flash or --pattern; unit N after it a flash
                        whose every block begins with "UNIT NNNN" (N in four
                        digits), the block number (2 bytes) and the model

Faults (block numbers count from 0):
  --silent-after-start  no answer to a connect request; no answer at all in
                        a read or an upgrade (until the stop frame)
  --silent-after-block N  read: nothing more after sending block N; upgrade:
                        no answer to block N or after it (until the stop frame)
  --wrong-answer        answer with a frame that is neither an IdentFrame nor
                        an acknowledgement (48 61 6C 76 6F 72 6E 65 00 5A 00 00)
  --other-model N       answer with the IdentFrame of ModelNumber N (connect:
                        instead of the acknowledgement); a read then serves
                        N's block count and takes N's IdentFrame as the
                        block acknowledgement
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
  --vanish-after-block N|start  close the pty after block N (read: once the
                        tool has taken it; upgrade: once received), or right
                        after the start frame

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
  std::vector<option> longOptions;
  for (const OptionSpec& entry : kOptions) {
    const int id = kFirstLongId + int(&entry - kOptions);
    longOptions.push_back(
        {entry.name, entry.value == Value::None ? no_argument : required_argument, nullptr, id});
  }
  longOptions.push_back({});
  // getopt_long reorders the words (options first); it does so in a copy.
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) args.push_back(const_cast<char*>(argv[i]));
  args.push_back(nullptr);
  optind = 0;  // start afresh
  opterr = 0;  // the messages are ours
  for (;;) {
    const int id = getopt_long(argc, args.data(), ":h", longOptions.data(), nullptr);
    if (id == -1) break;
    if (id == 'h') {
      out.help = true;
    } else if (id == '?') {
      const bool shortOption = optopt > 0 && optopt < kFirstLongId;
      const std::string word = shortOption ? std::string("-") + char(optopt) : args[optind - 1];
      error = "unknown option " + word + " (see --help)";
      return false;
    } else if (!applyOption(kOptions[(id == ':' ? optopt : id) - kFirstLongId],
                            id == ':' ? nullptr : optarg, out, error)) {
      return false;
    }
  }
  // It takes no other words.
  if (optind < argc) {
    error = std::string("unknown option ") + args[optind] + " (see --help)";
    return false;
  }
  if (out.options.bootWindowMs > 0 && !out.saveMsGiven) out.options.saveMs = kDefaultSaveMs;
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
