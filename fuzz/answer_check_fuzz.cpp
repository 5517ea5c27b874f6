// Feeds identifyModel and checkUpgradeAnswer arbitrary 12-byte answers and
// image indices (input byte 12, read as a signed byte, so indices outside
// the table come too) and checks both against the frame rules worked out
// independently here.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "base/notice.h"
#include "transfer/model_check.h"
#include "transfer/rom_type.h"

namespace {

using namespace quorvane;

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "answer_check_fuzz: %s\n", what);
    std::abort();
  }
}

std::optional<int> referenceIdent(const std::uint8_t* a) {
  if (std::memcmp(a, "Halvorne", 8) != 0 || a[8] != 0x10 || a[10] != 0 || a[11] != 0)
    return std::nullopt;
  if (a[9] < 1 || a[9] > 16) return std::nullopt;
  return a[9] - 1;
}

bool referenceAck(const std::uint8_t* a, bool groupC) {
  if (std::memcmp(a, "Halvorne", 8) != 0 || a[10] != 0 || a[11] != 0) return false;
  if (groupC) return a[8] == 0 && (a[9] == 0xF0 || a[9] == 0xF2 || a[9] == 0xFF);
  return (a[8] == 0 && a[9] == 0x00) || (a[8] == 0x11 && a[9] == 0x11) ||
         (a[8] == 0 && a[9] == 0xAA);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 12) return 0;
  std::uint8_t answer[12];
  std::memcpy(answer, data, 12);
  const int image = size > 12 ? static_cast<std::int8_t>(data[12]) : 0;

  const std::optional<int> ident = identifyModel(answer);
  check(ident == referenceIdent(answer), "identifyModel");

  const UpgradeVerdict v = checkUpgradeAnswer(answer, image);
  using Kind = UpgradeVerdict::Kind;
  if (ident) {
    if (*ident == image) {
      check(v.kind == Kind::Accepted, "own type answer refused");
    } else {
      check(v.kind == Kind::ModelMismatch && v.receiverIndex == *ident, "mismatch");
      if (image >= 0 && image < kRomTypeCount) {
        const std::string text = noticeText(mismatchNotice(image, v.receiverIndex));
        const std::string names = "<" + std::string(romType(image).modelName) + "> to <" +
                                  std::string(romType(*ident).modelName) + ">";
        check(text.find(names) != std::string::npos, "mismatch text");
      }
    }
    return 0;
  }
  const bool groupC = image >= 4 && image <= 11;
  check(ackGroupOfIndex(image) == (groupC ? AckGroup::C : AckGroup::F), "group of index");
  if (referenceAck(answer, groupC)) {
    check(v.kind == Kind::Accepted, "acknowledgement refused");
  } else {
    check(v.kind == Kind::Unexpected, "unexpected answer accepted");
    check(v.group == (groupC ? AckGroup::C : AckGroup::F), "group of unexpected answer");
  }
  return 0;
}
