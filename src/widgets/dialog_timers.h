// Window timers with an id and a period, as the transfer state machines ask
// for them: each running id is a QTimer of the dialog, and every timeout is
// forwarded as tick(id).
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>

namespace quorvane::ui {

class DialogTimers {
 public:
  explicit DialogTimers(QObject* parent, std::function<void(int)> onTick)
      : parent_(parent), onTick_(std::move(onTick)) {}

  void start(int id, int periodMs) {
    auto& timer = timers_[id];
    if (!timer) {
      timer = std::make_unique<QTimer>(parent_);
      QObject::connect(timer.get(), &QTimer::timeout, [this, id] { onTick_(id); });
    }
    timer->start(periodMs);
  }
  void stop(int id) {
    const auto it = timers_.find(id);
    if (it != timers_.end()) it->second->stop();
  }
  void stopAll() {
    for (auto& entry : timers_) entry.second->stop();
  }

 private:
  QObject* parent_;
  std::function<void(int)> onTick_;
  std::map<int, std::unique_ptr<QTimer>> timers_;
};

}  // namespace quorvane::ui
