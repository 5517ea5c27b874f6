#include "console.h"

#include <cmath>

#include "app/notice.h"
#include "serial/protocol.h"

namespace quorvane::cli {

namespace {
constexpr int kBarWidth = 24;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

// A live line cut to fit the terminal: a line that wrapped would take two
// rows, and the cursor would no longer go back to the first line.
std::string fitted(std::string line, int columns) {
  if (columns < 2) return line;
  std::size_t shown = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if ((static_cast<unsigned char>(line[i]) & 0xC0) == 0x80) continue;  // inside a character
    if (++shown == static_cast<std::size_t>(columns)) {
      line.resize(i);
      break;
    }
  }
  return line;
}

std::string formatSeconds(double s) {
  if (s < 0) return "--:--";
  const long long t = std::llround(s);
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld", t / 60, t % 60);
  return text;
}
}  // namespace

Console::Console(ConsoleSettings settings) : settings_(settings) {}

void Console::failure(const std::string& prefix, const std::string& text) {
  std::lock_guard lock(mutex_);
  clearLive();
  std::fprintf(settings_.err, "%s%s\n", prefix.c_str(), text.c_str());
  std::fflush(settings_.err);
  redrawLive();
}

void Console::result(const std::string& prefix, const std::string& text) {
  if (settings_.quiet) return;
  std::lock_guard lock(mutex_);
  clearLive();
  std::fprintf(settings_.out, "%s%s\n", prefix.c_str(), text.c_str());
  std::fflush(settings_.out);
  redrawLive();
}

void Console::trace(const std::string& line) {
  std::lock_guard lock(mutex_);
  clearLive();
  std::fprintf(settings_.out, "%s\n", line.c_str());
  std::fflush(settings_.out);
  redrawLive();
}

int Console::addProgress(const std::string& label) {
  std::lock_guard lock(mutex_);
  rows_.push_back({label, {}, false, {}});
  rows_.back().state.started = Clock::now();
  return static_cast<int>(rows_.size()) - 1;
}

void Console::updateProgress(int row, long long done, long long count, Clock::time_point now) {
  std::lock_guard lock(mutex_);
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

void Console::finishProgress(int row, const std::string& outcome, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  Row& r = rows_.at(static_cast<std::size_t>(row));
  if (r.finished) return;
  r.finished = true;
  r.outcome = outcome;
  const double elapsed = std::chrono::duration<double>(now - r.state.started).count();
  if (elapsed > 0) r.state.bytesPerSecond = double(r.state.done) * double(kBlockSize) / elapsed;
  r.state.secondsLeft = 0;
  r.state.ended = now;
  if (settings_.quiet) return;
  if (settings_.live) {
    clearLive();
    redrawLive();
    return;
  }
  std::string line = progressLine(r.label, r.state, false);
  if (!outcome.empty()) line += " " + outcome;
  std::fprintf(settings_.err, "%s\n", line.c_str());
  std::fflush(settings_.err);
}

std::string Console::progressLine(const std::string& label, const ProgressState& p, bool withBar) {
  std::string line = label + ": " + blockCounterText(p.done, p.count);
  if (withBar) {
    const int filled =
        p.count > 0 ? static_cast<int>(std::min<long long>(p.done, p.count) * kBarWidth / p.count)
                    : 0;
    line += " [" + std::string(std::size_t(filled), '#') +
            std::string(std::size_t(kBarWidth - filled), '.') + "]";
  }
  char rate[96];
  std::snprintf(rate, sizeof rate, " %.0f B/s", p.bytesPerSecond);
  line += rate;
  if (withBar) {
    line += " left " + formatSeconds(p.secondsLeft);
  } else {
    const Clock::time_point end = p.ended == Clock::time_point{} ? Clock::now() : p.ended;
    const double elapsed = std::chrono::duration<double>(end - p.started).count();
    char took[48];
    std::snprintf(took, sizeof took, " in %.1f s", elapsed);
    line += took;
  }
  return line;
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
  for (const Row& r : rows_) {
    std::string line = progressLine(r.label, r.state, !r.finished);
    if (r.finished && !r.outcome.empty()) line += " " + r.outcome;
    std::fprintf(settings_.err, "\r\033[K%s\n", fitted(line, settings_.columns).c_str());
  }
  drawn_ = static_cast<int>(rows_.size());
  std::fflush(settings_.err);
}

}  // namespace quorvane::cli
