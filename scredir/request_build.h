// Turning one daemon message into the encoded MS-RDPESC call the client
// receives: the one dispatch of a received record, and the "in" halves of
// the command entries (pcscd_msg.cc).
//
// Runs on the daemon link thread. The daemon's fake hContext/hCard ids are
// swapped for the client's context and handle bytes held in the maps; the
// call record is filled from the daemon's fields and NDR-encoded. Records
// that break a size limit (a name without its NUL, cReaders above 64, a
// TRANSMIT/CONTROL size outside its record, a send length beyond the bytes
// received, an ATR or attribute longer than its field) are refused with one
// ERROR line before anything is encoded or sent.
#pragma once

#include <glib.h>

#include <cstdint>
#include <memory>

#include "scredir/pcscd_msg.h"

struct ScRedirSession;

// The IOCTL codes we send: SCARD_CTL_CODE(function), a buffered device
// control of the file-system device type.
constexpr uint32_t ScardCtlCode(uint32_t function) {
  return 0x00090000 | (function << 2);
}
enum : uint32_t {
  SCARD_IOCTL_ESTABLISHCONTEXT = ScardCtlCode(5),
  SCARD_IOCTL_RELEASECONTEXT = ScardCtlCode(6),
  SCARD_IOCTL_LISTREADERSW = ScardCtlCode(11),
  SCARD_IOCTL_GETSTATUSCHANGEW = ScardCtlCode(41),
  SCARD_IOCTL_CANCEL = ScardCtlCode(42),
  SCARD_IOCTL_CONNECTW = ScardCtlCode(44),
  SCARD_IOCTL_RECONNECT = ScardCtlCode(45),
  SCARD_IOCTL_DISCONNECT = ScardCtlCode(46),
  SCARD_IOCTL_BEGINTRANSACTION = ScardCtlCode(47),
  SCARD_IOCTL_ENDTRANSACTION = ScardCtlCode(48),
  SCARD_IOCTL_STATUSW = ScardCtlCode(51),
  SCARD_IOCTL_TRANSMIT = ScardCtlCode(52),
  SCARD_IOCTL_CONTROL = ScardCtlCode(53),
  SCARD_IOCTL_GETATTRIB = ScardCtlCode(54),
  SCARD_IOCTL_SETATTRIB = ScardCtlCode(55),
};

inline constexpr uint32_t kIoRequestOutputLength = 2048;

// The input of one device-control request. Zero-filled g_malloc block;
// `input` is the encoded call, inputLength bytes that start
// kIoRequestFixedBytes into a g_malloc block left for the packet header
// (null until the call has been encoded, or once the packet took the block).
// Release both with ScRedirQrn_FreeIORequest.
struct ScRedirIoRequest {
  uint32_t completionId;
  uint32_t ioControlCode;
  uint32_t inputLength;
  uint32_t outputLength;  // always kIoRequestOutputLength
  uint8_t* input;
};

// Builds the encoded call for `body`, the command's record at its full size.
// Returns 0, 0xC0000017 (out of memory), 0xC0000001 (encoding failed) or
// 0xC000000D (the record breaks a size limit; already logged). *out holds
// whatever was allocated, on failure too; the caller frees it.
uint32_t ScRedirQrn_GetIORequest(uint32_t ioControlCode, uint32_t id, const void* body,
                                 ScRedirIoRequest** out);
// Frees the input bytes and the record; accepts null.
void ScRedirQrn_FreeIORequest(ScRedirIoRequest* request);

// A g_malloc block released with g_free.
struct ScRedirGFree {
  void operator()(void* p) const { g_free(p); }
};
using ScRedirGBlock = std::unique_ptr<uint8_t, ScRedirGFree>;

// The one refusal line, an ERROR with `code`: "Refused <subject><kind>: "
// and `format` filled with a and b. kind is "" for a daemon record and
// " return" for a client's return.
void ScRedirQrn_LogRefusal(uint32_t code, const char* subject, const char* kind, const char* format,
                           uint32_t a, uint32_t b);

// Checks a received record against its entry: a header-sized body inside
// [fixed part, full record], then the limits of its fields. The body block
// spans the full record (zeros past what was received). Logs one ERROR line
// naming what breaks a limit and returns false when the record is refused.
bool ScRedirQrn_CheckPcscdRecord(const PcscdCommand& row, const PcscdMessageHeader& header,
                                 const void* body);

// The one dispatch of a received record, on the daemon link thread: checks
// it, redirects it with ScRedirQrn_RedirectScRequest on `session` (the kept
// copy is always the full record size) and logs "Failed to redirect <IOCTL>"
// on failure. A refused record is answered with SCARD_E_INVALID_PARAMETER.
// `body` is a block of the full record size, zeros past the bytes received;
// whatever must outlive the call is copied.
void ScRedirQrn_RedirectCommand(ScRedirSession& session, const PcscdCommand& row,
                                const PcscdMessageHeader& header, const void* body);

// The "in" halves of the command entries. A check holds a received record
// (`received` bytes of it) against the limits of its fields; a builder fills
// its call record from the daemon record, traces it and encodes it, and
// returns 0 or 0xC0000017 (a buffer could not be made).
namespace pcscd_in {
bool CheckConnect(const PcscdCommand& row, const void* body, uint32_t received);
bool CheckReaderStates(const PcscdCommand& row, const void* body, uint32_t received);
bool CheckTransmit(const PcscdCommand& row, const void* body, uint32_t received);
bool CheckControl(const PcscdCommand& row, const void* body, uint32_t received);
bool CheckSetAttrib(const PcscdCommand& row, const void* body, uint32_t received);
uint32_t EstablishContext(const ScRedirCallBuild& in);
uint32_t Context(const ScRedirCallBuild& in);  // RELEASECONTEXT, CANCEL
uint32_t ListReaders(const ScRedirCallBuild& in);
uint32_t Connect(const ScRedirCallBuild& in);
uint32_t Reconnect(const ScRedirCallBuild& in);
uint32_t Disposition(const ScRedirCallBuild& in);  // DISCONNECT, ENDTRANSACTION
uint32_t BeginTransaction(const ScRedirCallBuild& in);
void DropHandle(const void* body);  // DISCONNECT, once encoded
uint32_t Status(const ScRedirCallBuild& in);
uint32_t Transmit(const ScRedirCallBuild& in);
uint32_t Control(const ScRedirCallBuild& in);
uint32_t GetAttrib(const ScRedirCallBuild& in);
uint32_t SetAttrib(const ScRedirCallBuild& in);
uint32_t GetStatusChange(const ScRedirCallBuild& in);
}  // namespace pcscd_in
