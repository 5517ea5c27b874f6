// Sixteen receivers read in parallel through quorvane-cli, against the
// receiver emulator paced at 115200 baud, compared with one receiver read
// alone. Each receiver is one job of the tool's single event loop; a job
// must not be slowed by the others.
//
//   cli_parallel_bench [receivers]   (default 16)
//
// Prints the single job's time, every parallel job's time (from the tool's
// --report) and its deviation, and the CPU time the tool used (getrusage of
// the child) and the emulators used (this process). Exits non-zero when a
// read fails or a parallel job deviates by more than 5 % from the single one.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "receiver_emulator.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr double kTolerance = 0.05;
constexpr int kModel = 1;  // 256 blocks

struct ChildRun {
  int status = -1;
  double wallSeconds = 0;
  double cpuSeconds = 0;  // user + system of the tool
};

double seconds(const timeval& t) {
  return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

ChildRun runTool(const std::vector<std::string>& args) {
  std::vector<std::string> store{QUORVANE_CLI_PATH};
  store.insert(store.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : store) argv.push_back(a.data());
  argv.push_back(nullptr);
  ChildRun run;
  const auto start = Clock::now();
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return run;
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  run.wallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  return run;
}

std::vector<nlohmann::json> records(const std::string& path) {
  std::vector<nlohmann::json> out;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) out.push_back(nlohmann::json::parse(line));
  return out;
}

std::unique_ptr<quorvane::emu::ReceiverEmulator> pacedEmulator() {
  quorvane::emu::EmulatorOptions o;
  o.modelNumber = kModel;
  o.pace = true;
  auto e = std::make_unique<quorvane::emu::ReceiverEmulator>(o);
  if (!e->start()) return nullptr;
  return e;
}

}  // namespace

int main(int argc, char** argv) {
  const int receivers = argc > 1 ? std::atoi(argv[1]) : 16;
  if (receivers < 1) return 2;
  const fs::path dir = fs::temp_directory_path() / ("cli-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  ::unsetenv("QUORVANE_CLI_TEST_TICK_MS");  // the real 50 ms tick

  std::vector<std::unique_ptr<quorvane::emu::ReceiverEmulator>> emus;
  for (int i = 0; i < receivers; ++i) {
    emus.push_back(pacedEmulator());
    if (!emus.back()) {
      std::fprintf(stderr, "cannot start emulator %d\n", i);
      return 1;
    }
  }

  // One receiver alone.
  const std::string singleReport = (dir / "single.jsonl").string();
  const ChildRun single = runTool({"--quiet", "--report", singleReport, "--device",
                                   emus[0]->devicePath(), "read", (dir / "single.bin").string()});
  const auto singleRecords = records(singleReport);
  if (single.status != 0 || singleRecords.size() != 1) {
    std::fprintf(stderr, "single read failed (exit %d)\n", single.status);
    return 1;
  }
  const double t1 = singleRecords[0]["duration_s"].get<double>();
  std::printf("single job: %.3f s (tool CPU %.3f s)\n", t1, single.cpuSeconds);

  rusage selfBefore{};
  getrusage(RUSAGE_SELF, &selfBefore);

  // All of them at once, one event loop.
  const std::string report = (dir / "parallel.jsonl").string();
  std::vector<std::string> args = {"--quiet", "--report", report};
  for (const auto& e : emus) args.insert(args.end(), {"--device", e->devicePath()});
  args.insert(args.end(), {"read", (dir / "rom-{n}.bin").string()});
  const ChildRun parallel = runTool(args);
  const auto parallelRecords = records(report);

  rusage selfAfter{};
  getrusage(RUSAGE_SELF, &selfAfter);
  const double emuCpu = seconds(selfAfter.ru_utime) + seconds(selfAfter.ru_stime) -
                        seconds(selfBefore.ru_utime) - seconds(selfBefore.ru_stime);

  bool ok = parallel.status == 0 && parallelRecords.size() == std::size_t(receivers);
  double worst = 0;
  for (const auto& r : parallelRecords) {
    const double t = r["duration_s"].get<double>();
    const double dev = (t - t1) / t1;
    worst = std::max(worst, std::fabs(dev));
    const bool fine = r["result"] == "ok" && std::fabs(dev) <= kTolerance;
    ok = ok && fine;
    std::printf("  %-14s %.3f s  %+6.2f %%  %s\n", r["device"].get<std::string>().c_str(), t,
                dev * 100, r["result"].get<std::string>().c_str());
  }
  std::printf("%d jobs in parallel: wall %.3f s, worst deviation %.2f %% (target %.0f %%)\n",
              receivers, parallel.wallSeconds, worst * 100, kTolerance * 100);
  std::printf("CPU: tool %.3f s for %d jobs (%.1f %% of one core), emulators %.3f s\n",
              parallel.cpuSeconds, receivers, 100 * parallel.cpuSeconds / parallel.wallSeconds,
              emuCpu);
  std::error_code ec;
  fs::remove_all(dir, ec);
  std::printf("%s\n", ok ? "PASS" : "FAIL");
  return ok ? 0 : 1;
}
