// Everything quorvane-cli prints: results on stdout, failures and progress
// on stderr, trace lines on stdout. Thread-safe (a connect handshake runs
// its blocking wait on a worker thread).
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace quorvane::cli {

using Clock = std::chrono::steady_clock;

struct ConsoleSettings {
  bool quiet = false;
  bool live = false;  // stderr is a terminal: redraw a line per receiver
  int columns = 0;    // the terminal's width; 0: unknown
  std::FILE* out = stdout;
  std::FILE* err = stderr;
};

// One receiver's progress, as the progress line shows it.
struct ProgressState {
  long long done = 0;
  long long count = 0;
  Clock::time_point started{};
  Clock::time_point ended{};  // set once the job has ended
  double bytesPerSecond = 0;
  double secondsLeft = -1;  // unknown
};

class Console {
 public:
  explicit Console(ConsoleSettings settings);

  // A failure line on stderr: "<prefix><text>\n"; printed even when quiet.
  void failure(const std::string& prefix, const std::string& text);
  // A result line on stdout (not when quiet).
  void result(const std::string& prefix, const std::string& text);
  // A trace line on stdout (asked for explicitly, so also when quiet).
  void trace(const std::string& line);

  // A progress line for a receiver; returns its row.
  int addProgress(const std::string& label);
  void updateProgress(int row, long long done, long long count, Clock::time_point now);
  // The receiver's job has ended: its line is final (printed on stderr when
  // not live, frozen when live). `outcome` follows the counter ("ok", ...).
  void finishProgress(int row, const std::string& outcome, Clock::time_point now);

  // The text of a progress line (also used for the final lines).
  static std::string progressLine(const std::string& label, const ProgressState& p, bool withBar);

  bool quiet() const { return settings_.quiet; }

 private:
  struct Row {
    std::string label;
    ProgressState state;
    bool finished = false;
    std::string outcome;
  };
  void clearLive();   // caller holds the lock
  void redrawLive();  // caller holds the lock

  ConsoleSettings settings_;
  std::mutex mutex_;
  std::vector<Row> rows_;
  int drawn_ = 0;  // live rows currently on screen
  Clock::time_point lastDraw_{};
};

}  // namespace quorvane::cli
