// Everything quorvane-cli prints: results on stdout, failures and progress
// on stderr, trace lines on stdout.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace quorvane::cli {

using Clock = std::chrono::steady_clock;

struct ConsoleSettings {
  bool quiet = false;
  bool live = false;        // redraw a line per receiver (see redrawable)
  std::size_t columns = 0;  // live: the terminal's width; 0: ask the terminal
  bool terminal = false;    // stderr is a terminal: explanations and final lines fit its width
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
  // The tool's own line under a failure, or a note, on stderr (also when
  // quiet); on a terminal wrapped at spaces to its width.
  void explain(const std::string& prefix, const std::string& text);
  // A result line on stdout (not when quiet).
  void result(const std::string& prefix, const std::string& text);
  // A trace line on stdout (asked for explicitly, so also when quiet).
  void trace(const std::string& line);

  // A progress line for a receiver; returns its row.
  // The first `keepColumns` of the label stay on a narrow live line (a
  // station's slot): the counter and the outcome give way first.
  int addProgress(const std::string& label, std::size_t keepColumns = 0);
  // The counter as the transfer shows it while it runs.
  void updateProgress(int row, long long done, long long count, Clock::time_point now);
  // The receiver's job has ended: its line is final (printed on stderr when
  // not live, frozen when live). `done` of `count` are the blocks actually
  // taken or sent, as the report has them; `outcome` follows ("ok", ...).
  void finishProgress(int row, const std::string& outcome, Clock::time_point now, long long done,
                      long long count);

  // A finished row leaves the live lines: its final line stays above them
  // (the station's rows, one per unit, would otherwise pile up).
  void retireProgress(int row);

  // A finished row still on the live lines shows `outcome` from now on
  // (what became of its receiver since); otherwise nothing happens.
  void setOutcome(int row, const std::string& outcome);

  // Rows are redrawn in place.
  bool live() const { return settings_.live && !settings_.quiet; }

 private:
  struct Row {
    std::string label;
    ProgressState state;
    bool finished = false;
    std::string outcome;
    bool retired = false;
    std::size_t keep = 0;
  };
  void clearLive();
  void redrawLive();

  ConsoleSettings settings_;
  std::vector<Row> rows_;
  int drawn_ = 0;  // live rows currently on screen
  Clock::time_point lastDraw_{};
};

// Whether progress may be redrawn in place on a stream: a terminal whose
// TERM is set and not "dumb".
bool redrawable(bool isTerminal, const char* term);

// The width of the terminal stderr shows on: its window size, else
// COLUMNS, else 80.
std::size_t liveColumns();

// "<label>: 256/256 blocks 10240 B/s in 102.4 s <outcome>", the final line
// when progress is not redrawn.
std::string finalProgressLine(const std::string& label, const ProgressState& p,
                              const std::string& outcome);

// A redrawn line, "<label>: 120/256 blocks [####....] 10240 B/s left 0:54"
// (or the final line once `finished`), that never wraps on a terminal of
// `columns` columns: the bar narrows and goes first, then the rate and time
// left, then the label loses its middle; the block count and the outcome
// are never cut, unless the label's first `keepColumns` must stay: then the
// counter and the outcome go before them.
std::string liveProgressLine(const std::string& label, const ProgressState& p, bool finished,
                             const std::string& outcome, std::size_t columns,
                             std::size_t keepColumns = 0);

// `text` in at most `columns` characters: when longer, the middle gives way
// to "...", keeping a third of the room for the start and the rest for the
// end, where device names differ ("/dev/seri..._A50285BI-if00-port0").
std::string shortenMiddle(const std::string& text, std::size_t columns);

}  // namespace quorvane::cli
