// Turning the client's device I/O completion into the daemon's reply.
//
// Runs on the host thread that delivers channel packets. The completion is
// checked, the kept daemon message with the same id is taken off the daemon
// message list, the MS-RDPESC return is decoded from the output buffer and
// its results are written into the kept record; the reply is the header as
// received followed by the updated record. EstablishContext and Connect
// successes register new fake ids in the maps. Returns larger than the
// daemon field that receives them are refused (one ERROR line, answered
// with SCARD_E_INSUFFICIENT_BUFFER): nothing is ever written past a field.
#pragma once

#include <cstdint>

#include "scredir/pcscd_msg.h"

struct KeyedList;

// packet: the completion, `length` bytes (OutputBufferLength + 20, already
// checked by the caller against what was received; checked again here).
// On 0, *reply is a g_malloc block of the whole reply, *replyLength bytes,
// the caller writes to the daemon and frees with g_free. Non-zero results:
// 0xC000000D malformed completion, 0xC0000001 unusable (IoStatus, no
// matching message, undecodable or oversized return), 0xC0000017 no memory.
uint32_t ScRedirQrn_ParseIOCompletion(const uint8_t* packet, uint32_t length, uint8_t** reply,
                                      uint32_t* replyLength, KeyedList* daemonMsgList);

// A completion that matched a kept message but gives no normal reply: the
// message is off its list and must still be answered once.
struct ScRedirCompletionFailure {
  PcscdMsgEntry* entry = nullptr;  // the caller's: answer with rv, then free()
  uint32_t rv = 0;                 // the PC/SC error that says what happened
  // STATUS_BUFFER_TOO_SMALL the first time, where more room helps: send
  // the request again (entry->flags gets kPcscdMsgResent) instead.
  bool resend = false;
};
// The same, also for a completion with a non-zero IoStatus (its message is
// taken off the list too), with the failure handed back instead of dropped.
// On 0 the reply is *reply (a g_malloc block of *replyLength bytes: the
// header and the record bytes the message kept or the return filled) then
// *zeroTail zero bytes, which are not allocated: the caller writes them
// from ScRedirQrn_Zeros().
uint32_t ScRedirQrn_ParseIOCompletionEx(const uint8_t* packet, uint32_t length, uint8_t** reply,
                                        uint32_t* replyLength, uint32_t* zeroTail,
                                        KeyedList* daemonMsgList,
                                        ScRedirCompletionFailure* failure);

// Takes the oldest kept message with this id off the list into *entry
// (caller frees it with free()). Returns 0, or 0xC0000001 after logging
// "No matched pcscd message for ID(%08x)" when there is none.
uint32_t ScRedirQrn_GetPcscdMsg(KeyedList* daemonMsgList, uint32_t id, PcscdMsgEntry** entry);

// Converts a UTF-16LE multi-string of `count` code units (a run of
// NUL-terminated strings closed by an empty one) to UTF-8. Returns a g_malloc
// block with *length bytes, always ending in the closing NUL; or null after
// logging "Could not decode string: %s" (then *length is left alone).
uint8_t* ScRedirQrn_MultiStringWToA(const uint16_t* units, uint32_t count, uint32_t* length);

// The "out" half of the command entries: decodes the return record Ret and
// writes its results into the kept daemon record (`held` bytes of it).
// Returns 0, or the status that stops the reply.
namespace pcscd_out {
template <typename Ret>
uint32_t Apply(ScRedirRpc_Handle* handle, const PcscdCommand& row, uint8_t* body, uint32_t held);
}  // namespace pcscd_out
