// CardModel: an emulated reader farm behind the CardBackend interface.
//
// It keeps readers, card presence and ATRs, contexts, connections,
// transactions and attributes, and answers APDUs with a tiny card
// application: SELECT of the master file 3F00, GET CHALLENGE and VERIFY
// with a retry counter. Contexts and handles are 4-byte little-endian
// counters unless the test asks for another length.
//
// All state sits behind one mutex; GetStatusChange waits on a condition
// variable that card insertion/removal, Cancel and Shutdown wake. Every
// public method may be called from any thread. Shutdown ends every wait so
// the client double can join its threads.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tools/card_backend.h"

namespace scredir::tools {

// Calls a test can make fail once with a chosen result code.
enum class CardCall {
  kEstablishContext,
  kReleaseContext,
  kListReaders,
  kGetStatusChange,
  kConnect,
  kReconnect,
  kDisconnect,
  kBeginTransaction,
  kEndTransaction,
  kTransmit,
  kControl,
  kStatus,
  kCancel,
  kGetAttrib,
  kSetAttrib,
};

// Reader attribute ids the model knows out of the box.
inline constexpr uint32_t kAttrVendorName = 0x00010100;
inline constexpr uint32_t kAttrAtrString = 0x00090303;
inline constexpr uint32_t kAttrFriendlyNameA = 0x7FFF0003;

// Control codes the model answers.
inline constexpr uint32_t kControlGetFeatureRequest = 0x42000D48;  // no features: empty output
inline constexpr uint32_t kControlReverse = 0x42000D49;            // returns its input reversed

class CardModel : public CardBackend {
 public:
  static inline const Bytes kDefaultAtr = {0x3B, 0x8F, 0x80, 0x01, 0x80, 0x4F, 0x0C,
                                           0xA0, 0x00, 0x00, 0x03, 0x06, 0x03, 0x00,
                                           0x03, 0x00, 0x00, 0x00, 0x00, 0x68};
  static inline const Bytes kDefaultPin = {'1', '2', '3', '4'};

  CardModel();
  ~CardModel() override;

  // Set-up and scenario control.
  void AddReader(const std::string& name, bool cardPresent, const Bytes& atr = kDefaultAtr);
  void InsertCard(const std::string& reader, const Bytes& atr = kDefaultAtr);
  void RemoveCard(const std::string& reader);
  void SetIdLengths(uint32_t contextLength, uint32_t handleLength);
  void SetPin(const Bytes& pin, uint32_t tries);
  // Bytes the next GET CHALLENGE returns (the default is a fixed counter run).
  void SetNextChallenge(const Bytes& challenge);
  void SetAttribute(uint32_t attrId, const Bytes& value);
  // Whether Transmit reports a receive PCI (the active protocol, no extra bytes).
  void SetReportRecvPci(bool on);
  // The next call of this kind answers `rv` before doing anything else.
  void FailNext(CardCall call, uint32_t rv);
  // Ends every GetStatusChange wait with kScardECancelled, now and later.
  void Shutdown();
  // Number of GetStatusChange calls currently waiting.
  size_t WaitingStatusChanges() const;
  // Blocks until `count` GetStatusChange calls are waiting.
  void WaitForStatusChangeWaiters(size_t count) const;

  // The APDU responder on its own, for unit tests.
  Bytes RespondApdu(const Bytes& command);

  // CardBackend.
  SCREDIR_CARD_BACKEND_OVERRIDES;

 private:
  struct Reader {
    std::string name;
    bool present = false;
    Bytes atr;
    uint32_t insertions = 0;  // changes when a card comes or goes
  };
  struct Connection {
    std::string reader;
    uint32_t shareMode = 0;
    uint32_t protocol = 0;
    uint32_t insertion = 0;  // the card this connection was made to
  };
  struct Context {
    uint32_t cancels = 0;  // bumped by Cancel; waits started before end
  };

  bool TakeFailure(CardCall call, uint32_t* rv);
  Bytes NewId(uint32_t length);
  Reader* FindReader(const std::string& name);
  Connection* FindConnection(const CardRef& card, uint32_t* rv);
  static uint32_t PickProtocol(uint32_t preferred);
  Bytes RespondApduLocked(const Bytes& command);
  uint32_t ReaderEventState(const ReaderState& s, Bytes* atr) const;

  mutable std::mutex mu_;
  mutable std::condition_variable changed_;
  std::vector<Reader> readers_;
  std::map<Bytes, Context> contexts_;
  std::map<Bytes, Connection> connections_;
  std::map<uint32_t, Bytes> attributes_;
  std::map<CardCall, uint32_t> failures_;
  std::optional<Bytes> transactionHolder_;
  Bytes pin_ = kDefaultPin;
  uint32_t triesLeft_ = 3;
  uint32_t maxTries_ = 3;
  bool verified_ = false;
  std::optional<Bytes> nextChallenge_;
  uint8_t challengeCounter_ = 0;
  uint32_t nextId_ = 1;
  uint32_t contextLength_ = 4;
  uint32_t handleLength_ = 4;
  size_t waiting_ = 0;
  bool shutdown_ = false;
  bool reportRecvPci_ = false;
};

}  // namespace scredir::tools
