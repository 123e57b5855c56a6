// The demo's PC/SC session, played as the daemon; see session.h.
#include "tools/demo/session.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "lib/base/byte_reader.h"
#include "scredir/names.h"
#include "scredir/pcscd_msg.h"
#include "tools/card_model.h"
#include "tools/demo/format.h"

namespace scredir::demo {
namespace {

using Clock = std::chrono::steady_clock;

// PC/SC values the session sends.
constexpr uint32_t kScopeSystem = 2;
constexpr uint32_t kShareShared = 2;
constexpr uint32_t kProtocolsT0T1 = 0x3;
constexpr uint32_t kLeaveCard = 0;
constexpr uint32_t kStateUnaware = tools::kScardStateUnaware;
constexpr uint32_t kStateChanged = tools::kScardStateChanged;
constexpr uint32_t kStatePresent = tools::kScardStatePresent;
using tools::kAttrAtrString;
using tools::kScardENoService;
using tools::kScardENoSmartcard;
using tools::kScardETimeout;
using tools::kScardEUnsupportedFeature;
using tools::kScardFInternalError;
using tools::kScardWRemovedCard;
// pcsc-lite answers an attribute it does not offer with 0x8010001F, the
// value Windows calls SCARD_E_UNEXPECTED; Windows uses 0x80100022.
constexpr uint32_t kPcscLiteUnsupportedFeature = 0x8010001F;
// Room the session offers for an APDU response: a short APDU's 256 bytes
// plus the status word.
constexpr uint32_t kResponseRoom = 258;
// The GetStatusChange waits a session makes before giving up on a card.
constexpr int kMaxWaits = 16;
// The longest a reply wait goes without looking at the interrupt flag (a
// reply itself ends the wait at once, so round-trip times stay exact).
constexpr auto kInterruptCheck = std::chrono::milliseconds(50);

template <typename Msg>
Bytes ToBytes(const Msg& msg, size_t size = sizeof(Msg)) {
  const auto* p = reinterpret_cast<const uint8_t*>(&msg);
  return Bytes(p, p + std::min(size, sizeof(Msg)));
}

// The record part of a reply, when the reply has exactly the length the
// daemon's table gives the command.
template <typename Msg>
bool FromReply(const Bytes& reply, Msg* msg) {
  base::ByteReader reader(reply);
  return reply.size() == sizeof(PcscdMessageHeader) + sizeof(Msg) &&
         reader.Skip(sizeof(PcscdMessageHeader)) && reader.ReadBytes(msg, sizeof(Msg));
}

std::string Hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

// A NUL-terminated name copied into a fixed daemon field; false if too long.
template <size_t N>
bool PutName(char (&field)[N], const std::string& name) {
  if (name.size() >= N) return false;
  std::memcpy(field, name.c_str(), name.size() + 1);
  return true;
}

// The names of a multi-string of at most `length` bytes of `field`.
std::vector<std::string> Names(const char* field, size_t room, uint32_t length) {
  std::vector<std::string> names;
  size_t end = std::min<size_t>(length, room), pos = 0;
  while (pos < end && field[pos] != '\0') {
    size_t len = strnlen(field + pos, end - pos);
    names.emplace_back(field + pos, len);
    pos += len + 1;
  }
  return names;
}

// A sentence on what a failing result means for the session, if we know.
std::string Explain(const std::string& step, uint32_t rv) {
  if (rv == kScardWRemovedCard) return ": the card was taken out of the reader during the session";
  if (rv == kScardENoSmartcard) return ": there is no card in the reader";
  if (rv == kScardENoService)
    return ": no PC/SC service answers on the client's side (is pcscd running?)";
  if (rv == kScardETimeout && step == "wait") return ": no card was inserted in time";
  return "";
}

}  // namespace

bool IsStepName(const std::string& name) {
  return std::any_of(std::begin(kStepNames), std::end(kStepNames),
                     [&](const char* step) { return name == step; });
}

const std::vector<ApduSpec>& SessionApdus() {
  static const std::vector<ApduSpec> apdus = {
      // SELECT the master file 3F00, no response data wanted (P2 = 0C).
      {"select", "SELECT MF 3F00", {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}},
      {"challenge", "GET CHALLENGE (8 bytes)", {0x00, 0x84, 0x00, 0x00, 0x08}},
      {"verify", "VERIFY PIN \"1234\"", {0x00, 0x20, 0x00, 0x01, 0x04, '1', '2', '3', '4'}},
  };
  return apdus;
}

DemoSession::DemoSession(tools::DaemonDouble& daemon, std::ostream& out, SessionOptions options)
    : daemon_(daemon), out_(out), options_(std::move(options)) {}

SessionOutcome DemoSession::Run() {
  bool ok = Establish() && ListReaders() && FindCard() && Connect() && Status() && Begin();
  for (const ApduSpec& apdu : SessionApdus()) ok = ok && Transmit(apdu);
  ok = ok && End() && GetAttrib() && Disconnect() && Release();
  if (ok) return SessionOutcome::kCompleted;
  if (!noReply_) CleanUp();
  return noReply_ ? SessionOutcome::kNoReply : SessionOutcome::kFailed;
}

template <typename Msg>
bool DemoSession::Ask(const Call& call, Msg* msg, Reply* reply) {
  *reply = Exchange(call, ToBytes(*msg, call.sendBytes ? call.sendBytes : sizeof(Msg)));
  if (!reply->answered) return false;
  if (FromReply(reply->bytes, msg)) return true;
  return Result(call.step, *reply, kScardFInternalError,
                " (malformed reply of " + std::to_string(reply->bytes.size()) + " bytes)");
}

DemoSession::Reply DemoSession::Exchange(const Call& call, const Bytes& record) {
  if (options_.beforeStep) options_.beforeStep(call.step);
  char index[16];
  std::snprintf(index, sizeof index, "[%2zu] ", record_.results.size() + 1);
  out_ << index << call.name << call.args << std::endl;
  what_ = call.what.empty() ? call.name : call.what;

  Reply reply;
  uint32_t id = nextId_++;
  auto start = Clock::now();
  if (!daemon_.Send(id, call.command, record)) {
    Abandon("the plug-in closed the daemon socket before " + what_, "daemon socket closed");
    return reply;
  }
  auto timeout = call.timeout.count() ? call.timeout : options_.stepTimeout;
  std::optional<Bytes> bytes = AwaitReply(id, start + timeout);
  if (!bytes) {
    if (daemon_.peerClosed()) {
      Abandon("the plug-in closed the daemon socket before answering " + what_,
              "daemon socket closed");
    } else if (Interrupted()) {
      Abandon("interrupted while waiting for the reply to " + what_, "interrupted");
    } else {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%.1f s", timeout.count() / 1000.0);
      Abandon(
          "no reply to " + what_ + " within " + seconds + ": the remote client stopped answering",
          std::string("no reply within ") + seconds);
    }
    return reply;
  }
  reply.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  reply.answered = true;
  reply.bytes = std::move(*bytes);
  return reply;
}

bool DemoSession::Interrupted() const {
  return options_.interrupted && options_.interrupted->load();
}

std::optional<Bytes> DemoSession::AwaitReply(uint32_t id, Clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    auto bytes =
        daemon_.AwaitReply(id, std::clamp(left, std::chrono::milliseconds(0), kInterruptCheck));
    if (bytes || daemon_.peerClosed() || Interrupted() || left <= kInterruptCheck) return bytes;
  }
}

