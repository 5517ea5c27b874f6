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

#include "text_layout.h"
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

// One option: what the documents say about it (its name is the long
// option's), its value and where it is stored.
struct OptionSpec {
  tools::OptionDoc doc;
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

constexpr const char* kReceiver = "The receiver";
constexpr const char* kLine = "The line";
constexpr const char* kFaults = "Faults (block numbers count from 0)";
constexpr const char* kPower =
    "Power and boot (without these, a receiver that is always on and in its loader, and saves "
    "in no time)";
constexpr const char* kProcess = "Process";
constexpr const char* kModels = "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16";
static_assert(kModelNumberFirst == 1 && kModelNumberLast == 16, "kModels lists every model");

// Every option, in the order --help lists them; -h is --help. Adding one is
// a row here: the parser, --help, the manual page and the completion
// follow.
const OptionSpec kOptions[] = {
    {{.name = "model",
      .value = "N",
      .group = kReceiver,
      .brief = "its ModelNumber, 1..16 (default 1, \"QX_RomFtaAMD1\"); odd numbers have 256 "
               "blocks of flash, even ones 512",
      .detail = "Its model number, 1 to 16 (default 1, \"QX_RomFtaAMD1\"). Odd numbers have 256 "
                "blocks of flash (1 MiB), even ones 512 (2 MiB).",
      .complete = kModels},
     Value::Number,
     kModelNumberFirst,
     kModelNumberLast,
     storeModel},
    {{.name = "flash",
      .value = "FILE",
      .group = kReceiver,
      .brief = "its flash: a raw flash of the model's size or a ROM image file (13-byte tag + "
               "blocks); without --model the image's tag chooses the model",
      .complete = "@file"},
     Value::Text,
     0,
     0,
     store<&CommandLine::flashPath>},
    {{.name = "pattern",
      .group = kReceiver,
      .brief = "a generated, recognisable flash (the default)",
      .detail = "A generated, recognisable flash (the default): each block starts with 'Q' 'B', "
                "the block number (2 bytes, high first) and the model number, then pseudo-random "
                "bytes."},
     Value::None,
     0,
     0,
     storePattern},
    {{.name = "save",
      .value = "FILE",
      .group = kReceiver,
      .brief = "after a complete upgrade, save the flash it received to FILE (raw, no tag)",
      .complete = "@file"},
     Value::Text,
     0,
     0,
     store<&EmulatorOptions::saveFlashTo>},
    {{.name = "answer",
      .value = "KIND",
      .group = kReceiver,
      .brief = "its answer before each upgrade block and after the last: ident (its IdentFrame, "
               "the default), ack0, ack1, ack2 (its family's acknowledgements) or rotate (the "
               "three acknowledgements in turn)",
      .detail = "Its answer before each upgrade block and after the last: ident (its type "
                "answer, the default, so that an image of another type is refused at once), "
                "ack0, ack1, ack2 (its family's acknowledgements, as a receiver that does not "
                "name its type when written) or rotate (the three acknowledgements in turn).",
      .complete = "ident ack0 ack1 ack2 rotate"},
     Value::Text,
     0,
     0,
     storeAnswer},
    {{.name = "link",
      .value = "PATH",
      .group = kLine,
      .brief = "make a symlink to the device at PATH (replaces an older symlink there, never a "
               "file); removed when the emulator ends",
      .complete = "@file"},
     Value::Text,
     0,
     0,
     store<&EmulatorOptions::linkPath>},
    {{.name = "pace",
      .group = kLine,
      .brief = "emulate the line rate in both directions (10 bits per byte); without it, as fast "
               "as the pty allows"},
     Value::None,
     0,
     0,
     store<&EmulatorOptions::pace>},
    {{.name = "baud",
      .value = "N",
      .group = kLine,
      .brief = "the rate for --pace (default 115200)"},
     Value::Number,
     kLineBitsPerByte,
     100'000'000,
     store<&EmulatorOptions::baud>},
    {{.name = "turnaround",
      .value = "MS",
      .group = kLine,
      .brief = "its own time per block: before each block it sends and before each answer to a "
               "block it takes"},
     Value::Number,
     0,
     600'000,
     store<&EmulatorOptions::blockTurnaroundMs>},
    {{.name = "log",
      .value = "FILE|-",
      .group = kLine,
      .brief = "log every frame, in hex and meaning, to FILE or (-) to standard error",
      .complete = "- @file"},
     Value::Text,
     0,
     0,
     store<&CommandLine::logPath>},
    {{.name = "power-off",
      .group = kPower,
      .brief = "start switched off: it takes nothing and sends nothing, while the pty stays open"},
     Value::None,
     0,
     0,
     storePowerOff},
    {{.name = "boot-window",
      .value = "MS",
      .group = kPower,
      .brief = "after power-on and after each reboot its loader answers a connection request only "
               "within MS; a request in time keeps it in the loader until it is switched off, "
               "otherwise it runs its firmware and answers nothing until the next power-on "
               "(default 0: always in its loader). Started switched on, it is in its loader "
               "already, as if its window had been caught"},
     Value::Number,
     0,
     600'000,
     store<&EmulatorOptions::bootWindowMs>},
    {{.name = "save-ms",
      .value = "MS",
      .group = kPower,
      .brief = "after the last answer of a complete upgrade it is silent for MS while it saves, "
               "then reboots (into its boot window); default 0, or 5000 with --boot-window "
               "(receivers save for up to 10 s)"},
     Value::Number,
     0,
     600'000,
     storeSaveMs},
    {{.name = "units-dir",
      .value = "DIR",
      .group = kPower,
      .brief = "after each complete upgrade or read, save the unit's flash as DIR/unit-NNNN.bin "
               "and log \"unit N upgraded\" or \"unit N read\"",
      .complete = "@file"},
     Value::Text,
     0,
     0,
     store<&EmulatorOptions::unitsDir>},
    {{.name = "control",
      .value = "PATH",
      .group = kPower,
      .brief = "make a FIFO at PATH (removed at exit) and take one command per line from it: on "
               "(switch it on), off (switch it off), swap [MODEL] [silent] (switch it off and put "
               "the next unit in its place, still off: unit number + 1, its own flash, ModelNumber "
               "MODEL if given; silent: a unit that never answers), quit (end the emulator); other "
               "lines are logged and ignored. Unit 1 has the flash of --flash or --pattern; unit N "
               "after it a flash whose every block begins with \"UNIT NNNN\" (N in four digits), "
               "the block number (2 bytes) and the model",
      .complete = "@file"},
     Value::Text,
     0,
     0,
     store<&CommandLine::controlPath>},
    {{.name = "silent-after-start",
      .group = kFaults,
      .brief = "no answer to a connect request; no answer at all in a read or an upgrade (until "
               "the stop frame)"},
     Value::None,
     0,
     0,
     storeSilentAfterStart},
    {{.name = "silent-after-block",
      .value = "N",
      .group = kFaults,
      .brief = "read: nothing more after sending block N; upgrade: no answer to block N or after "
               "it (until the stop frame)"},
     Value::Number,
     0,
     kBig,
     storeSilentAfterBlock},
    {{.name = "wrong-answer",
      .group = kFaults,
      .brief = "answer with a frame that is neither an IdentFrame nor an acknowledgement (48 61 "
               "6C 76 6F 72 6E 65 00 5A 00 00)"},
     Value::None,
     0,
     0,
     store<&FaultPlan::wrongAnswer>},
    {{.name = "other-model",
      .value = "N",
      .group = kFaults,
      .brief = "answer with the IdentFrame of ModelNumber N (connect: instead of the "
               "acknowledgement); a read then serves N's block count and takes N's IdentFrame as "
               "the block acknowledgement",
      .complete = kModels},
     Value::Number,
     kModelNumberFirst,
     kModelNumberLast,
     store<&FaultPlan::otherModel>},
    {{.name = "other-group",
      .group = kFaults,
      .brief = "upgrade: answer from the other family's acknowledgements"},
     Value::None,
     0,
     0,
     store<&FaultPlan::otherGroup>},
    {{.name = "answer-fault-after-block",
      .value = "N",
      .group = kFaults,
      .brief = "upgrade: the three answer faults above touch only the answers after block N",
      .detail = "Upgrade: --wrong-answer, --other-model and --other-group touch only the answers "
                "after block N."},
     Value::Number,
     0,
     kBig,
     store<&FaultPlan::answerFaultAfterBlock>},
    {{.name = "split",
      .value = "N",
      .group = kFaults,
      .brief = "send every answer in N pieces ..."},
     Value::Number,
     1,
     kFrameBytes,
     store<&FaultPlan::splitPieces>},
    {{.name = "split-delay",
      .value = "MS",
      .group = kFaults,
      .brief = "... with this pause between them"},
     Value::Number,
     0,
     600'000,
     store<&FaultPlan::splitDelayMs>},
    {{.name = "surplus",
      .value = "N",
      .group = kFaults,
      .brief = "N stray bytes (0xE5) after every answer and block"},
     Value::Number,
     0,
     1'000'000,
     store<&FaultPlan::surplusBytes>},
    {{.name = "short-block",
      .value = "N",
      .group = kFaults,
      .brief = "read: block N sent short (see --short-by), then silence"},
     Value::Number,
     0,
     kBig,
     store<&FaultPlan::shortBlock>},
    {{.name = "short-by",
      .value = "N",
      .group = kFaults,
      .brief = "bytes missing from the short block (default 1)"},
     Value::Number,
     1,
     kBlockBytes,
     store<&FaultPlan::shortBy>},
    {{.name = "corrupt-block",
      .value = "N",
      .group = kFaults,
      .brief = "read: one byte of block N flipped (XOR 0xFF) ..."},
     Value::Number,
     0,
     kBig,
     store<&FaultPlan::corruptBlock>},
    {{.name = "corrupt-offset",
      .value = "N",
      .group = kFaults,
      .brief = "... at this offset in the block (default 0)"},
     Value::Number,
     0,
     kBlockBytes - 1,
     store<&FaultPlan::corruptOffset>},
    {{.name = "vanish-after-block",
      .value = "N|start",
      .group = kFaults,
      .brief = "close the pty after block N (read: once the tool has taken it; upgrade: once "
               "received), or right after the start frame",
      .complete = "start"},
     Value::Text,
     0,
     0,
     storeVanish},
    {{.name = "parent-pid",
      .value = "PID",
      .group = kProcess,
      .brief = "exit when process PID no longer exists"},
     Value::Number,
     1,
     kBig * 2,
     store<&CommandLine::parentPid>},
    {{.name = "help", .shortName = 'h', .group = kProcess, .brief = "this text"},
     Value::None,
     0,
     0,
     store<&CommandLine::help>},
    {{.name = "version", .group = kProcess, .brief = "the program's name and version"},
     Value::None,
     0,
     0,
     store<&CommandLine::version>},
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
  if (!ok) error = "--" + std::string(entry.doc.name) + " " + why;
  return ok;
}

}  // namespace

