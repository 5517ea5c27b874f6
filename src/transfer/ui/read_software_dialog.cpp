#include "transfer/ui/read_software_dialog.h"

#include "base/app_config.h"
#include "widgets/file_chooser.h"
#include "serial/port_target.h"

namespace quorvane::ui {

namespace {

// Template 172, dialog units (the rest as BlockTransferDialog lays it out).
constexpr int kGroupBoxWidthDlu = 288;
constexpr const char* kTitle = "Read Receiver Software";

const FileRequest kSaveImageRequest = romImageRequest(QStringLiteral("save as rom(*.bin) file"));

}  // namespace

ReadSoftwareDialog::ReadSoftwareDialog(QWidget* parent)
    : BlockTransferDialog(QString::fromUtf8(kTitle), kGroupBoxWidthDlu, parent) {}

bool ReadSoftwareDialog::initialize() {
  const std::optional<QString> path = fileChooser().chooseSaveFile(this, kSaveImageRequest);
  if (!path) {
    cancel();
    return false;
  }
  transfer_.emplace(port(), static_cast<TransferView&>(*this),
                    PortTarget::fromIndex(AppConfig::instance().portIndex), path->toStdString());
  transfer_->start();  // on failure it has run the Cancel command
  return !transfer_->finished();
}

void ReadSoftwareDialog::step(int timerId) {
  if (transfer_) transfer_->tick(timerId);
}

void ReadSoftwareDialog::abandonTransfer() {
  if (transfer_) transfer_->abandon();
}

}  // namespace quorvane::ui
