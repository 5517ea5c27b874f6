#include <iterator>
#include <string>

#include "base/notice.h"
#include "quorvane/version.h"

namespace quorvane {

const char* const kAppTitle = kVersionedName;

namespace {

// "！" is the full-width exclamation mark U+FF01.
#define QV_FULLWIDTH_BANG "\xEF\xBC\x81"

constexpr const char* kNoAnswer = "no answer" QV_FULLWIDTH_BANG;
constexpr const char* kNoAnswer1 = "no answer1" QV_FULLWIDTH_BANG;

// The image writer's message when the tag can't be written, by tag index.
constexpr const char* kTagWriteFailed[] = {
    "write file error F1!",  "write file error F2!",  "write file error F3!",
    "write file error F4!",  "write file error C1!",  "write file error C2!",
    "write file error C3!",  "write file error C4!",  "write file error HC1!",
    "write file error HC2!", "write file error HC3!", "write file error HC4!",
    "write file error T1!",  "write file error T2!",  "write file error T3!",
    "write file error T4!"};

}  // namespace

const char* const kUpgradeCompleteWarning =
    "Dont' power off during Saving Data.... The Receiver will Auto Reboot" QV_FULLWIDTH_BANG;

std::string noticeText(const Notice& n) {
  switch (n.id) {
    case MessageId::PortOpenFailed:
      return "open port" + std::to_string(n.portNumber) + " error!";
    case MessageId::ConnectNotAcknowledged:
    case MessageId::ReadBlockTimedOut:
      return kNoAnswer;
    case MessageId::Connected:
      return "connect ok!";
    case MessageId::LoaderNotAnswering:
      return "the receiver's loader did not answer";
    case MessageId::ReadTypeAnswerWrong:
    case MessageId::UpgradeAnswerTimedOut:
      return kNoAnswer1;
    case MessageId::ReadTypeAnswerTimedOut:
      return "no answer2" QV_FULLWIDTH_BANG;
    case MessageId::ReadBufferUnavailable:
      return "alloc memory error" QV_FULLWIDTH_BANG;
    case MessageId::UpgradeAnswerUnexpectedGroupC:
      return "no answer C" QV_FULLWIDTH_BANG;
    case MessageId::UpgradeAnswerUnexpectedGroupF:
      return "no answer F" QV_FULLWIDTH_BANG;
    case MessageId::ReceiverModelMismatch:
      return "software version incorrect" QV_FULLWIDTH_BANG
             "\r\n"
             "pls send below information to your provider" QV_FULLWIDTH_BANG
             "\r\n"
             "\r\n"
             "\"error version <" +
             n.imageModel + "> to <" + n.receiverModel + ">\"";
    case MessageId::ImageCreateFailed:
      return "create file error!";
    case MessageId::ImageTagWriteFailed:
      if (n.tagIndex >= 0 && n.tagIndex < static_cast<long long>(std::size(kTagWriteFailed)))
        return kTagWriteFailed[static_cast<std::size_t>(n.tagIndex)];
      [[fallthrough]];  // no type: the plain write failure
    case MessageId::ImageWriteFailed:
      return "write file error!";
    case MessageId::ImageOpenFailed:
      // The path is an argument, never a format.
      return "Open file<" + n.path + "> error" QV_FULLWIDTH_BANG;
    case MessageId::ImageSizeWrong:
      return "file size error" QV_FULLWIDTH_BANG;
    case MessageId::ImageReadFailed:
      return "read file data error" QV_FULLWIDTH_BANG;
    case MessageId::ImageTagUnknown:
      return "file data error" QV_FULLWIDTH_BANG;
    case MessageId::ConfigOpenFailed:
      return "save config info error" QV_FULLWIDTH_BANG;
    case MessageId::ConfigWriteFailed:
      return "save data error" QV_FULLWIDTH_BANG;
  }
  return {};
}

std::string blockCounterText(long long done, long long count) {
  return std::to_string(done) + "/" + std::to_string(count) + " blocks";
}

std::string noticeTitle(const Notice& n) {
  return n.id == MessageId::ConfigWriteFailed ? "error" : kAppTitle;
}

}  // namespace quorvane
