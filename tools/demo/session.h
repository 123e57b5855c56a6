// DemoSession: a realistic PC/SC session played as the PC/SC daemon.
//
// The session writes the daemon's messages to the plug-in through the
// daemon double and reads the replies, step by step, the way pcscd would for
// an application that establishes a context, lists the readers, waits for a
// card, connects, reads the card status, runs three APDUs inside a
// transaction, reads an attribute, disconnects and releases the context.
// Every call is written to the transcript stream with its arguments, its
// result by name, the bytes that went to and came from the card, and the
// time the round trip took. What came back is also kept in a
// SessionRecord, so tests can compare it with a direct PC/SC call.
//
// A step fails when the reply carries an error result (the session then
// undoes what it holds: transaction, card handle, context) or when no reply
// comes within the step time-out (the session stops at once: a client that
// stopped answering would not answer the clean-up either).
//
// Threads: one caller; hooks run on that thread before each step.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "scredir/pcscd_msg.h"
#include "tools/daemon_double.h"

namespace scredir::demo {

using Bytes = std::vector<uint8_t>;

// The short step names the command line uses (--remove-card-before ...).
inline constexpr const char* kStepNames[] = {
    "establish", "list",      "state",  "wait", "connect", "status",     "begin",
    "select",    "challenge", "verify", "end",  "attrib",  "disconnect", "release",
};
bool IsStepName(const std::string& name);

// The APDUs the session sends, in order.
struct ApduSpec {
  const char* step;
  const char* label;
  Bytes command;
};
const std::vector<ApduSpec>& SessionApdus();

struct SessionRecord {
  struct Apdu {
    std::string label;
    Bytes command;
    uint32_t rv = 0;
    Bytes response;
  };
  std::vector<std::string> readers;
  std::string cardReader;         // the reader the card was found in
  uint32_t readerEventState = 0;  // its dwEventState once the card is present
  Bytes readerAtr;                // the ATR GetStatusChange reported
  uint32_t activeProtocol = 0;
  std::vector<std::string> statusReaderNames;
  uint32_t statusState = 0;
  uint32_t statusProtocol = 0;
  Bytes statusAtr;
  std::vector<Apdu> apdus;
  uint32_t attribId = 0;
  uint32_t attribRv = 0;
  Bytes attrib;
  // Every call in order: the step name and its result.
  std::vector<std::pair<std::string, uint32_t>> results;
};

struct SessionOptions {
  std::chrono::milliseconds stepTimeout{10000};
  // How long the session waits for a card to be inserted (GetStatusChange).
  std::chrono::milliseconds cardWait{30000};
  // Called with the step name before the step's message is sent.
  std::function<void(const std::string& step)> beforeStep;
  // The client reports Status card states in Windows numbering (FreeRDP).
  bool windowsCardStates = false;
  // Set (by a signal handler, say) to stop waiting for replies.
  const std::atomic<bool>* interrupted = nullptr;
};

enum class SessionOutcome {
  kCompleted,  // every call succeeded
  kFailed,     // a call came back with an error result
  kNoReply,    // a call was not answered within the step time-out
};

class DemoSession {
 public:
  DemoSession(tools::DaemonDouble& daemon, std::ostream& out, SessionOptions options);

  SessionOutcome Run();
  const SessionRecord& record() const { return record_; }
  // One line that says why the session did not complete (empty if it did).
  const std::string& failure() const { return failure_; }

 private:
  struct Reply {
    bool answered = false;
    Bytes bytes;
    double ms = 0;
  };
  // One message of the session: what to send and how the transcript and
  // the failure line call it.
  struct Call {
    Call(std::string s, uint32_t c, std::string n, std::string a)
        : step(std::move(s)), command(c), name(std::move(n)), args(std::move(a)) {}
    std::string step;
    uint32_t command;
    std::string name;                      // "SCardConnect"
    std::string args;                      // printed after the name
    std::string what;                      // the call in messages, when not just `name`
    size_t sendBytes = 0;                  // 0: the whole record
    std::chrono::milliseconds timeout{0};  // 0: the step time-out
  };

  bool Establish();
  bool ListReaders();
  bool FindCard();
  bool ReaderStates(const std::string& step, uint32_t timeoutMs, std::vector<uint32_t>* current,
                    std::optional<size_t>* withCard);
  // Keeps one reader's returned state; the transcript line for it.
  std::string NoteReaderState(size_t i, const PcscdReaderState& slot,
                              std::vector<uint32_t>* current, std::optional<size_t>* withCard);
  bool Connect();
  bool Status();
  bool Begin();
  bool Transmit(const ApduSpec& apdu);
  bool End();
  bool GetAttrib();
  bool Disconnect();
  bool Release();
  void CleanUp();

  // Sends `*msg`, waits for the reply and reads it back into `*msg`; false
  // when there was none or it was malformed (then recorded as a failure).
  template <typename Msg>
  bool Ask(const Call& call, Msg* msg, Reply* reply);
  // Prints the call line, sends the record and waits for the reply.
  Reply Exchange(const Call& call, const Bytes& record);
  // The reply, or nothing once the deadline passed, the plug-in closed the
  // socket or the session was interrupted.
  std::optional<Bytes> AwaitReply(uint32_t id, std::chrono::steady_clock::time_point deadline);
  bool Interrupted() const;
  // Ends the session without a reply: no clean-up call would be answered.
  void Abandon(const std::string& failure, const std::string& shown);
  // Records and prints the result; false (with the failure line) unless 0.
  bool Result(const std::string& step, const Reply& reply, uint32_t rv,
              const std::string& detail = {});

  tools::DaemonDouble& daemon_;
  std::ostream& out_;
  SessionOptions options_;
  SessionRecord record_;
  std::string failure_;
  std::string what_;  // the call in flight, for messages
  uint32_t nextId_ = 1;
  bool noReply_ = false;
  uint32_t hContext_ = 0;
  uint32_t hCard_ = 0;
  bool inTransaction_ = false;
};

}  // namespace scredir::demo
