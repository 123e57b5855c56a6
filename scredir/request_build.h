// Turning one daemon message into the encoded MS-RDPESC call the client
// receives, and the per-command entry points that start the redirection.
//
// Runs on the daemon link thread. The daemon's fake hContext/hCard ids are
// swapped for the client's context and handle bytes held in the maps; the
// call record is filled from the daemon's fields and NDR-encoded. Records
// that break a size limit (a name without its NUL, cReaders above 64, a
// TRANSMIT/CONTROL size outside its record, a send length beyond the bytes
// received, an ATR or attribute longer than its field) are refused with one
// ERROR line before anything is encoded or sent.
#pragma once

#include <cstdint>

#include "scredir/pcscd_msg.h"

// The IOCTL codes we send.
enum : uint32_t {
  SCARD_IOCTL_ESTABLISHCONTEXT = 0x00090014,
  SCARD_IOCTL_RELEASECONTEXT = 0x00090018,
  SCARD_IOCTL_LISTREADERSW = 0x0009002C,
  SCARD_IOCTL_GETSTATUSCHANGEW = 0x000900A4,
  SCARD_IOCTL_CANCEL = 0x000900A8,
  SCARD_IOCTL_CONNECTW = 0x000900B0,
  SCARD_IOCTL_RECONNECT = 0x000900B4,
  SCARD_IOCTL_DISCONNECT = 0x000900B8,
  SCARD_IOCTL_BEGINTRANSACTION = 0x000900BC,
  SCARD_IOCTL_ENDTRANSACTION = 0x000900C0,
  SCARD_IOCTL_STATUSW = 0x000900CC,
  SCARD_IOCTL_TRANSMIT = 0x000900D0,
  SCARD_IOCTL_CONTROL = 0x000900D4,
  SCARD_IOCTL_GETATTRIB = 0x000900D8,
  SCARD_IOCTL_SETATTRIB = 0x000900DC,
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

// Checks a received record against the limits of its fields. bodyLength is
// the number of record bytes received. Logs one ERROR line naming the field
// and returns false when the record must be refused.
bool ScRedirQrn_CheckPcscdRecord(uint32_t command, const void* body, uint32_t bodyLength);

// The entry points of the command table. Each checks the record, redirects
// it with ScRedirQrn_RedirectScRequest (the kept copy is always the full
// record size) and logs "Failed to redirect <IOCTL>" on failure.
void ScRedirQrn_EstablishContext(const PcscdMessageHeader* header, const void* body,
                                 uint32_t bodyLength);
void ScRedirQrn_ReleaseContext(const PcscdMessageHeader* header, const void* body,
                               uint32_t bodyLength);
void ScRedirQrn_ListReaders(const PcscdMessageHeader* header, const void* body,
                            uint32_t bodyLength);
void ScRedirQrn_Connect(const PcscdMessageHeader* header, const void* body, uint32_t bodyLength);
void ScRedirQrn_Reconnect(const PcscdMessageHeader* header, const void* body, uint32_t bodyLength);
void ScRedirQrn_Disconnect(const PcscdMessageHeader* header, const void* body, uint32_t bodyLength);
void ScRedirQrn_BeginTransaction(const PcscdMessageHeader* header, const void* body,
                                 uint32_t bodyLength);
void ScRedirQrn_EndTransaction(const PcscdMessageHeader* header, const void* body,
                               uint32_t bodyLength);
void ScRedirQrn_Transmit(const PcscdMessageHeader* header, const void* body, uint32_t bodyLength);
void ScRedirQrn_Control(const PcscdMessageHeader* header, const void* body, uint32_t bodyLength);
void ScRedirQrn_Status(const PcscdMessageHeader* header, const void* body, uint32_t bodyLength);
void ScRedirQrn_Cancel(const PcscdMessageHeader* header, const void* body, uint32_t bodyLength);
void ScRedirQrn_GetAttrib(const PcscdMessageHeader* header, const void* body, uint32_t bodyLength);
void ScRedirQrn_SetAttrib(const PcscdMessageHeader* header, const void* body, uint32_t bodyLength);
void ScRedirQrn_GetStatusChange(const PcscdMessageHeader* header, const void* body,
                                uint32_t bodyLength);