void DemoSession::Abandon(const std::string& failure, const std::string& shown) {
  failure_ = failure;
  out_ << "      -> " << shown << std::endl;
  noReply_ = true;
}

bool DemoSession::Result(const std::string& step, const Reply& reply, uint32_t rv,
                         const std::string& detail) {
  record_.results.emplace_back(step, rv);
  // A short detail stays on the result line; lines after it follow.
  size_t newline = detail.find('\n');
  out_ << "      -> " << ResultName(rv) << detail.substr(0, newline) << "   ("
       << Milliseconds(reply.ms) << ")"
       << (newline == std::string::npos ? "" : detail.substr(newline)) << std::endl;
  if (rv == 0) return true;
  if (failure_.empty()) failure_ = what_ + " failed with " + ResultName(rv) + Explain(step, rv);
  return false;
}

bool DemoSession::Establish() {
  EstablishContextMsg msg{};
  msg.dwScope = kScopeSystem;
  Reply reply;
  if (!Ask({"establish", PCSCD_ESTABLISH_CONTEXT, "SCardEstablishContext",
            std::string("(dwScope=") + ScRedirQrn_ScopeName(kScopeSystem) + ")"},
           &msg, &reply))
    return false;
  if (msg.rv == 0) hContext_ = msg.hContext;
  return Result("establish", reply, msg.rv, msg.rv ? "" : ", hContext=" + Hex32(msg.hContext));
}

