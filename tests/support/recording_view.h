// The front end of every tick-machine test and benchmark: answers the connect and transfer views,
// logging each call and each event of a watched machine as a line; it keeps the running timers.
//   start timer 1 50ms   stop timer 1   bar 60   progress 1% 3/256 blocks
//   cancel   message no answer！   finish ok   finish cancel   complete
//   sent stop   answer ident model 5   answer ack refused   block 17
//   finished succeeded | failed | cancelled
#pragma once

#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "connection/connect_handshake.h"
#include "machine/tick_machine.h"
#include "transfer/transfer_view.h"

namespace quorvane::test {

using Log = std::vector<std::string>;

struct RecordingView final : ConnectView, TransferView {
  void startTimer(int timerId, int periodMs) override {
    timers[timerId] = periodMs;
    add("start timer " + std::to_string(timerId) + " " + std::to_string(periodMs) + "ms");
  }
  void stopTimer(int timerId) override {
    timers.erase(timerId);
    add("stop timer " + std::to_string(timerId));
  }
  void showMessage(const Notice& notice) override {
    messages.push_back(notice);
    add("message " + noticeText(notice));
  }
  void showProgress(int percent) override { add("bar " + std::to_string(percent)); }
  void finish(bool connected) override { add(connected ? "finish ok" : "finish cancel"); }
  void showBlockProgress(unsigned percent, long long done, long long count) override {
    add("progress " + std::to_string(percent) + "% " + blockCounterText(done, count));
  }
  void cancel() override {
    timers.clear();
    add("cancel");
  }
  void showUpgradeComplete() override { add("complete"); }

  // Logs the machine's events too.
  void watch(TickMachine& machine);

  // The lines that begin with one of `prefixes`, in order.
  Log only(std::initializer_list<std::string_view> prefixes) const;
  // The running timer (the lowest id when several run); 0 when none runs.
  int timer() const { return timers.empty() ? 0 : timers.begin()->first; }

  Log log;
  std::map<int, int> timers;  // running: id -> period in ms
  std::vector<Notice> messages;
  // Called with each logged line: for a message, what the box's own loop would do (deliver ticks).
  std::function<void(const std::string&)> onLine;

 private:
  void add(std::string line);
};

}  // namespace quorvane::test
