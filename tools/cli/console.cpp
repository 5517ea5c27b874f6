#include "console.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/notice.h"
#include "cli_platform.h"
#include "serial/protocol.h"
#include "text_layout.h"

namespace quorvane::cli {

using tools::columnsOf;
using tools::offsetOfColumn;
using tools::wrapText;

namespace {
constexpr std::size_t kBarWidth = 24;
constexpr std::size_t kMinBarWidth = 10;
constexpr std::size_t kDefaultColumns = 80;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
const std::string kEllipsis = "...";

std::string formatSeconds(double s) {
  if (s < 0) return "--:--";
  const long long t = std::llround(s);
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld", t / 60, t % 60);
  return text;
}

// "120/256 blocks [####....] 10240 B/s left 0:54" (no bar for width 0), or
// once ended "256/256 blocks 10240 B/s in 102.4 s".
std::string progressText(const ProgressState& p, std::size_t barWidth, bool ended) {
  std::string text = blockCounterText(p.done, p.count);
  if (barWidth > 0) {
    const long long done = std::clamp<long long>(p.done, 0, p.count);
    const std::size_t filled =
        p.count > 0 ? static_cast<std::size_t>(done * static_cast<long long>(barWidth) / p.count)
                    : 0;
    text += " [" + std::string(filled, '#') + std::string(barWidth - filled, '.') + "]";
  }
  char rate[96];
  std::snprintf(rate, sizeof rate, " %.0f B/s", p.bytesPerSecond);
  text += rate;
  if (!ended) return text + " left " + formatSeconds(p.secondsLeft);
  const Clock::time_point end = p.ended == Clock::time_point{} ? Clock::now() : p.ended;
  char took[48];
  std::snprintf(took, sizeof took, " in %.1f s",
                std::chrono::duration<double>(end - p.started).count());
  return text + took;
}
}  // namespace

// ---- lines -------------------------------------------------------------------

std::string shortenMiddle(const std::string& text, std::size_t columns) {
  const std::size_t have = columnsOf(text);
  if (have <= columns) return text;
  if (columns <= kEllipsis.size()) return text.substr(0, offsetOfColumn(text, columns));
  const std::size_t keep = columns - kEllipsis.size();
  const std::size_t head = keep / 3;
  return text.substr(0, offsetOfColumn(text, head)) + kEllipsis +
         text.substr(offsetOfColumn(text, have - (keep - head)));
}

std::string finalProgressLine(const std::string& label, const ProgressState& p,
                              const std::string& outcome) {
  return label + ": " + progressText(p, 0, true) + (outcome.empty() ? "" : " " + outcome);
}

std::string liveProgressLine(const std::string& label, const ProgressState& p, bool finished,
                             const std::string& outcome, std::size_t columns,
                             std::size_t keepColumns) {
  // The last column is left free: some terminals wrap as soon as it is written.
  const std::size_t room = columns > 1 ? columns - 1 : 1;
  const std::string separator = ": ";
  const std::string counter = blockCounterText(p.done, p.count);
  const std::string tail = outcome.empty() ? "" : " " + outcome;
  const std::string full = progressText(p, 0, finished).substr(counter.size());  // " 10240 B/s ..."
  const std::size_t labelColumns = columnsOf(label);
  const std::size_t fixed = labelColumns + separator.size() + counter.size() + tail.size();
  // As the room narrows: the bar narrows and goes, then the rate and time
  // left, then the middle of the label; the counter and the outcome stay.
  std::string middle;
  if (!finished && fixed + full.size() + 3 + kMinBarWidth <= room) {
    const std::size_t bar = std::min(kBarWidth, room - fixed - full.size() - 3);
    middle = progressText(p, bar, false).substr(counter.size());
  } else if (fixed + full.size() <= room) {
    middle = full;
  }
  const std::string text = counter + middle + tail;
  if (labelColumns + separator.size() + text.size() <= room) return label + separator + text;
  if (const std::size_t keep = std::min(keepColumns, labelColumns); keep > 0) {
    // The label's head stays: the rest of the label loses its middle, then
    // the counter and the outcome go.
    const std::size_t at = offsetOfColumn(label, keep);
    if (room < keep + separator.size() + text.size())
      return shortenMiddle(label.substr(0, at), room);
    return label.substr(0, at) +
           shortenMiddle(label.substr(at), room - keep - separator.size() - text.size()) +
           separator + text;
  }
  if (room < text.size() + separator.size() + 1) return text;  // no room for any of the label
  return shortenMiddle(label, room - text.size() - separator.size()) + separator + text;
}

bool redrawable(bool isTerminal, const char* term) {
  return isTerminal && term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
}

std::size_t liveColumns() {
  if (const int columns = terminalColumns(); columns > 0) return static_cast<std::size_t>(columns);
  if (const char* columns = std::getenv("COLUMNS")) {
    char* end = nullptr;
    const long n = std::strtol(columns, &end, 10);
    if (end != columns && *end == '\0' && n > 0) return static_cast<std::size_t>(n);
  }
  return kDefaultColumns;
}

// ---- Console -------------------------------------------------------------------

Console::Console(ConsoleSettings settings) : settings_(settings) {}

void Console::failure(const std::string& prefix, const std::string& text) {
  clearLive();
  std::fprintf(settings_.err, "%s%s\n", prefix.c_str(), text.c_str());
  std::fflush(settings_.err);
  redrawLive();
}

void Console::explain(const std::string& prefix, const std::string& text) {
  if (!settings_.terminal) return failure(prefix, text);
  // Wrapped at spaces to the terminal's width; further lines indented.
  std::string lines = wrapText(prefix, text, 2, std::max<std::size_t>(liveColumns(), 20) - 1);
  lines.pop_back();
  failure("", lines);
}

void Console::result(const std::string& prefix, const std::string& text) {
  if (settings_.quiet) return;
  clearLive();
  std::fprintf(settings_.out, "%s%s\n", prefix.c_str(), text.c_str());
  std::fflush(settings_.out);
  redrawLive();
}

void Console::trace(const std::string& line) {
  clearLive();
  std::fprintf(settings_.out, "%s\n", line.c_str());
  std::fflush(settings_.out);
  redrawLive();
}

int Console::addProgress(const std::string& label, std::size_t keepColumns) {
  rows_.push_back({label, {}, false, {}, false, keepColumns});
  rows_.back().state.started = Clock::now();
  return static_cast<int>(rows_.size()) - 1;
}

void Console::updateProgress(int row, long long done, long long count, Clock::time_point now) {
  ProgressState& p = rows_.at(static_cast<std::size_t>(row)).state;
  p.done = done;
  p.count = count;
  const double elapsed = std::chrono::duration<double>(now - p.started).count();
  if (elapsed > 0 && done > 0) {
    p.bytesPerSecond = double(done) * double(kBlockSize) / elapsed;
    p.secondsLeft = double(count - done) * double(kBlockSize) / p.bytesPerSecond;
  }
  if (!settings_.live || settings_.quiet) return;
  if (now - lastDraw_ < kRedrawInterval && done != count) return;
  lastDraw_ = now;
  clearLive();
  redrawLive();
}

void Console::finishProgress(int row, const std::string& outcome, Clock::time_point now,
                             long long done, long long count) {
  Row& r = rows_.at(static_cast<std::size_t>(row));
  if (r.finished) return;
  r.finished = true;
  r.outcome = outcome;
  r.state.done = done;
  r.state.count = count;
  const double elapsed = std::chrono::duration<double>(now - r.state.started).count();
  if (elapsed > 0) r.state.bytesPerSecond = double(done) * double(kBlockSize) / elapsed;
  r.state.secondsLeft = 0;
  r.state.ended = now;
  if (settings_.quiet) return;
  if (settings_.live) {
    clearLive();
    redrawLive();
    return;
  }
  const std::string line =
      settings_.terminal ? liveProgressLine(r.label, r.state, true, outcome, liveColumns(), r.keep)
                         : finalProgressLine(r.label, r.state, outcome);
  std::fprintf(settings_.err, "%s\n", line.c_str());
  std::fflush(settings_.err);
}

void Console::retireProgress(int row) {
  Row& r = rows_.at(static_cast<std::size_t>(row));
  if (r.retired || !r.finished) return;
  if (settings_.live && !settings_.quiet) {
    clearLive();
    const std::size_t columns = settings_.columns > 0 ? settings_.columns : liveColumns();
    std::fprintf(settings_.err, "%s\n",
                 liveProgressLine(r.label, r.state, true, r.outcome, columns, r.keep).c_str());
    r.retired = true;
    redrawLive();
    return;
  }
  r.retired = true;
}

void Console::setOutcome(int row, const std::string& outcome) {
  Row& r = rows_.at(static_cast<std::size_t>(row));
  if (!r.finished || r.retired || r.outcome == outcome) return;
  r.outcome = outcome;
  if (!settings_.live || settings_.quiet) return;
  clearLive();
  redrawLive();
}

void Console::clearLive() {
  if (!settings_.live || drawn_ == 0) return;
  std::fprintf(settings_.err, "\033[%dA", drawn_);
  for (int i = 0; i < drawn_; ++i) std::fprintf(settings_.err, "\r\033[K\n");
  std::fprintf(settings_.err, "\033[%dA", drawn_);
  drawn_ = 0;
}

void Console::redrawLive() {
  if (!settings_.live || settings_.quiet || rows_.empty()) return;
  const std::size_t columns = settings_.columns > 0 ? settings_.columns : liveColumns();
  drawn_ = 0;
  for (const Row& r : rows_) {
    if (r.retired) continue;
    const std::string line =
        liveProgressLine(r.label, r.state, r.finished, r.outcome, columns, r.keep);
    std::fprintf(settings_.err, "\r\033[K%s\n", line.c_str());
    ++drawn_;
  }
  std::fflush(settings_.err);
}

}  // namespace quorvane::cli
