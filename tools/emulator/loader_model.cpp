#include "loader_model.h"

#include "frame_names.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "transfer/model_check.h"
#include "transfer/rom_type.h"

namespace quorvane::emu {

namespace {

constexpr std::uint8_t kErasedByte = 0xFF;

std::vector<std::uint8_t> bytesOf(const FrameBytes& f) {
  return {f.begin(), f.end()};
}

// Where, from the start of `in`, the sync magic could begin (the whole
// magic, or as much of it as has arrived).
std::size_t syncOffset(const std::vector<std::uint8_t>& in) {
  for (std::size_t at = 0; at < in.size(); ++at) {
    const std::size_t n = std::min(in.size() - at, kSyncMagicSize);
    if (std::equal(in.begin() + long(at), in.begin() + long(at + n), kSyncMagic.begin())) return at;
  }
  return in.size();
}

}  // namespace

std::string frameLogText(const FrameBytes& f) {
  return hexBytes(f.data(), f.size()) + "  " + describeFrameWithNames(f);
}

bool validModelNumber(int modelNumber) {
  return modelNumber >= kModelNumberFirst && modelNumber <= kModelNumberLast;
}

std::size_t flashSizeOf(int modelNumber) {
  return std::size_t{blockCountOfIndex(modelNumber - 1)} * kBlockSize;
}

std::vector<std::uint8_t> patternFlash(int modelNumber) {
  if (!validModelNumber(modelNumber)) modelNumber = kModelNumberFirst;
  const unsigned blocks = blockCountOfIndex(modelNumber - 1);
  std::vector<std::uint8_t> f(std::size_t{blocks} * kBlockSize);
  for (unsigned k = 0; k < blocks; ++k) {
    std::uint8_t* b = f.data() + std::size_t{k} * kBlockSize;
    // A header naming the block and model, then a pseudo-random body that
    // differs from block to block and model to model.
    b[0] = 'Q';
    b[1] = 'B';
    b[2] = std::uint8_t(k >> 8);
    b[3] = std::uint8_t(k);
    b[4] = std::uint8_t(modelNumber);
    std::uint32_t x = 0x9E3779B9u ^ (k * 0x85EBCA6Bu) ^ (std::uint32_t(modelNumber) << 24);
    for (std::size_t i = 5; i < kBlockSize; ++i) {
      x = x * 1664525u + 1013904223u;
      b[i] = std::uint8_t(x >> 24);
    }
  }
  return f;
}

std::vector<std::uint8_t> unitFlash(int modelNumber, int unit) {
  const int model = validModelNumber(modelNumber) ? modelNumber : kModelNumberFirst;
  std::vector<std::uint8_t> f(flashSizeOf(model));
  char text[16];
  std::snprintf(text, sizeof text, "UNIT %04d", unit % 10000);
  for (std::size_t at = 0, k = 0; at < f.size(); at += kBlockSize, ++k) {
    std::uint8_t* b = f.data() + at;
    std::copy_n(text, kUnitTextSize, b);
    b[kUnitTextSize] = std::uint8_t(k >> 8);
    b[kUnitTextSize + 1] = std::uint8_t(k);
    b[kUnitTextSize + 2] = std::uint8_t(model);
    std::uint32_t x = 0x2545F491u ^ (std::uint32_t(unit) * 0x9E3779B9u) ^ std::uint32_t(k << 8) ^
                      std::uint32_t(model);
    for (std::size_t i = kUnitTextSize + 3; i < kBlockSize; ++i) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      b[i] = std::uint8_t(x);
    }
  }
  return f;
}

LoaderModel::LoaderModel(int modelNumber, std::vector<std::uint8_t> flash,
                         UpgradeAnswer upgradeAnswer)
    : model_(modelNumber),
      upgradeAnswer_(upgradeAnswer),
      flash_(std::move(flash)),
      announced_(modelNumber) {}

std::vector<LoaderEvent> LoaderModel::receive(const std::uint8_t* bytes, std::size_t count) {
  in_.insert(in_.end(), bytes, bytes + count);
  for (;;) {
    const Mode before = mode_;
    const std::size_t waiting = in_.size();
    if (mode_ == Mode::Upgrading)
      takeUpgradeBytes();
    else
      takeFrames();
    if (in_.empty() || (mode_ == before && in_.size() == waiting)) break;
  }
  return std::exchange(events_, {});
}

void LoaderModel::restart() {
  mode_ = Mode::Idle;
  in_.clear();
  awaitingAck_ = false;
}

void LoaderModel::takeFrames() {
  while (mode_ != Mode::Upgrading) {
    if (const std::size_t stray = syncOffset(in_)) {
      in_.erase(in_.begin(), in_.begin() + long(stray));
      took(std::to_string(stray) + " stray bytes dropped");
    }
    if (in_.size() < kFrameSize) return;
    takeFrame();
  }
}

