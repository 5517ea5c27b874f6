// What the system has to tell the user, as data. The core reports failures
// as Notices; the front ends (dialogs, command-line tool) turn them into the
// system's text through noticeText/noticeTitle, the one place where each
// message is worded.
#pragma once

#include <string>

namespace quorvane {

enum class MessageId {
  // port and connection
  OpenPortError,  // "open port%d error!"            number
  NoAnswer,       // "no answer！"
  ConnectOk,      // "connect ok!"
  // read transfer
  NoAnswer1,         // "no answer1！"
  NoAnswer2,         // "no answer2！"
  AllocMemoryError,  // "alloc memory error！"
  // upgrade transfer
  NoAnswerC,      // "no answer C！"
  NoAnswerF,      // "no answer F！"
  ModelMismatch,  // the mismatch text           imageModel, receiverModel
  // image file
  CreateFileError,    // "create file error!"
  WriteTagError,      // "write file error F1!" ...  text (the type's own)
  WriteFileError,     // "write file error!"
  OpenFileError,      // "Open file<%s> error！"       path
  FileSizeError,      // "file size error！"
  ReadFileDataError,  // "read file data error！"
  FileDataError,      // "file data error！"
  // configuration
  SaveConfigInfoError,  // "save config info error！"
  SaveDataError,        // "save data error！" (title "error")
};

// A message carries everything its text needs, so that wording it takes
// nothing from the layers that raised it.
struct Notice {
  MessageId id = MessageId::NoAnswer;
  long long number = 0;       // OpenPortError: the 1-based port number
  std::string path;           // OpenFileError
  std::string text;           // WriteTagError: the image type's own message
  std::string imageModel;     // ModelMismatch: the image's model name
  std::string receiverModel;  // ModelMismatch: the receiver's model name

  static Notice of(MessageId id) {
    Notice n;
    n.id = id;
    return n;
  }
  static Notice openPort(long long portNumber) {
    Notice n;
    n.id = MessageId::OpenPortError;
    n.number = portNumber;
    return n;
  }
  static Notice writeTag(std::string message) {
    Notice n;
    n.id = MessageId::WriteTagError;
    n.text = std::move(message);
    return n;
  }
  static Notice openFile(std::string filePath) {
    Notice n;
    n.id = MessageId::OpenFileError;
    n.path = std::move(filePath);
    return n;
  }
  static Notice mismatch(std::string imageModelName, std::string receiverModelName) {
    Notice n;
    n.id = MessageId::ModelMismatch;
    n.imageModel = std::move(imageModelName);
    n.receiverModel = std::move(receiverModelName);
    return n;
  }
  bool operator==(const Notice&) const = default;
};

inline constexpr const char* kAppTitle = "Quorvane 1.2";

// Texts that are shown outside message boxes.
// "%d/%d blocks" of a transfer's block counter.
std::string blockCounterText(long long done, long long count);
// The warning an upgrade shows once the receiver has taken the last block.
inline constexpr const char* kUpgradeCompleteWarning =
    "Dont' power off during Saving Data.... The Receiver will Auto Reboot\xEF\xBC\x81";

// The message text exactly as the user sees it (UTF-8).
std::string noticeText(const Notice& notice);
// The message box title: "Quorvane 1.2", or "error" for SaveDataError.
std::string noticeTitle(const Notice& notice);

}  // namespace quorvane