tools::ToolDoc emulatorDoc() {
  tools::ToolDoc doc{.program = "quorvane-emu", .usage = {"[options]"}};
  for (const OptionSpec& o : kOptions) doc.options.push_back(o.doc);
  doc.exitStatus = {{"0", "stopped by a signal or by the end of the parent process"},
                    {"1", "the flash file, the log or the pseudo-terminal cannot be opened"},
                    {"2", "a bad option"}};
  doc.examples = {
      {"A 2 MiB CI receiver on a link that COM1 points at, logging every frame:",
       "quorvane-emu --model 6 --link /tmp/com1 --log - &\nQUORVANE_COM1=/tmp/com1 quorvane"},
      {"Make a ROM image without hardware (as a script: the emulator's link is waited for "
       "before the read starts):",
       "quorvane-emu --model 5 --link /tmp/com1 &\nwhile [ ! -e /tmp/com1 ]; do sleep 0.1; "
       "done\nquorvane-cli --device /tmp/com1 read rom.bin\nkill $!"}};
  return doc;
}

std::string usageText() {
  const tools::ToolDoc doc = emulatorDoc();
  auto paragraph = [](std::string_view text) {
    return tools::wrapText("", text, 0, tools::kHelpWidth);
  };
  return tools::usageHelp(doc) + "\n" +
         paragraph(
             "Emulates a satellite receiver's service loader on a pseudo-terminal. Prints the "
             "device path on the first line of standard output and serves until it gets SIGINT, "
             "SIGTERM or SIGHUP (or, with --parent-pid, until that process ends). A value follows "
             "its option as the next word or after \"=\" (--model 5, --model=5).") +
         "\n" + tools::optionsHelp(doc, 24) + "\n" +
         paragraph(
             "How it tells upgrade blocks from frames: while an upgrade block is due, 12 bytes "
             "equal to the stop frame at the start of a block are the stop frame; anything else "
             "is block data, taken 4096 bytes at a time.");
}

bool parseCommandLine(int argc, const char* const* argv, CommandLine& out, std::string& error) {
  std::vector<option> longOptions;
  for (const OptionSpec& entry : kOptions) {
    const int id = kFirstLongId + int(&entry - kOptions);
    longOptions.push_back({entry.doc.name.data(),
                           entry.value == Value::None ? no_argument : required_argument, nullptr,
                           id});
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
