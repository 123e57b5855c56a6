// A pcsc-lite application that speaks the client/daemon protocol by hand
// (daemon/wire.h), to send what libpcsclite never would and to read the
// daemon's answers byte by byte. Blocking, with a 3 s receive limit.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <winscard.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "daemon/wire.h"

namespace scredir::chain {

using RawBytes = std::vector<uint8_t>;

// A client message: the header {size, command}, then `body`.
inline RawBytes Message(uint32_t command, uint32_t size, const RawBytes& body = {}) {
  RawBytes m(pcscd::wire::kHeaderBytes);
  std::memcpy(m.data(), &size, 4);
  std::memcpy(m.data() + 4, &command, 4);
  m.insert(m.end(), body.begin(), body.end());
  return m;
}

class RawClient {
 public:
  explicit RawClient(const std::string& socketPath) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    timeval limit{3, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawClient() { ::close(fd_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool SendRaw(const RawBytes& bytes) {
    return connected_ && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                             static_cast<ssize_t>(bytes.size());
  }
  // The message for `body`, with `extra` (a Transmit's APDU) after it.
  bool Send(uint32_t command, const RawBytes& body, const RawBytes& extra = {}) {
    RawBytes m = Message(command, static_cast<uint32_t>(body.size()), body);
    m.insert(m.end(), extra.begin(), extra.end());
    return SendRaw(m);
  }
  std::optional<RawBytes> Read(size_t n) {
    RawBytes out(n);
    for (size_t have = 0; have < n;) {
      ssize_t got = ::recv(fd_, out.data() + have, n - have, 0);
      if (got <= 0) return std::nullopt;
      have += static_cast<size_t>(got);
    }
    return out;
  }
  // True when the daemon closed the connection (a reset when it left
  // bytes of ours unread), false when nothing came within the time limit.
  bool Closed() {
    uint8_t byte;
    ssize_t n = ::recv(fd_, &byte, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
  }
  // Sends `body` and reads the answer, which has the body's size.
  std::optional<RawBytes> Call(uint32_t command, const RawBytes& body, const RawBytes& extra = {}) {
    if (!Send(command, body, extra)) return std::nullopt;
    return Read(body.size());
  }
  // Version handshake and a context; 0 when refused.
  uint32_t Establish() {
    namespace w = pcscd::wire;
    RawBytes version(w::off::kVerSize, 0);
    w::Put32(version, w::off::kVerMajor, 4);
    w::Put32(version, w::off::kVerMinor, 4);
    auto v = Call(w::kVersion, version);
    auto e = Call(w::kEstablishContext, RawBytes(w::off::kEstSize, 0));
    if (!v || !e || w::Get32(*v, w::off::kVerRv) || w::Get32(*e, w::off::kEstRv)) return 0;
    return w::Get32(*e, w::off::kEstContext);
  }
  // A shared connect to `reader` in `context`, sent without waiting.
  bool SendConnect(uint32_t context, const std::string& reader, uint32_t preferred) {
    namespace w = pcscd::wire;
    RawBytes body(w::off::kConSize, 0);
    w::Put32(body, w::off::kConContext, context);
    std::memcpy(body.data() + w::off::kConReader, reader.data(), reader.size());
    w::Put32(body, w::off::kConShare, SCARD_SHARE_SHARED);
    w::Put32(body, w::off::kConPreferred, preferred);
    return Send(w::kConnect, body);
  }
  // A card handle in `context`; 0 when refused.
  uint32_t Connect(uint32_t context, const std::string& reader) {
    namespace w = pcscd::wire;
    if (!SendConnect(context, reader, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)) return 0;
    auto r = Read(w::off::kConSize);
    return r && w::Get32(*r, w::off::kConRv) == 0 ? w::Get32(*r, w::off::kConCard) : 0;
  }
  // SELECT MF on `card`: the result, and the answer bytes on success.
  std::pair<uint32_t, RawBytes> Select(uint32_t card) {
    namespace w = pcscd::wire;
    const RawBytes apdu = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
    RawBytes body(w::off::kTxSize, 0);
    w::Put32(body, w::off::kTxCard, card);
    w::Put32(body, w::off::kTxSendProto, SCARD_PROTOCOL_T1);
    w::Put32(body, w::off::kTxSend, static_cast<uint32_t>(apdu.size()));
    w::Put32(body, w::off::kTxRecv, 258);
    auto r = Call(w::kTransmit, body, apdu);
    if (!r) return {~0u, {}};
    const uint32_t rv = w::Get32(*r, w::off::kTxRv);
    if (rv) return {rv, {}};
    auto data = Read(w::Get32(*r, w::off::kTxRecv));
    return {rv, data.value_or(RawBytes{})};
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

}  // namespace scredir::chain
