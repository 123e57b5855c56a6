// The emulated reader farm. One mutex guards everything; GetStatusChange is
// the only call that waits, on `changed_`, and it re-evaluates the readers
// after every wake-up so spurious wake-ups are harmless.
#include "tools/card_model.h"

#include <algorithm>
#include <chrono>

namespace scredir::tools {
namespace {

constexpr uint32_t kShareExclusive = 1;
constexpr uint32_t kShareDirect = 3;
constexpr uint32_t kLeaveCard = 0;
constexpr uint32_t kPresenceMask = kScardStateEmpty | kScardStatePresent;

Bytes Sw(uint8_t sw1, uint8_t sw2) {
  return {sw1, sw2};
}

}  // namespace

CardModel::CardModel() {
  attributes_[kAttrVendorName] = Bytes{'E', 'm', 'u', 'l', 'a', 't', 'e', 'd'};
}

CardModel::~CardModel() {
  Shutdown();
}

void CardModel::AddReader(const std::string& name, bool cardPresent, const Bytes& atr) {
  std::lock_guard lock(mu_);
  readers_.push_back(Reader{name, cardPresent, cardPresent ? atr : Bytes{}, 0});
  changed_.notify_all();
}

void CardModel::InsertCard(const std::string& reader, const Bytes& atr) {
  std::lock_guard lock(mu_);
  if (Reader* r = FindReader(reader)) {
    r->present = true;
    r->atr = atr;
    ++r->insertions;
    verified_ = false;
  }
  changed_.notify_all();
}

void CardModel::RemoveCard(const std::string& reader) {
  std::lock_guard lock(mu_);
  if (Reader* r = FindReader(reader)) {
    r->present = false;
    r->atr.clear();
    ++r->insertions;
    verified_ = false;
  }
  changed_.notify_all();
}

void CardModel::SetIdLengths(uint32_t contextLength, uint32_t handleLength) {
  std::lock_guard lock(mu_);
  contextLength_ = contextLength;
  handleLength_ = handleLength;
}

void CardModel::SetPin(const Bytes& pin, uint32_t tries) {
  std::lock_guard lock(mu_);
  pin_ = pin;
  triesLeft_ = maxTries_ = std::min<uint32_t>(tries, 15);
  verified_ = false;
}

void CardModel::SetNextChallenge(const Bytes& challenge) {
  std::lock_guard lock(mu_);
  nextChallenge_ = challenge;
}

void CardModel::SetAttribute(uint32_t attrId, const Bytes& value) {
  std::lock_guard lock(mu_);
  attributes_[attrId] = value;
}

void CardModel::SetReportRecvPci(bool on) {
  std::lock_guard lock(mu_);
  reportRecvPci_ = on;
}

void CardModel::FailNext(CardCall call, uint32_t rv) {
  std::lock_guard lock(mu_);
  failures_[call] = rv;
}

void CardModel::Shutdown() {
  std::lock_guard lock(mu_);
  shutdown_ = true;
  changed_.notify_all();
}

size_t CardModel::WaitingStatusChanges() const {
  std::lock_guard lock(mu_);
  return waiting_;
}

void CardModel::WaitForStatusChangeWaiters(size_t count) const {
  std::unique_lock lock(mu_);
  changed_.wait(lock, [&] { return waiting_ >= count || shutdown_; });
}

bool CardModel::TakeFailure(CardCall call, uint32_t* rv) {
  auto it = failures_.find(call);
  if (it == failures_.end()) return false;
  *rv = it->second;
  failures_.erase(it);
  return true;
}

Bytes CardModel::NewId(uint32_t length) {
  Bytes id(length, 0);
  uint32_t value = nextId_++;
  for (uint32_t i = 0; i < length && i < 4; ++i) id[i] = static_cast<uint8_t>(value >> (8 * i));
  return id;
}

CardModel::Reader* CardModel::FindReader(const std::string& name) {
  for (Reader& r : readers_) {
    if (r.name == name) return &r;
  }
  return nullptr;
}

CardModel::Connection* CardModel::FindConnection(const CardRef& card, uint32_t* rv) {
  auto it = connections_.find(card.handle);
  if (it == connections_.end()) {
    *rv = kScardEInvalidHandle;
    return nullptr;
  }
  const Reader* reader = FindReader(it->second.reader);
  if (!reader || !reader->present || reader->insertions != it->second.insertion) {
    *rv = kScardWRemovedCard;
    return nullptr;
  }
  *rv = kScardSuccess;
  return &it->second;
}

uint32_t CardModel::PickProtocol(uint32_t preferred) {
  if (preferred & kScardProtocolT1) return kScardProtocolT1;
  if (preferred & kScardProtocolT0) return kScardProtocolT0;
  return 0;
}

uint32_t CardModel::EstablishContext(uint32_t scope, Bytes* context) {
  std::lock_guard lock(mu_);
  uint32_t rv;
  if (TakeFailure(CardCall::kEstablishContext, &rv)) return rv;
  if (scope > 2) return kScardEInvalidValue;
  *context = NewId(contextLength_);
  contexts_[*context] = Context{};
  return kScardSuccess;
}

uint32_t CardModel::ReleaseContext(const Bytes& context) {
  std::lock_guard lock(mu_);
  uint32_t rv;
  if (TakeFailure(CardCall::kReleaseContext, &rv)) return rv;
  if (contexts_.erase(context) == 0) return kScardEInvalidHandle;
  changed_.notify_all();  // a wait on this context ends as cancelled
  return kScardSuccess;
}

uint32_t CardModel::ListReaders(const Bytes& context, const std::vector<std::string>& /*groups*/,
                                std::vector<std::string>* readers) {
  std::lock_guard lock(mu_);
  uint32_t rv;
  if (TakeFailure(CardCall::kListReaders, &rv)) return rv;
  if (!contexts_.count(context)) return kScardEInvalidHandle;
  if (readers_.empty()) return kScardENoReadersAvailable;
  readers->clear();
  for (const Reader& r : readers_) readers->push_back(r.name);
  return kScardSuccess;
}

// The reader's state as GetStatusChange reports it; CHANGED is set when it
// differs from what the caller believes.
uint32_t CardModel::ReaderEventState(const ReaderState& s, Bytes* atr) const {
  if (s.currentState & kScardStateIgnore) return kScardStateIgnore;
  const Reader* reader = nullptr;
  for (const Reader& r : readers_) {
    if (r.name == s.reader) reader = &r;
  }
  if (!reader) return kScardStateUnknown | kScardStateChanged;
  uint32_t actual = reader->present ? kScardStatePresent : kScardStateEmpty;
  *atr = reader->atr;
  bool differs = (s.currentState & kPresenceMask) != actual;
  return actual | (differs ? kScardStateChanged : 0);
}

uint32_t CardModel::GetStatusChange(const Bytes& context, uint32_t timeoutMs,
                                    std::vector<ReaderState>* states) {
  std::unique_lock lock(mu_);
  uint32_t rv;
  if (TakeFailure(CardCall::kGetStatusChange, &rv)) return rv;
  auto ctx = contexts_.find(context);
  if (ctx == contexts_.end()) return kScardEInvalidHandle;
  const uint32_t cancelsAtStart = ctx->second.cancels;
  auto evaluate = [&] {
    bool any = false;
    for (ReaderState& s : *states) {
      Bytes atr;
      s.eventState = ReaderEventState(s, &atr);
      s.atr = atr;
      any = any || (s.eventState & kScardStateChanged);
    }
    return any;
  };
  auto cancelled = [&] {
    auto it = contexts_.find(context);
    return shutdown_ || it == contexts_.end() || it->second.cancels != cancelsAtStart;
  };
  auto done = [&] { return evaluate() || cancelled(); };
  if (done()) return cancelled() ? kScardECancelled : kScardSuccess;
  if (timeoutMs == 0) return kScardETimeout;
  ++waiting_;
  changed_.notify_all();
  bool woke = true;
  if (timeoutMs == kInfinite) {
    changed_.wait(lock, done);
  } else {
    woke = changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
  }
  --waiting_;
  if (!woke) return kScardETimeout;
  return cancelled() ? kScardECancelled : kScardSuccess;
}

uint32_t CardModel::Connect(const Bytes& context, const std::string& reader, uint32_t shareMode,
                            uint32_t preferredProtocols, Bytes* handle, uint32_t* activeProtocol) {
  std::lock_guard lock(mu_);
  uint32_t rv;
  if (TakeFailure(CardCall::kConnect, &rv)) return rv;
  if (!contexts_.count(context)) return kScardEInvalidHandle;
  Reader* r = FindReader(reader);
  if (!r) return kScardEUnknownReader;
  uint32_t protocol = PickProtocol(preferredProtocols);
  if (shareMode != kShareDirect) {
    if (!r->present) return kScardENoSmartcard;
    if (protocol == 0) return kScardEProtoMismatch;
  }
  for (const auto& [id, conn] : connections_) {
    if (conn.reader == reader &&
        (shareMode == kShareExclusive || conn.shareMode == kShareExclusive)) {
      return kScardESharingViolation;
    }
  }
  *handle = NewId(handleLength_);
  *activeProtocol = protocol;
  connections_[*handle] = Connection{reader, shareMode, protocol, r->insertions};
  return kScardSuccess;
}

uint32_t CardModel::Reconnect(const CardRef& card, uint32_t shareMode, uint32_t preferredProtocols,
                              uint32_t initialization, uint32_t* activeProtocol) {
  std::lock_guard lock(mu_);
  uint32_t rv;
  if (TakeFailure(CardCall::kReconnect, &rv)) return rv;
  auto it = connections_.find(card.handle);
  if (it == connections_.end()) return kScardEInvalidHandle;
  Reader* r = FindReader(it->second.reader);
  if (!r || !r->present) return kScardENoSmartcard;
  uint32_t protocol = PickProtocol(preferredProtocols);
  if (protocol == 0) return kScardEProtoMismatch;
  if (initialization != kLeaveCard) verified_ = false;
  it->second.shareMode = shareMode;
  it->second.protocol = protocol;
  it->second.insertion = r->insertions;
  *activeProtocol = protocol;
  return kScardSuccess;
}

uint32_t CardModel::Disconnect(const CardRef& card, uint32_t disposition) {
  std::lock_guard lock(mu_);
  uint32_t rv;
  if (TakeFailure(CardCall::kDisconnect, &rv)) return rv;
  if (connections_.erase(card.handle) == 0) return kScardEInvalidHandle;
  if (transactionHolder_ == card.handle) transactionHolder_.reset();
  if (disposition != kLeaveCard) verified_ = false;
  return kScardSuccess;
}

uint32_t CardModel::BeginTransaction(const CardRef& card) {
  std::lock_guard lock(mu_);
  uint32_t rv;
  if (TakeFailure(CardCall::kBeginTransaction, &rv)) return rv;
  if (!FindConnection(card, &rv)) return rv;
  if (transactionHolder_ && *transactionHolder_ != card.handle) return kScardESharingViolation;
  transactionHolder_ = card.handle;
  return kScardSuccess;
}

uint32_t CardModel::EndTransaction(const CardRef& card, uint32_t disposition) {
  std::lock_guard lock(mu_);
  uint32_t rv;
  if (TakeFailure(CardCall::kEndTransaction, &rv)) return rv;
  if (!FindConnection(card, &rv)) return rv;
  if (transactionHolder_ != card.handle) return kScardENotTransacted;
  transactionHolder_.reset();
  if (disposition != kLeaveCard) verified_ = false;
  return kScardSuccess;
}

uint32_t CardModel::Transmit(const CardRef& card, uint32_t sendProtocol, const Bytes& command,
                             uint32_t recvLength, Bytes* response,
                             std::optional<uint32_t>* recvProtocol) {
  std::lock_guard lock(mu_);
  uint32_t rv;
  if (TakeFailure(CardCall::kTransmit, &rv)) return rv;
  Connection* conn = FindConnection(card, &rv);
  if (!conn) return rv;
  if (sendProtocol != conn->protocol) return kScardEProtoMismatch;
  Bytes answer = RespondApduLocked(command);
  if (answer.size() > recvLength) return kScardEInsufficientBuffer;
  *response = std::move(answer);
  if (reportRecvPci_) *recvProtocol = conn->protocol;
  return kScardSuccess;
}

uint32_t CardModel::Control(const CardRef& card, uint32_t controlCode, const Bytes& input,
                            uint32_t outputSize, Bytes* output) {
  std::lock_guard lock(mu_);
  uint32_t rv;
  if (TakeFailure(CardCall::kControl, &rv)) return rv;
  if (!connections_.count(card.handle)) return kScardEInvalidHandle;
  Bytes answer;
  if (controlCode == kControlReverse) {
    answer.assign(input.rbegin(), input.rend());
  } else if (controlCode != kControlGetFeatureRequest) {
    return kScardEUnsupportedFeature;
  }
  if (answer.size() > outputSize) return kScardEInsufficientBuffer;
  *output = std::move(answer);
  return kScardSuccess;
}

uint32_t CardModel::Status(const CardRef& card, std::vector<std::string>* readerNames,
                           uint32_t* state, uint32_t* protocol, Bytes* atr) {
  std::lock_guard lock(mu_);
  uint32_t rv;
  if (TakeFailure(CardCall::kStatus, &rv)) return rv;
  auto it = connections_.find(card.handle);
  if (it == connections_.end()) return kScardEInvalidHandle;
  readerNames->assign(1, it->second.reader);
  if (!FindConnection(card, &rv)) {
    // The card went away: the state still says so, as PC/SC does.
    *state = kScardAbsent;
    *protocol = 0;
    atr->clear();
    return rv;
  }
  // Connect chose the protocol: the card is in its specific mode.
  *state = kScardPresent | kScardPowered | kScardSpecific;
  *protocol = it->second.protocol;
  *atr = FindReader(it->second.reader)->atr;
  return kScardSuccess;
}

uint32_t CardModel::Cancel(const Bytes& context) {
  std::lock_guard lock(mu_);
  uint32_t rv;
  if (TakeFailure(CardCall::kCancel, &rv)) return rv;
  auto it = contexts_.find(context);
  if (it == contexts_.end()) return kScardEInvalidHandle;
  ++it->second.cancels;
  changed_.notify_all();
  return kScardSuccess;
}

uint32_t CardModel::GetAttrib(const CardRef& card, uint32_t attrId, uint32_t bufferLength,
                              Bytes* value) {
  std::lock_guard lock(mu_);
  uint32_t rv;
  if (TakeFailure(CardCall::kGetAttrib, &rv)) return rv;
  Connection* conn = FindConnection(card, &rv);
  if (!conn) return rv;
  if (attrId == kAttrAtrString) {
    *value = FindReader(conn->reader)->atr;
  } else if (attrId == kAttrFriendlyNameA) {
    value->assign(conn->reader.begin(), conn->reader.end());
    value->push_back(0);
  } else if (auto it = attributes_.find(attrId); it != attributes_.end()) {
    *value = it->second;
  } else {
    return kScardEUnsupportedFeature;
  }
  // The value stays filled in so the caller can report the length it needs.
  if (bufferLength != 0 && value->size() > bufferLength) return kScardEInsufficientBuffer;
  return kScardSuccess;
}

uint32_t CardModel::SetAttrib(const CardRef& card, uint32_t attrId, const Bytes& value) {
  std::lock_guard lock(mu_);
  uint32_t rv;
  if (TakeFailure(CardCall::kSetAttrib, &rv)) return rv;
  if (!FindConnection(card, &rv)) return rv;
  if (attrId == kAttrAtrString || attrId == kAttrFriendlyNameA) return kScardEInvalidParameter;
  attributes_[attrId] = value;
  return kScardSuccess;
}

Bytes CardModel::RespondApdu(const Bytes& command) {
  std::lock_guard lock(mu_);
  return RespondApduLocked(command);
}

// A minimal card application: enough for a PIN entry and a challenge.
Bytes CardModel::RespondApduLocked(const Bytes& c) {
  if (c.size() < 4) return Sw(0x67, 0x00);
  if (c[0] != 0x00) return Sw(0x6E, 0x00);
  const uint8_t ins = c[1];
  const size_t lc = c.size() > 4 ? c[4] : 0;
  if (ins == 0xA4) {  // SELECT
    if (c.size() != 5 + lc && c.size() != 6 + lc) return Sw(0x67, 0x00);
    if (c[2] == 0x00 && lc == 2 && c[5] == 0x3F && c[6] == 0x00) return Sw(0x90, 0x00);
    return Sw(0x6A, 0x82);
  }
  if (ins == 0x84) {  // GET CHALLENGE, Le in byte 4
    if (c.size() != 5 || c[4] == 0) return Sw(0x67, 0x00);
    Bytes out;
    if (nextChallenge_ && nextChallenge_->size() == c[4]) {
      out = *nextChallenge_;
      nextChallenge_.reset();
    } else {
      for (size_t i = 0; i < c[4]; ++i) out.push_back(challengeCounter_++);
    }
    out.push_back(0x90);
    out.push_back(0x00);
    return out;
  }
  if (ins == 0x20) {  // VERIFY
    if (c[2] != 0x00) return Sw(0x6A, 0x86);
    if (c.size() > 4 && c.size() != 5 + lc) return Sw(0x67, 0x00);
    if (lc == 0) {  // a query for the tries left
      return verified_ ? Sw(0x90, 0x00) : Sw(0x63, static_cast<uint8_t>(0xC0 | triesLeft_));
    }
    if (triesLeft_ == 0) return Sw(0x69, 0x83);
    if (Bytes(c.begin() + 5, c.end()) == pin_) {
      verified_ = true;
      triesLeft_ = maxTries_;
      return Sw(0x90, 0x00);
    }
    verified_ = false;
    --triesLeft_;
    return triesLeft_ == 0 ? Sw(0x69, 0x83) : Sw(0x63, static_cast<uint8_t>(0xC0 | triesLeft_));
  }
  return Sw(0x6D, 0x00);
}

}  // namespace scredir::tools
