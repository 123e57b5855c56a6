// DaemonDouble: the PC/SC daemon's end of the plug-in's local socket.
//
// It listens on a Unix stream socket at a path the test chooses, accepts the
// plug-in's daemon link thread (again after every channel reopen), writes
// request frames (12-byte header + record) and reads the plug-in's replies.
// A reply is read by the length its command has in the daemon's table (not
// the header's `size`), so a reply of the wrong length throws every later
// reply out of step, which the tests see.
//
// The daemon's wire format is written here from the layout the daemon uses,
// independently of the plug-in's own structures, so a layout slip on the
// plug-in side cannot cancel out in the tests.
//
// One background thread accepts and reads; the test thread sends and waits.
// Waits end after a generous bound so a broken plug-in fails a test instead
// of hanging it; the bound is a safety net, never what a test asserts.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace scredir::tools {

using Bytes = std::vector<uint8_t>;

// Command codes and record sizes of the daemon's messages.
enum DaemonCommand : uint32_t {
  kPcscdEstablishContext = 1,
  kPcscdReleaseContext = 2,
  kPcscdListReaders = 3,
  kPcscdConnect = 4,
  kPcscdReconnect = 5,
  kPcscdDisconnect = 6,
  kPcscdBeginTransaction = 7,
  kPcscdEndTransaction = 8,
  kPcscdTransmit = 9,
  kPcscdControl = 10,
  kPcscdStatus = 11,
  kPcscdCancel = 13,
  kPcscdGetAttrib = 15,
  kPcscdSetAttrib = 16,
  kPcscdGetStatusChange = 18,
};

// Full record size of a command (0 for a code the daemon does not use).
uint32_t PcscdRecordSize(uint32_t command);
// Bytes the plug-in sends back: 12 + the full record size.
inline uint32_t PcscdReplyLength(uint32_t command) {
  uint32_t size = PcscdRecordSize(command);
  return size ? 12 + size : 0;
}

// A daemon record under construction: fixed size, zero-filled, fields
// written at their offsets in host byte order.
class PcscdRecord {
 public:
  explicit PcscdRecord(uint32_t command) : bytes_(PcscdRecordSize(command), 0) {}
  PcscdRecord& Put32(size_t offset, uint32_t value);
  PcscdRecord& PutBytes(size_t offset, const Bytes& value);
  PcscdRecord& PutString(size_t offset, const std::string& text);  // NUL follows
  const Bytes& bytes() const { return bytes_; }
  Bytes& bytes() { return bytes_; }

 private:
  Bytes bytes_;
};

// Reads a 32-bit host-order field of a record or reply.
uint32_t Get32(const Bytes& bytes, size_t offset);

// Field offsets inside the daemon's records (the reply's record starts 12
// bytes in, after the header).
namespace off {
inline constexpr size_t kEstScope = 0, kEstContext = 4, kEstRv = 8;
inline constexpr size_t kCtxContext = 0, kCtxRv = 4;  // ReleaseContext, Cancel
inline constexpr size_t kLrContext = 0, kLrGroups = 4, kLrGroupPtr = 8, kLrCch = 16, kLrMsz = 20,
                        kLrRv = 8212;
inline constexpr size_t kConContext = 0, kConReader = 4, kConShare = 132, kConPreferred = 136,
                        kConCard = 140, kConActive = 144, kConRv = 148;
inline constexpr size_t kRecContext = 0, kRecCard = 4, kRecShare = 8, kRecPreferred = 12,
                        kRecInit = 16, kRecActive = 20, kRecRv = 24;
// Disconnect, EndTransaction.
inline constexpr size_t kDisContext = 0, kDisCard = 4, kDisDisposition = 8, kDisRv = 12;
inline constexpr size_t kBegContext = 0, kBegCard = 4, kBegRv = 8;
inline constexpr size_t kTxContext = 0, kTxCard = 4, kTxSend = 8, kTxRecv = 12, kTxSendProto = 16,
                        kTxSendPciLen = 20, kTxRecvProto = 24, kTxRecvPciLen = 28, kTxRv = 32,
                        kTxBuffer = 36;
inline constexpr size_t kCtlContext = 0, kCtlCard = 4, kCtlCode = 8, kCtlSend = 12, kCtlRecv = 16,
                        kCtlReturned = 20, kCtlRv = 24, kCtlBuffer = 28;
inline constexpr size_t kStContext = 0, kStCard = 4, kStName = 8, kStCch = 136, kStState = 140,
                        kStProtocol = 144, kStAtr = 148, kStAtrLen = 184, kStRv = 188;
// GetAttrib, SetAttrib.
inline constexpr size_t kAtContext = 0, kAtCard = 4, kAtId = 8, kAtValue = 12, kAtLen = 276,
                        kAtRv = 280;
inline constexpr size_t kGscContext = 0, kGscTimeout = 4, kGscCount = 8, kGscStates = 12,
                        kGscRv = 11276;
// One reader-state slot of GetStatusChange, from its start.
inline constexpr size_t kSlotSize = 176, kSlotCurrent = 128, kSlotEvent = 132, kSlotAtrLen = 136,
                        kSlotAtr = 140;
}  // namespace off

class DaemonDouble {
 public:
  // Binds and listens at `socketPath` (removing a stale file first).
  explicit DaemonDouble(std::string socketPath);
  ~DaemonDouble();
  DaemonDouble(const DaemonDouble&) = delete;
  DaemonDouble& operator=(const DaemonDouble&) = delete;

  const std::string& path() const { return path_; }
  bool listening() const { return listenFd_ >= 0; }

  // Waits until the plug-in has connected `count` times in all.
  bool AwaitConnections(size_t count = 1);
  size_t connections() const;

  // Writes one frame: header {id, command, size} then `record`. `size`
  // defaults to the record's length.
  bool Send(uint32_t id, uint32_t command, const Bytes& record,
            std::optional<uint32_t> size = std::nullopt);
  bool SendRaw(const Bytes& bytes);

  // Waits for the reply whose header carries `id` and takes it (the oldest
  // such). Nothing when the connection ended without one.
  std::optional<Bytes> AwaitReply(uint32_t id);
  // The same, but nothing also once `timeout` has passed (peerClosed()
  // tells the two apart).
  std::optional<Bytes> AwaitReply(uint32_t id, std::chrono::milliseconds timeout);
  // Waits until `count` replies have arrived in all (taken ones included).
  bool AwaitReplyCount(size_t count);
  // Ids of every reply in arrival order, taken ones included.
  std::vector<uint32_t> ReplyOrder() const;
  // True if a reply with `id` arrived and has not been taken.
  bool HasReply(uint32_t id) const;
  size_t replyCount() const;

  // Waits until the plug-in has closed (or shut down) the current connection.
  bool AwaitPeerClosed();
  bool peerClosed() const;
  // The daemon closes its end of the current connection.
  void CloseConnection();
  // True when a reply could not be framed (unknown command in its header).
  bool outOfStep() const;

 private:
  void Run();
  bool ReadConnection(int fd);
  bool WaitFor(std::unique_lock<std::mutex>& lock, const std::function<bool()>& done);

  std::string path_;
  int listenFd_ = -1;
  int wakeFds_[2] = {-1, -1};
  std::thread thread_;

  std::mutex writeMu_;  // taken before mu_ when both are held
  mutable std::mutex mu_;
  std::condition_variable cv_;
  int connFd_ = -1;
  size_t connections_ = 0;
  bool peerClosed_ = false;
  bool stopping_ = false;
  bool outOfStep_ = false;
  std::deque<Bytes> replies_;
  std::vector<uint32_t> order_;
};

}  // namespace scredir::tools