bool DemoSession::ListReaders() {
  auto msg = std::make_unique<ListReadersMsg>();
  msg->hContext = hContext_;
  msg->cchReaders = kPcscdReadersBytes;
  Reply reply;
  if (!Ask({"list", PCSCD_LIST_READERS, "SCardListReaders",
            "(hContext=" + Hex32(hContext_) + ", groups=all)"},
           msg.get(), &reply))
    return false;
  if (msg->rv == 0) record_.readers = Names(msg->mszReaders, kPcscdReadersBytes, msg->cchReaders);
  if (!Result("list", reply, msg->rv, msg->rv ? "" : ", " + QuotedList(record_.readers)))
    return false;
  if (!record_.readers.empty()) return true;
  failure_ = "the client has no readers";
  return false;
}

bool DemoSession::ReaderStates(const std::string& step, uint32_t timeoutMs,
                               std::vector<uint32_t>* current, std::optional<size_t>* withCard) {
  auto msg = std::make_unique<GetStatusChangeMsg>();
  size_t count = std::min<size_t>(record_.readers.size(), kPcscdMaxReaderStates);
  msg->hContext = hContext_;
  msg->dwTimeOut = timeoutMs;
  msg->cReaders = static_cast<uint32_t>(count);
  Call call{step, PCSCD_GET_STATUS_CHANGE, "SCardGetStatusChange",
            "(hContext=" + Hex32(hContext_) + ", dwTimeout=" + std::to_string(timeoutMs) + " ms"};
  for (size_t i = 0; i < count; ++i) {
    if (!PutName(msg->rgReaderStates[i].szReader, record_.readers[i])) {
      failure_ = "reader name too long for the daemon: " + record_.readers[i];
      return false;
    }
    msg->rgReaderStates[i].dwCurrentState = (*current)[i];
    call.args += ", \"" + record_.readers[i] + "\": " + ReaderStateText((*current)[i]);
  }
  call.args += ")";
  // The wait itself may take the whole dwTimeout; the step time-out comes on top.
  call.timeout = std::chrono::milliseconds(timeoutMs) + options_.stepTimeout;
  Reply reply;
  if (!Ask(call, msg.get(), &reply)) return false;
  std::string detail;
  for (size_t i = 0; msg->rv == 0 && i < count; ++i)
    detail += NoteReaderState(i, msg->rgReaderStates[i], current, withCard);
  return Result(step, reply, msg->rv, detail);
}

std::string DemoSession::NoteReaderState(size_t i, const PcscdReaderState& slot,
                                         std::vector<uint32_t>* current,
                                         std::optional<size_t>* withCard) {
  // The next wait starts from what the reader reported, as an application
  // would do.
  (*current)[i] = slot.dwEventState & ~kStateChanged;
  std::string line =
      "\n         \"" + record_.readers[i] + "\": " + ReaderStateText(slot.dwEventState);
  if (!(slot.dwEventState & kStatePresent)) return line;
  Bytes atr(slot.rgbAtr, slot.rgbAtr + std::min(slot.cbAtr, kPcscdAtrBytes));
  line += ", ATR " + HexBytes(atr);
  if (!withCard->has_value()) {
    *withCard = i;
    record_.cardReader = record_.readers[i];
    record_.readerEventState = slot.dwEventState;
    record_.readerAtr = atr;
  }
  return line;
}

