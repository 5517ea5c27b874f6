#include "station/ui/profile_panel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <chrono>

#include "base/notice.h"
#include "serial/serial_port.h"
#include "station/unit_record.h"
#include "transfer/rom_image.h"
#include "transfer/rom_type.h"
#include "widgets/file_chooser.h"

namespace quorvane::station {

ImageSummary summarizeImage(const QString& path) {
  ImageSummary s;
  if (path.isEmpty()) {
    s.problem = QObject::tr("No image chosen");
    return s;
  }
  const ImageLoadResult loaded = loadImage(path.toStdString());
  if (!loaded.ok()) {
    s.problem = loaded.failure ? QString::fromStdString(noticeText(*loaded.failure))
                               : QObject::tr("The image can't be loaded");
    return s;
  }
  const RomImageTag& type = romType(loaded.image->tagIndex);
  s.ok = true;
  s.blockCount = loaded.image->blockCount;
  s.type =
      QObject::tr("%1, %2, %3 flash, %4 blocks")
          .arg(QString::fromUtf8(type.modelName.data(), type.modelName.size()))
          .arg(QString::fromUtf8(familyName(type.family).data(), familyName(type.family).size()))
          .arg(
              QString::fromUtf8(flashTypeName(type.flash).data(), flashTypeName(type.flash).size()))
          .arg(type.blockCount);
  const auto& data = loaded.image->data;
  s.sha256 = QString::fromStdString(sha256Hex(data.data() + kTagSize, data.size() - kTagSize));
  return s;
}

QString verifyTimeText(unsigned blockCount) {
  // Every flash byte once more over the line, at its byte time.
  const auto time = lineByteTime() * (static_cast<long long>(blockCount) * kBlockSize);
  const long long seconds = std::chrono::duration_cast<std::chrono::seconds>(time).count();
  return QObject::tr("about %1 min %2 s").arg(seconds / 60).arg(seconds % 60);
}

namespace {

QLineEdit* pathEdit(const QString& name, const QString& accessible) {
  auto* edit = new QLineEdit;
  edit->setObjectName(name);
  edit->setAccessibleName(accessible);
  edit->setClearButtonEnabled(true);
  return edit;
}

}  // namespace

ProfilePanel::ProfilePanel(QWidget* parent) : QGroupBox(tr("Profile"), parent) {
  setObjectName("profile");
  auto* form = new QFormLayout(this);

  auto* top = new QHBoxLayout;
  job_ = new QComboBox;
  job_->setObjectName("job");
  job_->setAccessibleName(tr("Job"));
  job_->addItem(tr("Upgrade an image"));
  job_->addItem(tr("Read into a folder"));
  top->addWidget(job_);
  top->addStretch(1);
  lock_ = new QCheckBox(tr("&Lock profile"));
  lock_->setObjectName("lock");
  lock_->setAccessibleName(tr("Lock profile"));
  top->addWidget(lock_);
  auto* jobLabel = new QLabel(tr("&Job:"));
  jobLabel->setBuddy(job_);
  form->addRow(jobLabel, top);

  auto pathRow = [&](QLineEdit* edit, const QString& title, bool file) {
    auto* row = new QWidget;
    auto* h = new QHBoxLayout(row);
    h->setContentsMargins(0, 0, 0, 0);
    h->addWidget(edit, 1);
    auto* choose = new QPushButton(tr("Choose…"));
    choose->setObjectName(edit->objectName() + "Choose");
    choose->setAccessibleName(tr("Choose %1").arg(edit->accessibleName()));
    h->addWidget(choose);
    connect(choose, &QPushButton::clicked, this, [this, edit, title, file] {
      if (!file) return chooseFolder(edit, title);
      const auto path = ui::fileChooser().chooseOpenFile(
          this, ui::FileRequest{title, edit->text(), tr("rom image file(*.bin)")});
      if (path) edit->setText(*path);
    });
    lockable_ << edit << choose;
    return row;
  };

  upgradeRows_ = new QWidget;
  auto* upgradeForm = new QFormLayout(upgradeRows_);
  upgradeForm->setContentsMargins(0, 0, 0, 0);
  image_edit_ = pathEdit("image", tr("Image"));
  auto* imageLabel = new QLabel(tr("&Image:"));
  imageLabel->setBuddy(image_edit_);
  upgradeForm->addRow(imageLabel, pathRow(image_edit_, tr("Image"), true));
  imageInfo_ = new QLabel;
  imageInfo_->setObjectName("imageInfo");
  imageInfo_->setAccessibleName(tr("Image type and SHA-256"));
  imageInfo_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  imageInfo_->setWordWrap(true);
  upgradeForm->addRow(QString(), imageInfo_);
  auto* options = new QHBoxLayout;
  verify_ = new QCheckBox;
  verify_->setObjectName("verify");
  verify_->setAccessibleName(tr("Verify after upgrade"));
  options->addWidget(verify_);
  options->addSpacing(fontMetrics().averageCharWidth() * 3);
  auto* backupLabel = new QLabel(tr("&Backup before upgrade into:"));
  options->addWidget(backupLabel);
  backup_ = pathEdit("backup", tr("Backup folder"));
  backupLabel->setBuddy(backup_);
  options->addWidget(pathRow(backup_, tr("Backup folder"), false), 1);
  upgradeForm->addRow(QString(), options);
  form->addRow(upgradeRows_);

  readRows_ = new QWidget;
  auto* readForm = new QFormLayout(readRows_);
  readForm->setContentsMargins(0, 0, 0, 0);
  readFolder_ = pathEdit("readFolder", tr("Read folder"));
  auto* readLabel = new QLabel(tr("&Folder:"));
  readLabel->setBuddy(readFolder_);
  readForm->addRow(readLabel, pathRow(readFolder_, tr("Read folder"), false));
  form->addRow(readRows_);

  logFolder_ = pathEdit("logFolder", tr("Log folder"));
  auto* logLabel = new QLabel(tr("L&og folder:"));
  logLabel->setBuddy(logFolder_);
  form->addRow(logLabel, pathRow(logFolder_, tr("Log folder"), false));
  confirm_ =
      new QCheckBox(tr("&Confirm each next unit (faster swaps: press the slot's Next unit)"));
  confirm_->setObjectName("confirm");
  confirm_->setAccessibleName(tr("Confirm each next unit"));
  form->addRow(QString(), confirm_);

  lockable_ << job_ << verify_ << confirm_;
  connect(job_, &QComboBox::currentIndexChanged, this, [this] {
    refresh();
    emit changed();
  });
  connect(image_edit_, &QLineEdit::textChanged, this, [this] {
    image_ = summarizeImage(image_edit_->text());
    refresh();
    emit changed();
  });
  for (QLineEdit* edit : {backup_, readFolder_, logFolder_})
    connect(edit, &QLineEdit::textChanged, this, &ProfilePanel::changed);
  connect(verify_, &QCheckBox::toggled, this, &ProfilePanel::changed);
  connect(confirm_, &QCheckBox::toggled, this, &ProfilePanel::changed);
  connect(lock_, &QCheckBox::toggled, this, [this] {
    refresh();
    emit changed();
  });
  image_ = summarizeImage({});
  refresh();
}

void ProfilePanel::chooseFolder(QLineEdit* edit, const QString& title) {
  const QString folder = QFileDialog::getExistingDirectory(this, title, edit->text());
  if (!folder.isEmpty()) edit->setText(folder);
}

void ProfilePanel::refresh() {
  const bool upgrade = job_->currentIndex() == 0;
  upgradeRows_->setVisible(upgrade);
  readRows_->setVisible(!upgrade);
  imageInfo_->setText(image_.ok ? image_.type + QStringLiteral(" · SHA-256 ") + image_.sha256
                                : image_.problem);
  verify_->setText(tr("&Verify after upgrade (adds %1 per unit)")
                       .arg(verifyTimeText(image_.ok ? image_.blockCount : kBlocksSmallFlash)));
  const bool editable = !lock_->isChecked() && !running_;
  for (QWidget* w : lockable_) w->setEnabled(editable);
  lock_->setEnabled(!running_);
}

void ProfilePanel::setSetup(const StationSetup& s) {
  const QSignalBlocker block(this);
  job_->setCurrentIndex(s.job == StationJob::Upgrade ? 0 : 1);
  image_edit_->setText(QString::fromStdString(s.image));
  image_ = summarizeImage(image_edit_->text());
  verify_->setChecked(s.verify);
  backup_->setText(QString::fromStdString(s.backupFolder));
  readFolder_->setText(QString::fromStdString(s.readFolder));
  logFolder_->setText(QString::fromStdString(s.logFolder));
  confirm_->setChecked(s.confirmEachUnit);
  lock_->setChecked(s.locked);
  refresh();
}

StationSetup ProfilePanel::apply(StationSetup s) const {
  s.job = job_->currentIndex() == 0 ? StationJob::Upgrade : StationJob::Read;
  s.image = image_edit_->text().toStdString();
  s.verify = verify_->isChecked();
  s.backupFolder = backup_->text().toStdString();
  s.readFolder = readFolder_->text().toStdString();
  s.logFolder = logFolder_->text().toStdString();
  s.confirmEachUnit = confirm_->isChecked();
  s.locked = lock_->isChecked();
  return s;
}

bool ProfilePanel::locked() const {
  return lock_->isChecked();
}

void ProfilePanel::setRunning(bool running) {
  running_ = running;
  refresh();
}

}  // namespace quorvane::station
