#include "support/recording_view.h"

#include <algorithm>

namespace quorvane::test {

void RecordingView::watch(TickMachine& machine) {
  machine.setObserver([this](const MachineEvent& e) {
    switch (e.kind) {
      case MachineEvent::Kind::FrameSent:
        return add("sent " + describeFrame(e.frame));
      case MachineEvent::Kind::AnswerTaken:
        return add("answer " + describeFrame(e.frame) + (e.accepted ? "" : " refused"));
      case MachineEvent::Kind::BlockMoved:
        return add("block " + std::to_string(e.block));
      case MachineEvent::Kind::Finished:
        static const char* const kOutcomes[] = {"none", "succeeded", "failed", "cancelled"};
        return add(std::string("finished ") + kOutcomes[static_cast<int>(e.outcome)]);
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
    if (std::ranges::any_of(prefixes, [&](std::string_view p) { return line.starts_with(p); }))
      lines.push_back(line);
  return lines;
}

}  // namespace quorvane::test
