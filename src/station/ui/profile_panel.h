// The station's profile at the top of the window: the job (upgrade an image
// or read into a folder), the image with its receiver type and the SHA-256
// of its flash data, verify after upgrade with the time it adds, the backup
// folder, the log folder, and a lock that keeps all of it from being
// changed by mistake until it is unlocked.
#pragma once

#include <QGroupBox>

#include "station/ui/station_setup.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

namespace quorvane::station {

// What the image file holds, for the profile's line under it: its type
// ("Fta 29 1, Fta, AMD flash, 256 blocks") and the SHA-256 of its flash data
// (the blocks, not the tag), or why it can't be used.
struct ImageSummary {
  bool ok = false;
  QString type;
  QString sha256;
  unsigned blockCount = 0;
  QString problem;  // the system's message when the file can't be used
};
ImageSummary summarizeImage(const QString& path);

// "about 1 min 31 s": the time a verify adds to a unit of `blockCount`
// blocks (reading the flash back at the line rate).
QString verifyTimeText(unsigned blockCount);

class ProfilePanel : public QGroupBox {
  Q_OBJECT
 public:
  explicit ProfilePanel(QWidget* parent = nullptr);

  void setSetup(const StationSetup& setup);
  // `setup` with this panel's fields filled in (its slots and size kept).
  StationSetup apply(StationSetup setup) const;
  const ImageSummary& image() const { return image_; }
  bool locked() const;
  // While the station runs the profile stays as it is, lock or not.
  void setRunning(bool running);

 signals:
  void changed();

 private:
  void refresh();
  void chooseFolder(QLineEdit* edit, const QString& title);

  QComboBox* job_;
  QCheckBox* lock_;
  QWidget* upgradeRows_;
  QWidget* readRows_;
  QLineEdit* image_edit_;
  QLabel* imageInfo_;
  QCheckBox* verify_;
  QLineEdit* backup_;
  QLineEdit* readFolder_;
  QLineEdit* logFolder_;
  QCheckBox* confirm_;
  QList<QWidget*> lockable_;
  ImageSummary image_;
  bool running_ = false;
};

}  // namespace quorvane::station
