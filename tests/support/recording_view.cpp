#include "support/recording_view.h"

namespace quorvane::test {

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

}  // namespace quorvane::test