// Upgrade data: blocks, or the stop frame where a block would begin.
void LoaderModel::takeUpgradeBytes() {
  while (mode_ == Mode::Upgrading) {
    const std::size_t n = std::min(in_.size(), kFrameSize);
    if (std::equal(in_.begin(), in_.begin() + long(n), kStopFrame.begin())) {
      if (n < kFrameSize) return;  // could still be the stop frame
      takeFrame();
      continue;
    }
    if (in_.size() < kBlockSize) return;
    const unsigned k = upBlocks_++;
    std::copy_n(in_.begin(), kBlockSize, flash_.begin() + long(std::size_t{k} * kBlockSize));
    in_.erase(in_.begin(), in_.begin() + long(kBlockSize));
    ++blocksTaken_;
    took("block " + std::to_string(k) + " (4096 bytes)");
    const bool last = upBlocks_ >= flash_.size() / kBlockSize;
    send(LoaderEvent::Reply::UpgradeAnswer, bytesOf(upgradeAnswerFrame()), k, last);
    if (last) {
      mode_ = Mode::UpgradeDone;
      complete_ = true;
    }
  }
}

void LoaderModel::takeFrame() {
  FrameBytes f;
  std::copy_n(in_.begin(), kFrameSize, f.begin());
  in_.erase(in_.begin(), in_.begin() + long(kFrameSize));
  frames_.push_back(f);
  took(frameLogText(f));
  onFrame(f);
}

void LoaderModel::onFrame(const FrameBytes& f) {
  if (f == kStopFrame) {
    if (mode_ != Mode::Idle) note("exchange stopped");
    mode_ = Mode::Idle;
    events_.push_back({.kind = LoaderEvent::Kind::Stop});
    return;
  }
  if (isKeyFrame(f)) {
    keys_.push_back(f[kCommandOffset]);
    return;
  }
  if (mode_ == Mode::Reading) return onReadFrame(f);
  if (mode_ == Mode::UpgradeDone) return note("frame not expected after the upgrade; ignored");
  if (f == kConnectFrame) {
    ++connects_;
    send(LoaderEvent::Reply::ConnectAnswer, bytesOf(kAckFrame));
  } else if (f == kStartReadFrame) {
    startRead();
  } else if (f == kStartUpgradeFrame) {
    startUpgrade();
  } else {
    note("frame not expected; ignored");
  }
}

void LoaderModel::startRead() {
  mode_ = Mode::Reading;
  readModel_ = announced_;
  readBlocks_ = blockCountOfIndex(readModel_ - 1);
  nextBlock_ = 0;
  awaitingAck_ = false;
  send(LoaderEvent::Reply::ReadAnswer, bytesOf(identFrame(readModel_)));
  sendNextBlock();
}

void LoaderModel::sendNextBlock() {
  const unsigned k = nextBlock_++;
  const std::size_t at = std::size_t{k} * kBlockSize;
  std::vector<std::uint8_t> block(kBlockSize, kErasedByte);
  if (at + kBlockSize <= flash_.size())
    std::copy_n(flash_.begin() + long(at), kBlockSize, block.begin());
  send(LoaderEvent::Reply::ReadBlock, std::move(block), k);
  awaitingAck_ = true;
}

void LoaderModel::onReadFrame(const FrameBytes& f) {
  if (f == identFrame(readModel_) && awaitingAck_) {
    awaitingAck_ = false;
    if (nextBlock_ < readBlocks_) sendNextBlock();
  } else if (f == kReadCompleteFrame) {
    if (nextBlock_ >= readBlocks_ && !awaitingAck_) ++readsDone_;
    note("read finished after " + std::to_string(nextBlock_) + " blocks");
    mode_ = Mode::Idle;
  } else {
    note("frame not expected during a read; ignored");
  }
}

void LoaderModel::startUpgrade() {
  mode_ = Mode::Upgrading;
  upBlocks_ = 0;
  answers_ = 0;
  ++upgrades_;
  complete_ = false;
  send(LoaderEvent::Reply::UpgradeAnswer, bytesOf(upgradeAnswerFrame()));
}

FrameBytes LoaderModel::upgradeAnswerFrame() const {
  const auto& acks = ackFramesOf(ackGroupOfIndex(model_ - 1));
  switch (upgradeAnswer_) {
    case UpgradeAnswer::Ack0:
      return acks[0];
    case UpgradeAnswer::Ack1:
      return acks[1];
    case UpgradeAnswer::Ack2:
      return acks[2];
    case UpgradeAnswer::Ident:
      return identFrame(model_);
    case UpgradeAnswer::Rotate:
      break;
  }
  return acks[answers_ % acks.size()];
}

void LoaderModel::took(std::string text) {
  events_.push_back({.kind = LoaderEvent::Kind::Took, .text = std::move(text)});
}

void LoaderModel::note(std::string text) {
  events_.push_back({.kind = LoaderEvent::Kind::Note, .text = std::move(text)});
}

void LoaderModel::send(LoaderEvent::Reply reply, std::vector<std::uint8_t> bytes,
                       std::optional<unsigned> block, bool completesUpgrade) {
  if (reply == LoaderEvent::Reply::UpgradeAnswer) ++answers_;
  events_.push_back({.kind = LoaderEvent::Kind::Send,
                     .bytes = std::move(bytes),
                     .reply = reply,
                     .block = block,
                     .completesUpgrade = completesUpgrade});
}

}  // namespace quorvane::emu
