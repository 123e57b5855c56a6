// DaemonPeer: the PC/SC daemon's end of a Unix stream socket, for load.
//
// It listens at a path, accepts one connection (the plug-in's link thread or
// the floor relay) and exchanges daemon messages on it: a 12-byte header
// {id, command, size} and the record's first `size` bytes go out, the reply
// of the command's full reply length comes back. Every transfer is bounded
// by socket time-outs, so a peer that stops answering ends the run with a
// message instead of hanging it.
//
// TransmitLoad keeps one Transmit message and its reply buffer, made once,
// so the timed loops only patch the id and check the reply's fixed fields.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace scredir::load {

inline constexpr uint32_t kPcscdEstablishContext = 1;
inline constexpr uint32_t kPcscdConnect = 4;
inline constexpr uint32_t kPcscdTransmit = 9;
inline constexpr uint32_t kHeaderBytes = 12;
inline constexpr uint32_t kTransmitFixed = 36;
inline constexpr uint32_t kTransmitRecord = 65584;
inline constexpr uint32_t kTransmitReply = kHeaderBytes + kTransmitRecord;
inline constexpr uint32_t kTransmitBuffer = 65548;
// TransmitMsg field offsets inside the record.
inline constexpr size_t kTxContext = 0, kTxCard = 4, kTxSend = 8, kTxRecv = 12, kTxSendProto = 16,
                        kTxSendPciLen = 20, kTxRecvProto = 24, kTxRecvPciLen = 28, kTxRv = 32;

// Daemon integers are in host order.
inline uint32_t Load32(const uint8_t* at) {
  uint32_t v;
  std::memcpy(&v, at, 4);
  return v;
}
inline void Store32(uint8_t* at, uint32_t v) {
  std::memcpy(at, &v, 4);
}

// Reads or writes exactly `n` bytes; false on end of stream, error or time-out.
bool ReadFull(int fd, void* buffer, size_t n);
bool WriteFull(int fd, const void* buffer, size_t n);

class DaemonPeer {
 public:
  explicit DaemonPeer(std::string path);
  ~DaemonPeer();
  DaemonPeer(const DaemonPeer&) = delete;
  DaemonPeer& operator=(const DaemonPeer&) = delete;

  const std::string& path() const { return path_; }
  bool listening() const { return listenFd_ >= 0; }
  bool Accept(std::chrono::milliseconds timeout, std::string* error);
  int fd() const { return fd_; }

  // Sends one message and reads its reply of `replyLength` bytes.
  bool Exchange(uint32_t id, uint32_t command, const std::vector<uint8_t>& record,
                std::vector<uint8_t>* reply, uint32_t replyLength);
  // EstablishContext then Connect; the ids the daemon then uses.
  bool OpenCard(uint32_t* hContext, uint32_t* hCard, std::string* error);

 private:
  std::string path_;
  int listenFd_ = -1;
  int fd_ = -1;
};

// One Transmit of `apduBytes` each way.
struct TransmitLoad {
  TransmitLoad(uint32_t apduBytes, uint32_t hContext, uint32_t hCard);
  void SetId(uint32_t id) { Store32(message.data(), id); }
  // The reply carries `id`, the Transmit command, rv 0 and the APDU size.
  bool Check(uint32_t id) const;

  uint32_t apduBytes;
  std::vector<uint8_t> message;  // header + the record's first 36 + apduBytes bytes
  std::vector<uint8_t> reply;    // the full reply length
};

}  // namespace scredir::load
