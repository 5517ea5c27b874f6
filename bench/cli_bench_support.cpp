#include "cli_bench_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "loader_model.h"
#include "machine/tick_machine.h"
#include "serial/protocol.h"
#include "serial/serial_port.h"
#include "transfer/rom_type.h"

extern char** environ;

namespace quorvane::bench {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double seconds(const timeval& t) {
  return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

std::vector<nlohmann::json> readRecords(const std::string& path) {
  std::vector<nlohmann::json> out;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) out.push_back(nlohmann::json::parse(line, nullptr, false));
  return out;
}

// A trace line of a block: "  12.345 DEVICE <- block 17 (4096 bytes)".
bool blockLine(const std::string& line, double& time, std::string& device) {
  std::istringstream in(line);
  std::string direction, word;
  if (!(in >> time >> device >> direction >> word)) return false;
  return word == "block";
}

}  // namespace

double blockLineSeconds() {
  return double(kBlockSize + kFrameSize) * std::chrono::duration<double>(lineByteTime()).count();
}

double lineBound(unsigned blocks, int turnaroundMs) {
  return blocks * (blockLineSeconds() + turnaroundMs / 1000.0);
}

double blockTickSeconds(int turnaroundMs) {
  const double tick = kTickMs / 1000.0;
  return std::ceil((blockLineSeconds() + turnaroundMs / 1000.0) / tick) * tick;
}

CliRun runCli(const std::vector<std::string>& args, const std::string& dir, std::size_t devices,
              unsigned stopAfter) {
  CliRun run;
  static std::atomic<int> serial = 0;  // runs may go at once
  const std::string report = dir + "/report-" + std::to_string(++serial) + ".jsonl";
  std::vector<std::string> words{QUORVANE_CLI_PATH, "--quiet", "--report", report};
  if (stopAfter > 0) words.push_back("--trace");
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  // Its stdout (the trace) comes through a pipe; nothing else is read.
  int out[2];
  if (pipe(out) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addclose(&actions, out[1]);
  const auto start = Clock::now();
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) {
    close(out[0]);
    return run;
  }

  // Its peak memory, sampled while it runs: wait4's ru_maxrss would also
  // count this process, whose memory the child shares until it executes.
  std::atomic<bool> ended = false;
  std::atomic<long> peakKiB = 0;
  std::thread sampler([&] {
    const std::string status = "/proc/" + std::to_string(pid) + "/status";
    for (; !ended; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
      std::ifstream in(status);
      for (std::string line; std::getline(in, line);)
        if (line.rfind("VmHWM:", 0) == 0)
          peakKiB = std::max(peakKiB.load(), std::atol(line.c_str() + 6));
    }
  });

  std::FILE* trace = fdopen(out[0], "r");
  bool stopped = false;
  char* line = nullptr;
  std::size_t size = 0;
  while (trace && getline(&line, &size, trace) > 0) {
    double time = 0;
    std::string device;
    if (stopAfter == 0 || !blockLine(line, time, device)) continue;
    run.blockTimes[device].push_back(time);
    if (stopped || run.blockTimes.size() < devices) continue;
    bool all = true;
    for (const auto& [name, times] : run.blockTimes) all = all && times.size() > stopAfter;
    if (all) {
      kill(pid, SIGINT);  // Ctrl-C: the jobs end, cancelled
      stopped = true;
    }
  }
  std::free(line);
  if (trace) std::fclose(trace);

  int status = 0;
  rusage usage{};
  // Sampled until it has exited (a zombie's status has no VmHWM any more).
  siginfo_t info{};
  waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT);
  ended = true;
  sampler.join();
  wait4(pid, &status, 0, &usage);
  run.wallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  run.peakKiB = peakKiB;
  run.records = readRecords(report);
  return run;
}

const std::vector<double>& blockTimesOf(const CliRun& run, const std::string& device) {
  static const std::vector<double> kNone;
  const auto it = run.blockTimes.find(device);
  return it == run.blockTimes.end() ? kNone : it->second;
}

double secondsPerBlock(const std::vector<double>& times) {
  if (times.size() < 2) return 0;
  return (times.back() - times.front()) / double(times.size() - 1);
}

std::unique_ptr<emu::ReceiverEmulator> pacedEmulator(int model, int turnaroundMs, bool blank) {
  emu::EmulatorOptions o;
  o.modelNumber = model;
  o.pace = true;
  o.blockTurnaroundMs = turnaroundMs;
  if (blank) o.flash.assign(std::size_t{romType(model - 1).blockCount} * kBlockSize, 0xFF);
  auto e = std::make_unique<emu::ReceiverEmulator>(o);
  if (!e->start()) return nullptr;
  return e;
}

std::vector<std::unique_ptr<emu::ReceiverEmulator>> pacedEmulators(int count, bool blank) {
  std::vector<std::unique_ptr<emu::ReceiverEmulator>> emus;
  for (int i = 0; i < count; ++i) {
    emus.push_back(pacedEmulator(kManyModel, 0, blank));
    if (!emus.back()) {
      std::fprintf(stderr, "cannot start emulator %d\n", i);
      return {};
    }
  }
  return emus;
}

std::string writePatternImage(int model, const std::string& dir) {
  const std::string path = dir + "/image-" + std::to_string(model) + ".bin";
  const auto tag = romType(model - 1).tagText;
  const std::vector<std::uint8_t> flash = emu::patternFlash(model);
  std::ofstream f(path, std::ios::binary);
  f.write(tag.data(), std::streamsize(tag.size()));
  f.write(reinterpret_cast<const char*>(flash.data()), std::streamsize(flash.size()));
  return f.good() ? path : std::string();
}

std::string makeTempDir(const std::string& name) {
  std::string pattern = (fs::temp_directory_path() / (name + "-XXXXXX")).string();
  if (!mkdtemp(pattern.data())) return {};
  return pattern;
}

bool quickMode(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--quick") == 0) return true;
  return false;
}

bool check(const std::string& name, double value, double low, double high, const char* unit) {
  const bool ok = value >= low && value <= high;
  std::printf("  %-44s %8.4f%s  (target %.4f..%.4f)  %s\n", name.c_str(), value, unit, low, high,
              ok ? "PASS" : "FAIL");
  std::fflush(stdout);
  return ok;
}

int countArgument(int argc, char** argv, int otherwise) {
  for (int i = 1; i < argc; ++i)
    if (std::atoi(argv[i]) > 0) otherwise = std::atoi(argv[i]);
  return otherwise;
}

int finish(bool ok, const std::string& dir) {
  std::error_code ec;
  fs::remove_all(dir, ec);
  std::printf("%s\n", ok ? "PASS" : "FAIL");
  return ok ? 0 : 1;
}

bool checkToolCpu(const std::string& name, const CliRun& run) {
  return check(name, run.cpuSeconds / run.wallSeconds * 100, 0.0, kManyCpuShare * 100, " %");
}

}  // namespace quorvane::bench
