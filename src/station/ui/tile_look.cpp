#include "station/ui/tile_look.h"

#include <cmath>

namespace quorvane::station {

namespace {

QString text(const std::string& s) {
  return QString::fromStdString(s);
}

// "upgrade" -> "Upgrading": the running step as the tile's large line.
QString stepTitle(const std::string& step) {
  if (step == "backup") return QObject::tr("Backing up");
  if (step == "type question") return QObject::tr("Asking its type");
  if (step == "upgrade") return QObject::tr("Upgrading");
  if (step == "reboot wait") return QObject::tr("Waiting for the reboot");
  if (step == "verify") return QObject::tr("Verifying");
  if (step == "read") return QObject::tr("Reading");
  return QObject::tr("Running");
}

QString joined(const std::string& first, const std::string& second) {
  if (first.empty()) return text(second);
  if (second.empty()) return text(first);
  return text(first) + QLatin1Char('\n') + text(second);
}

// A failure in one line: the reason line names the device, the cause and
// what to do; the system's message (which may run over several lines) only
// where there is no reason line.
QString failureLine(const SlotStatus& st) {
  return (st.reason.empty() ? text(st.message) : text(st.reason)).simplified();
}

}  // namespace

QString timeLeftText(double seconds) {
  const long long s = std::llround(std::max(0.0, seconds));
  return QObject::tr("%1:%2 left").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

TileLook tileLook(const SlotStatus& st, std::optional<bool> lastPassed, bool running) {
  TileLook look;
  look.units = st.units;
  look.passed = st.passed;
  look.failed = st.failed;
  look.canStop = running && st.state != SlotState::Stopped;
  look.canRestart = running && st.state == SlotState::Stopped;
  look.canConfirm = running && st.confirmNeeded && st.state != SlotState::Stopped;
  const QString unit = QObject::tr("Unit %1").arg(st.unit);
  switch (st.state) {
    case SlotState::NoDevice:
      look.state = QObject::tr("No device");
      look.detail = st.message.empty() && st.reason.empty()
                        ? QObject::tr("The adapter is not plugged in")
                        : joined(st.message, st.reason);
      look.tone = TileTone::Idle;
      break;
    case SlotState::Waiting:
      look.state = QObject::tr("Waiting for a receiver");
      look.tone = TileTone::Waiting;
      break;
    case SlotState::Running: {
      look.state = stepTitle(st.step);
      look.tone = TileTone::Running;
      QString detail = unit;
      if (st.blockCount > 0) {
        look.blocksDone = static_cast<int>(st.blocksDone);
        look.blockCount = static_cast<int>(st.blockCount);
        detail += QObject::tr(", %1/%2 blocks").arg(st.blocksDone).arg(st.blockCount);
      }
      if (st.secondsLeft) detail += QStringLiteral(", ") + timeLeftText(*st.secondsLeft);
      look.detail = detail;
      break;
    }
    case SlotState::Passed:
      look.state = QObject::tr("Passed");
      look.detail = unit;
      look.tone = TileTone::Passed;
      break;
    case SlotState::Failed:
      look.state = QObject::tr("Failed");
      look.detail = unit + QLatin1Char('\n') + failureLine(st);
      look.tone = TileTone::Failed;
      break;
    case SlotState::RemoveReceiver:
      look.state = QObject::tr("Remove the receiver");
      if (lastPassed)
        look.detail = *lastPassed ? QObject::tr("Unit %1 passed").arg(st.unit)
                                  : QObject::tr("Unit %1 failed").arg(st.unit) + QLatin1Char('\n') +
                                        failureLine(st);
      look.tone = !lastPassed   ? TileTone::Remove
                  : *lastPassed ? TileTone::Passed
                                : TileTone::Failed;
      break;
    case SlotState::Stopped:
      look.state = QObject::tr("Stopped");
      look.detail = joined(st.message, st.reason);
      look.tone = TileTone::Stopped;
      break;
  }
  if (look.canConfirm)
    look.detail += (look.detail.isEmpty() ? QString() : QStringLiteral("\n")) +
                   QObject::tr("Next unit when the next receiver is in");
  return look;
}

}  // namespace quorvane::station