bool DemoSession::FindCard() {
  std::vector<uint32_t> current(record_.readers.size(), kStateUnaware);
  std::optional<size_t> withCard;
  if (!ReaderStates("state", 0, &current, &withCard)) return false;
  auto deadline = Clock::now() + options_.cardWait;
  for (int wait = 0; !withCard && wait < kMaxWaits; ++wait) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    if (wait == 0)
      out_ << "     no card yet: insert one (waiting up to " << options_.cardWait.count() / 1000.0
           << " s)" << std::endl;
    if (!ReaderStates("wait", static_cast<uint32_t>(left.count()), &current, &withCard))
      return false;
  }
  if (withCard) return true;
  failure_ = "no card was inserted in time";
  return false;
}

bool DemoSession::Connect() {
  ConnectMsg msg{};
  msg.hContext = hContext_;
  PutName(msg.szReader, record_.cardReader);  // fits: it came through a daemon field
  msg.dwShareMode = kShareShared;
  msg.dwPreferredProtocols = kProtocolsT0T1;
  Reply reply;
  if (!Ask({"connect", PCSCD_CONNECT, "SCardConnect",
            "(hContext=" + Hex32(hContext_) + ", \"" + record_.cardReader +
                "\", SCARD_SHARE_SHARED, T=0|T=1)"},
           &msg, &reply))
    return false;
  if (msg.rv == 0) {
    hCard_ = msg.hCard;
    record_.activeProtocol = msg.dwActiveProtocol;
  }
  return Result(
      "connect", reply, msg.rv,
      msg.rv ? ""
             : ", hCard=" + Hex32(msg.hCard) + ", protocol " + ProtocolText(msg.dwActiveProtocol));
}

bool DemoSession::Status() {
  StatusMsg msg{};
  msg.hContext = hContext_;
  msg.hCard = hCard_;
  msg.cchReaderLen = kPcscdStatusNameBytes;
  msg.cbAtrLen = kPcscdAtrBytes;
  Reply reply;
  if (!Ask({"status", PCSCD_STATUS, "SCardStatus", "(hCard=" + Hex32(hCard_) + ")"}, &msg, &reply))
    return false;
  std::string detail;
  if (msg.rv == 0) {
    record_.statusReaderNames = Names(msg.mszReaderName, kPcscdStatusNameBytes, msg.cchReaderLen);
    record_.statusState = msg.dwState;
    record_.statusProtocol = msg.dwProtocol;
    record_.statusAtr.assign(msg.pbAtr, msg.pbAtr + std::min(msg.cbAtrLen, kPcscdAtrBytes));
    detail = "\n         reader " + QuotedList(record_.statusReaderNames) + ", state " +
             (options_.windowsCardStates ? WindowsCardStateText : CardStateText)(msg.dwState) +
             ", protocol " + ProtocolText(msg.dwProtocol) + "\n         ATR " +
             HexBytes(record_.statusAtr);
  }
  return Result("status", reply, msg.rv, detail);
}

bool DemoSession::Begin() {
  BeginTransactionMsg msg{};
  msg.hContext = hContext_;
  msg.hCard = hCard_;
  Reply reply;
  if (!Ask({"begin", PCSCD_BEGIN_TRANSACTION, "SCardBeginTransaction",
            "(hCard=" + Hex32(hCard_) + ")"},
           &msg, &reply))
    return false;
  inTransaction_ = msg.rv == 0;
  return Result("begin", reply, msg.rv);
}

bool DemoSession::Transmit(const ApduSpec& apdu) {
  auto msg = std::make_unique<TransmitMsg>();
  msg->hContext = hContext_;
  msg->hCard = hCard_;
  msg->cbSendLength = static_cast<uint32_t>(apdu.command.size());
  msg->cbRecvLength = kResponseRoom;
  msg->ioSendPciProtocol = record_.activeProtocol;
  msg->ioSendPciLength = 8;
  std::copy(apdu.command.begin(), apdu.command.end(), msg->pbBuffer);
  Call call{apdu.step, PCSCD_TRANSMIT, "SCardTransmit",
            "(hCard=" + Hex32(hCard_) + ", " + ProtocolText(record_.activeProtocol) + ") " +
                apdu.label + "\n       > " + HexBytes(apdu.command)};
  // The daemon sends the fixed part and the command bytes only.
  call.sendBytes = kTransmitFixedBytes + apdu.command.size();
  call.what = std::string("SCardTransmit ") + apdu.label;
  Reply reply;
  if (!Ask(call, msg.get(), &reply)) return false;
  SessionRecord::Apdu seen{apdu.label, apdu.command, msg->rv, {}};
  std::string detail;
  if (msg->rv == 0) {
    uint32_t length = std::min(msg->cbRecvLength, kPcscdBufferBytes);
    seen.response.assign(msg->pbBuffer, msg->pbBuffer + length);
    detail = "\n       < " + HexBytes(seen.response) + "   " + StatusWordText(seen.response);
  }
  record_.apdus.push_back(seen);
  return Result(apdu.step, reply, msg->rv, detail);
}

