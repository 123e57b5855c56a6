// See wire.h.
#include "daemon/wire.h"

#include <cstring>

#include "lib/base/byte_reader.h"

namespace scredir::pcscd::wire {
namespace {

constexpr size_t kShrinkAbove = 8192;

}  // namespace

std::optional<size_t> BodyBytes(uint32_t command) {
  switch (command) {
    case kVersion:
      return off::kVerSize;
    case kEstablishContext:
      return off::kEstSize;
    case kReleaseContext:
    case kCancel:
      return off::kCtxSize;
    case kConnect:
      return off::kConSize;
    case kReconnect:
      return off::kRecSize;
    case kDisconnect:
    case kEndTransaction:
      return off::kDisSize;
    case kBeginTransaction:
    case kStatus:
      return off::kCardSize;
    case kTransmit:
      return off::kTxSize;
    case kControl:
      return off::kCtlSize;
    case kGetAttrib:
    case kSetAttrib:
      return off::kAtSize;
    case kGetReadersState:
    case kWaitReaderStateChange:
    case kStopWaitingReaderStateChange:
      return 0;
    default:
      return std::nullopt;
  }
}

const char* CommandName(uint32_t command) {
  switch (command) {
    case kEstablishContext:
      return "ESTABLISH_CONTEXT";
    case kReleaseContext:
      return "RELEASE_CONTEXT";
    case kListReaders:
      return "LIST_READERS";
    case kConnect:
      return "CONNECT";
    case kReconnect:
      return "RECONNECT";
    case kDisconnect:
      return "DISCONNECT";
    case kBeginTransaction:
      return "BEGIN_TRANSACTION";
    case kEndTransaction:
      return "END_TRANSACTION";
    case kTransmit:
      return "TRANSMIT";
    case kControl:
      return "CONTROL";
    case kStatus:
      return "STATUS";
    case kGetStatusChange:
      return "GET_STATUS_CHANGE";
    case kCancel:
      return "CANCEL";
    case kCancelTransaction:
      return "CANCEL_TRANSACTION";
    case kGetAttrib:
      return "GET_ATTRIB";
    case kSetAttrib:
      return "SET_ATTRIB";
    case kVersion:
      return "CMD_VERSION";
    case kGetReadersState:
      return "CMD_GET_READERS_STATE";
    case kWaitReaderStateChange:
      return "CMD_WAIT_READER_STATE_CHANGE";
    case kStopWaitingReaderStateChange:
      return "CMD_STOP_WAITING_READER_STATE_CHANGE";
    default:
      return "unknown";
  }
}

uint32_t Get32(std::span<const uint8_t> bytes, size_t offset) {
  base::ByteReader reader(bytes);
  uint32_t value = 0;
  if (!reader.Seek(offset) || !reader.ReadU32Le(value)) return 0;
  return value;
}

void Put32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
  if (offset > bytes.size() || bytes.size() - offset < 4) return;
  std::memcpy(bytes.data() + offset, &value, 4);
}

std::string GetText(std::span<const uint8_t> bytes, size_t offset, size_t capacity) {
  base::ByteReader reader(bytes);
  if (!reader.Seek(offset)) return {};
  auto field = reader.ReadSpan(std::min(capacity, reader.remaining()));
  if (!field) return {};
  base::ByteReader text(*field);
  return std::string(text.ReadUntil(0));
}

std::span<uint8_t> FrameReader::Space() {
  return std::span<uint8_t>(buf_).subspan(have_);
}

FrameReader::Status FrameReader::Begin(Part part, size_t bytes) {
  part_ = part;
  if (part == Part::kDone) return Status::kFrame;
  buf_.resize(have_ + bytes);
  return Status::kNeedMore;
}

FrameReader::Status FrameReader::Received(size_t n) {
  have_ += n;
  if (have_ < buf_.size()) return Status::kNeedMore;
  switch (part_) {
    case Part::kHeader: {
      const uint32_t size = Get32(buf_, 0);
      command_ = Get32(buf_, 4);
      std::optional<size_t> expected = BodyBytes(command_);
      if (!expected) {
        error_ = "unknown command " + std::to_string(command_);
        return Status::kBad;
      }
      if (size != *expected) {
        error_ = std::string(CommandName(command_)) + " with " + std::to_string(size) +
                 " bytes instead of " + std::to_string(*expected);
        return Status::kBad;
      }
      bodyBytes_ = *expected;
      if (bodyBytes_ == 0) return Begin(Part::kDone, 0);
      return Begin(Part::kBody, bodyBytes_);
    }
    case Part::kBody: {
      size_t extra = 0;
      if (command_ == kTransmit) extra = Get32(body(), off::kTxSend);
      if (command_ == kControl) extra = Get32(body(), off::kCtlSend);
      if (extra > kMaxExtended) {
        error_ = std::string(CommandName(command_)) + " announces " + std::to_string(extra) +
                 " send bytes, more than " + std::to_string(kMaxExtended);
        return Status::kBad;
      }
      if (extra == 0) return Begin(Part::kDone, 0);
      return Begin(Part::kExtra, extra);
    }
    case Part::kExtra:
      return Begin(Part::kDone, 0);
    case Part::kDone:
      break;
  }
  return Status::kFrame;
}

std::span<const uint8_t> FrameReader::body() const {
  if (have_ < kHeaderBytes) return {};
  return std::span<const uint8_t>(buf_).subspan(kHeaderBytes,
                                                std::min(bodyBytes_, have_ - kHeaderBytes));
}

std::span<const uint8_t> FrameReader::extra() const {
  size_t start = kHeaderBytes + bodyBytes_;
  if (have_ <= start) return {};
  return std::span<const uint8_t>(buf_).subspan(start, have_ - start);
}

void FrameReader::Reset() {
  have_ = 0;
  bodyBytes_ = 0;
  command_ = 0;
  part_ = Part::kHeader;
  error_.clear();
  buf_.resize(kHeaderBytes);
  if (buf_.capacity() > kShrinkAbove) buf_.shrink_to_fit();
}

}  // namespace scredir::pcscd::wire
