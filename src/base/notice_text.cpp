#include <string>

#include "base/notice.h"

namespace quorvane {

std::string noticeText(const Notice& n) {
  switch (n.id) {
    case MessageId::OpenPortError:
      return "open port" + std::to_string(n.number) + " error!";
    case MessageId::NoAnswer:
      return "no answer\xEF\xBC\x81";
    case MessageId::ConnectOk:
      return "connect ok!";
    case MessageId::NoAnswer1:
      return "no answer1\xEF\xBC\x81";
    case MessageId::NoAnswer2:
      return "no answer2\xEF\xBC\x81";
    case MessageId::AllocMemoryError:
      return "alloc memory error\xEF\xBC\x81";
    case MessageId::NoAnswerC:
      return "no answer C\xEF\xBC\x81";
    case MessageId::NoAnswerF:
      return "no answer F\xEF\xBC\x81";
    case MessageId::ModelMismatch:
      return "software version incorrect\xEF\xBC\x81\r\n"
             "pls send below information to your provider\xEF\xBC\x81\r\n"
             "\r\n"
             "\"error version <" +
             n.imageModel + "> to <" + n.receiverModel + ">\"";
    case MessageId::CreateFileError:
      return "create file error!";
    case MessageId::WriteTagError:
      return n.text;
    case MessageId::WriteFileError:
      return "write file error!";
    case MessageId::OpenFileError:
      // The path is an argument, never a format.
      return "Open file<" + n.path + "> error\xEF\xBC\x81";
    case MessageId::FileSizeError:
      return "file size error\xEF\xBC\x81";
    case MessageId::ReadFileDataError:
      return "read file data error\xEF\xBC\x81";
    case MessageId::FileDataError:
      return "file data error\xEF\xBC\x81";
    case MessageId::SaveConfigInfoError:
      return "save config info error\xEF\xBC\x81";
    case MessageId::SaveDataError:
      return "save data error\xEF\xBC\x81";
  }
  return {};
}

std::string blockCounterText(long long done, long long count) {
  return std::to_string(done) + "/" + std::to_string(count) + " blocks";
}

std::string noticeTitle(const Notice& n) {
  return n.id == MessageId::SaveDataError ? "error" : kAppTitle;
}

}  // namespace quorvane
