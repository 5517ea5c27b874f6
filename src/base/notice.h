// What the system has to tell the user, as data. The core reports failures
// as Notices; the front ends (dialogs, command-line tool) turn them into the
// system's text through noticeText/noticeTitle, the one place where each
// message is worded.
#pragma once

#include <string>

namespace quorvane {

enum class MessageId {
  // Named by cause; several causes share a text. Texts: notice_text.cpp.
  // port and connection
  PortOpenFailed,          // "open port%d error!"            portNumber
  ConnectNotAcknowledged,  // "no answer！": silence or another answer
  Connected,               // "connect ok!"
  LoaderNotAnswering,      // the loader waited for did not answer in time
  // read transfer
  ReadTypeAnswerTimedOut,  // "no answer2！"
  ReadTypeAnswerWrong,     // "no answer1！": no receiver type's answer
  ReadBufferUnavailable,   // "alloc memory error！"
  ReadBlockTimedOut,       // "no answer！"
  // upgrade transfer (and verify, for the mismatch)
  UpgradeAnswerTimedOut,          // "no answer1！"
  UpgradeAnswerUnexpectedGroupC,  // "no answer C！"
  UpgradeAnswerUnexpectedGroupF,  // "no answer F！"
  ReceiverModelMismatch,          // the mismatch text    imageModel, receiverModel
  // image file
  ImageCreateFailed,    // "create file error!"
  ImageTagWriteFailed,  // "write file error F1!" ...      tagIndex
  ImageWriteFailed,     // "write file error!"
  ImageOpenFailed,      // "Open file<%s> error！"          path
  ImageSizeWrong,       // "file size error！"
  ImageReadFailed,      // "read file data error！"
  ImageTagUnknown,      // "file data error！"
  // configuration
  ConfigOpenFailed,   // "save config info error！"
  ConfigWriteFailed,  // "save data error！" (title "error")
};

// A message carries everything its text needs, so that wording it takes
// nothing from the layers that raised it.
struct Notice {
  MessageId id = MessageId::PortOpenFailed;
  long long portNumber = 0;   // PortOpenFailed: the 1-based port number
  long long tagIndex = 0;     // ImageTagWriteFailed: the image's tag index
  std::string path;           // ImageOpenFailed
  std::string imageModel;     // ReceiverModelMismatch: the image's model name
  std::string receiverModel;  // ReceiverModelMismatch: the receiver's model name

  static Notice of(MessageId id) {
    Notice n;
    n.id = id;
    return n;
  }
  static Notice openPort(long long portNumber) {
    Notice n;
    n.id = MessageId::PortOpenFailed;
    n.portNumber = portNumber;
    return n;
  }
  static Notice writeTag(int tagIndex) {
    Notice n;
    n.id = MessageId::ImageTagWriteFailed;
    n.tagIndex = tagIndex;
    return n;
  }
  static Notice openFile(std::string filePath) {
    Notice n;
    n.id = MessageId::ImageOpenFailed;
    n.path = std::move(filePath);
    return n;
  }
  static Notice mismatch(std::string imageModelName, std::string receiverModelName) {
    Notice n;
    n.id = MessageId::ReceiverModelMismatch;
    n.imageModel = std::move(imageModelName);
    n.receiverModel = std::move(receiverModelName);
    return n;
  }
  bool operator==(const Notice&) const = default;
};

// "Quorvane <version>" (quorvane/version.h), the title of the windows and
// message boxes; defined where the version is included, so that a new
// version rebuilds one file.
extern const char* const kAppTitle;

// Texts that are shown outside message boxes.
// "%d/%d blocks" of a transfer's block counter.
std::string blockCounterText(long long done, long long count);
// The warning an upgrade shows once the receiver has taken the last block.
extern const char* const kUpgradeCompleteWarning;

// The message text exactly as the user sees it (UTF-8).
std::string noticeText(const Notice& notice);
// The message box title: kAppTitle, or "error" for ConfigWriteFailed.
std::string noticeTitle(const Notice& notice);

}  // namespace quorvane
