#include "support/recording_view.h"

#include <thread>

namespace quorvane::test {

void RecordingView::startTimer(int timerId, int periodMs) {
  timers[timerId] = {periodMs, Clock::now() + std::chrono::milliseconds(periodMs)};
  add("start timer " + std::to_string(timerId) + " " + std::to_string(periodMs) + "ms");
}

void RecordingView::watch(TickMachine& machine) {
  machine.setObserver([this](const MachineEvent& e) {
    switch (e.kind) {
      case MachineEvent::Kind::FrameSent:
        add("sent " + describeFrame(e.frame));
        break;
      case MachineEvent::Kind::AnswerTaken:
        add("answer " + describeFrame(e.frame) + (e.accepted ? "" : " refused"));
        break;
      case MachineEvent::Kind::BlockMoved:
        add("block " + std::to_string(e.block));
        break;
      case MachineEvent::Kind::Finished:
        static const char* const kOutcomes[] = {"none", "succeeded", "failed", "cancelled"};
        add(std::string("finished ") + kOutcomes[static_cast<int>(e.outcome)]);
        break;
    }
  });
}

void RecordingView::add(std::string line) {
  log.push_back(std::move(line));
  if (onLine) onLine(log.back());
}

Log RecordingView::only(std::initializer_list<std::string_view> prefixes) const {
  Log lines;
  for (const std::string& line : log)
    for (std::string_view prefix : prefixes)
      if (line.starts_with(prefix)) {
        lines.push_back(line);
        break;
      }
  return lines;
}

int RecordingView::sleepUntilTick() {
  if (timers.empty()) return 0;
  auto next = timers.begin();
  for (auto it = timers.begin(); it != timers.end(); ++it)
    if (it->second.due < next->second.due) next = it;
  std::this_thread::sleep_until(next->second.due);
  Timer& t = next->second;
  const auto period = std::chrono::milliseconds(t.periodMs);
  const Clock::time_point now = Clock::now();
  t.due += period;
  if (t.due <= now) t.due = now + period;
  return next->first;
}

}  // namespace quorvane::test
