#include "station/ui/station_setup.h"

#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/atomic_file.h"
#include "serial/port_map.h"

namespace quorvane::station {

namespace {

bool parseNumber(std::string_view text, long long& value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return !text.empty() && ec == std::errc() && ptr == end;
}

// "COM3" -> a COM slot; anything else is a device path.
SlotChoice slotOfLabel(std::string_view label) {
  long long n = 0;
  if (label.size() > 3 && label.substr(0, 3) == "COM" && parseNumber(label.substr(3), n) &&
      n >= 1 && n <= kMaxMappedPort)
    return SlotChoice{n, {}};
  return SlotChoice{0, std::string(label)};
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

}  // namespace

std::string SlotChoice::label() const {
  return port > 0 ? "COM" + std::to_string(port) : device;
}

LaunchOptions parseLaunchOptions(const std::vector<std::string>& args, const StationSetup& stored) {
  LaunchOptions o;
  o.setup = stored;
  std::vector<SlotChoice> given;
  std::vector<std::string> operands;
  bool verifyGiven = false;
  bool verify = true;
  std::string backup, logDir;
  bool backupGiven = false, logGiven = false;

  auto fail = [&](std::string message) {
    if (o.error.empty()) o.error = std::move(message);
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string word = args[i];
    std::string value;
    bool hasValue = false;
    if (word.rfind("--", 0) == 0) {
      if (const auto eq = word.find('='); eq != std::string::npos) {
        value = word.substr(eq + 1);
        word.resize(eq);
        hasValue = true;
      }
    }
    auto takeValue = [&](const char* what) -> bool {
      if (hasValue) return true;
      if (i + 1 < args.size()) {
        value = args[++i];
        return true;
      }
      fail(word + " needs " + what);
      return false;
    };
    if (word == "--help" || word == "-h") {
      o.help = true;
    } else if (word == "--version") {
      o.version = true;
    } else if (word == "--start") {
      o.start = true;
    } else if (word == "--lock") {
      o.setup.locked = true;
    } else if (word == "--confirm") {
      o.setup.confirmEachUnit = true;
    } else if (word == "--verify" || word == "--no-verify") {
      verifyGiven = true;
      verify = word == "--verify";
    } else if (word == "--port") {
      if (!takeValue("a COM number")) continue;
      long long n = 0;
      if (!parseNumber(value, n) || n < 1 || n > kMaxMappedPort) {
        fail("--port needs a COM number from 1 to " + std::to_string(kMaxMappedPort) + ", not \"" +
             value + "\"");
        continue;
      }
      given.push_back({n, {}});
    } else if (word == "--device") {
      if (!takeValue("a device path")) continue;
      if (value.empty()) {
        fail("--device needs a device path");
        continue;
      }
      given.push_back({0, value});
    } else if (word == "--max-failures") {
      if (!takeValue("a number")) continue;
      long long n = 0;
      if (!parseNumber(value, n) || n < 0 || n > 1000000) {
        fail("--max-failures needs a number from 0 on, not \"" + value + "\"");
        continue;
      }
      o.setup.maxFailures = static_cast<int>(n);
    } else if (word == "--backup") {
      if (takeValue("a folder")) backup = value, backupGiven = true;
    } else if (word == "--log-dir") {
      if (takeValue("a folder")) logDir = value, logGiven = true;
    } else if (word.size() > 1 && word[0] == '-') {
      fail("unknown option " + word);
    } else {
      operands.push_back(args[i]);
    }
  }
  if (o.help || o.version) return o;

  for (std::size_t a = 0; a < given.size(); ++a)
    for (std::size_t b = 0; b < a; ++b)
      if (given[a] == given[b]) fail(given[a].label() + " given twice");
  if (!given.empty()) {
    o.setup.slotList = given;
    o.slotsGiven = true;
  }
  if (!operands.empty()) {
    if (operands.size() != 2 || (operands[0] != "upgrade" && operands[0] != "read")) {
      fail("the job is \"upgrade IMAGE\" or \"read DIR\"");
    } else if (operands[0] == "upgrade") {
      o.setup.job = StationJob::Upgrade;
      o.setup.image = operands[1];
      o.jobGiven = true;
    } else {
      o.setup.job = StationJob::Read;
      o.setup.readFolder = operands[1];
      o.jobGiven = true;
    }
  }
  if ((verifyGiven || backupGiven) && !(o.jobGiven && o.setup.job == StationJob::Upgrade))
    fail(std::string(backupGiven ? "--backup"
                     : verify    ? "--verify"
                                 : "--no-verify") +
         " goes with upgrade IMAGE");
  if (verifyGiven) o.setup.verify = verify;
  if (o.jobGiven && o.setup.job == StationJob::Upgrade) {
    if (!verifyGiven) o.setup.verify = true;
    o.setup.backupFolder = backup;
  }
  if (logGiven) o.setup.logFolder = logDir;
  if (o.start && o.setup.slotList.empty()) fail("--start needs a --port or --device");
  if (o.start && (o.setup.job == StationJob::Upgrade ? o.setup.image : o.setup.readFolder).empty())
    fail("--start needs a job: upgrade IMAGE or read DIR");
  return o;
}

std::string launchHelp() {
  return "usage: quorvane-station [--port N | --device PATH]... [JOB] [--confirm]\n"
         "                        [--max-failures N] [--log-dir DIR] [--start] [--lock]\n"
         "       quorvane-station --help | --version\n"
         "The Quorvane station: one window that upgrades or reads many receivers, one\n"
         "slot per serial port. Each slot waits for a receiver, runs the job the moment\n"
         "one answers, shows how it ended and then waits for the next one.\n"
         "\n"
         "  --port N         a slot on COM N (the port map, as in quorvane-cli map)\n"
         "  --device PATH    a slot on this serial device\n"
         "  upgrade IMAGE    the job: write IMAGE into every unit\n"
         "    --verify       read each unit back and compare it with IMAGE (the default)\n"
         "    --no-verify    don't\n"
         "    --backup DIR   read each unit into DIR before writing it\n"
         "  read DIR         the job: read every unit into its own file in DIR\n"
         "  --confirm        a slot takes its next unit when the operator presses its\n"
         "                   Next unit button, not after the receiver has been gone 15 s\n"
         "  --max-failures N stop a slot after N failures in a row (default 3; 0: never)\n"
         "  --log-dir DIR    append one JSON line per unit to DIR/station-log.jsonl\n"
         "  --start          start the station at once\n"
         "  --lock           lock the profile (unlocked from the window)\n"
         "\n"
         "Slots and a job given here replace the ones kept from the last run. The slots,\n"
         "the profile and the window's size are kept in station.conf beside ports.conf\n"
         "in the user's configuration folder.\n";
}

// ---- station.conf ----

std::string setupText(const StationSetup& s) {
  std::ostringstream out;
  out << "# quorvane-station settings\n";
  for (const SlotChoice& slot : s.slotList) out << "slot=" << slot.label() << "\n";
  out << "job=" << (s.job == StationJob::Upgrade ? "upgrade" : "read") << "\n";
  out << "image=" << s.image << "\n";
  out << "read-folder=" << s.readFolder << "\n";
  out << "verify=" << (s.verify ? 1 : 0) << "\n";
  out << "backup=" << s.backupFolder << "\n";
  out << "log-dir=" << s.logFolder << "\n";
  out << "confirm=" << (s.confirmEachUnit ? 1 : 0) << "\n";
  out << "max-failures=" << s.maxFailures << "\n";
  out << "lock=" << (s.locked ? 1 : 0) << "\n";
  if (s.width > 0 && s.height > 0) out << "size=" << s.width << "x" << s.height << "\n";
  return out.str();
}

StationSetup parseSetupText(std::string_view text) {
  StationSetup s;
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    const auto eq = line.find('=');
    if (line.empty() || line.front() == '#' || eq == std::string_view::npos) continue;
    const std::string_view key = trim(line.substr(0, eq));
    const std::string_view value = trim(line.substr(eq + 1));
    if (key == "slot" && !value.empty()) {
      const SlotChoice slot = slotOfLabel(value);
      bool seen = false;
      for (const SlotChoice& other : s.slotList) seen = seen || other == slot;
      if (!seen) s.slotList.push_back(slot);
    } else if (key == "job" && (value == "upgrade" || value == "read")) {
      s.job = value == "upgrade" ? StationJob::Upgrade : StationJob::Read;
    } else if (key == "image") {
      s.image = value;
    } else if (key == "read-folder") {
      s.readFolder = value;
    } else if (key == "verify" && (value == "0" || value == "1")) {
      s.verify = value == "1";
    } else if (key == "backup") {
      s.backupFolder = value;
    } else if (key == "log-dir") {
      s.logFolder = value;
    } else if (key == "confirm" && (value == "0" || value == "1")) {
      s.confirmEachUnit = value == "1";
    } else if (key == "max-failures") {
      long long n = 0;
      if (parseNumber(value, n) && n >= 0 && n <= 1000000) s.maxFailures = static_cast<int>(n);
    } else if (key == "lock" && (value == "0" || value == "1")) {
      s.locked = value == "1";
    } else if (key == "size") {
      const auto x = value.find('x');
      long long w = 0, h = 0;
      if (x != std::string_view::npos && parseNumber(value.substr(0, x), w) &&
          parseNumber(value.substr(x + 1), h) && w > 0 && h > 0 && w < 100000 && h < 100000) {
        s.width = static_cast<int>(w);
        s.height = static_cast<int>(h);
      }
    }
  }
  return s;
}

std::string stationSettingsPath() {
  // Beside the port map, in the program's own folder of the user's
  // configuration.
  const std::string map = portMapPath();
  return map.empty() ? std::string{}
                     : (std::filesystem::path(map).parent_path() / "station.conf").string();
}

StationSetup loadStationSetup() {
  const std::string path = stationSettingsPath();
  if (path.empty()) return {};
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream text;
  text << in.rdbuf();
  return parseSetupText(text.str());
}

bool saveStationSetup(const StationSetup& setup, SystemError& why) {
  const std::string path = stationSettingsPath();
  if (path.empty()) {
    why = SystemError::of("no configuration folder", ErrorKind::NotFound);
    return false;
  }
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  const std::string text = setupText(setup);
  AtomicFileWriter file;
  if (!file.open(path) || !file.write(text.data(), text.size()) || !file.commit()) {
    why = file.lastError();
    return false;
  }
  return true;
}

}  // namespace quorvane::station