bool DemoSession::End() {
  EndTransactionMsg msg{};
  msg.hContext = hContext_;
  msg.hCard = hCard_;
  msg.dwDisposition = kLeaveCard;
  inTransaction_ = false;
  Reply reply;
  if (!Ask({"end", PCSCD_END_TRANSACTION, "SCardEndTransaction",
            "(hCard=" + Hex32(hCard_) + ", SCARD_LEAVE_CARD)"},
           &msg, &reply))
    return false;
  return Result("end", reply, msg.rv);
}

bool DemoSession::GetAttrib() {
  auto msg = std::make_unique<GetAttribMsg>();
  msg->hContext = hContext_;
  msg->hCard = hCard_;
  msg->dwAttrId = kAttrAtrString;
  msg->cbAttrLen = kPcscdAttrBytes;
  record_.attribId = kAttrAtrString;
  Reply reply;
  if (!Ask({"attrib", PCSCD_GET_ATTRIB, "SCardGetAttrib",
            "(hCard=" + Hex32(hCard_) + ", " + ScRedirQrn_AttrIdName(kAttrAtrString) + ")"},
           msg.get(), &reply))
    return false;
  record_.attribRv = msg->rv;
  if (msg->rv == 0)
    record_.attrib.assign(msg->pbAttr, msg->pbAttr + std::min(msg->cbAttrLen, kPcscdAttrBytes));
  if (msg->rv == kScardEUnsupportedFeature || msg->rv == kPcscLiteUnsupportedFeature) {
    // A reader that does not offer the attribute answered correctly; the
    // session goes on.
    record_.results.emplace_back("attrib", msg->rv);
    out_ << "      -> " << ResultName(msg->rv) << ": the reader does not offer this attribute   ("
         << Milliseconds(reply.ms) << ")" << std::endl;
    return true;
  }
  return Result("attrib", reply, msg->rv, msg->rv ? "" : ", " + HexBytes(record_.attrib));
}

bool DemoSession::Disconnect() {
  DisconnectMsg msg{};
  msg.hContext = hContext_;
  msg.hCard = hCard_;
  msg.dwDisposition = kLeaveCard;
  hCard_ = 0;
  Reply reply;
  if (!Ask({"disconnect", PCSCD_DISCONNECT, "SCardDisconnect",
            "(hCard=" + Hex32(msg.hCard) + ", SCARD_LEAVE_CARD)"},
           &msg, &reply))
    return false;
  return Result("disconnect", reply, msg.rv);
}

bool DemoSession::Release() {
  ReleaseContextMsg msg{};
  msg.hContext = hContext_;
  hContext_ = 0;
  Reply reply;
  if (!Ask({"release", PCSCD_RELEASE_CONTEXT, "SCardReleaseContext",
            "(hContext=" + Hex32(msg.hContext) + ")"},
           &msg, &reply))
    return false;
  return Result("release", reply, msg.rv);
}

void DemoSession::CleanUp() {
  if (!inTransaction_ && !hCard_ && !hContext_) return;
  out_ << "     cleaning up after the failure:" << std::endl;
  // Each call below clears what it undoes, so nothing is undone twice; a
  // call that goes unanswered ends the clean-up.
  if (inTransaction_) {
    End();
    if (noReply_) return;
  }
  if (hCard_) {
    Disconnect();
    if (noReply_) return;
  }
  if (hContext_) Release();
}

}  // namespace scredir::demo
