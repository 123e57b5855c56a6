// The request engine: joins the daemon side and the channel side of one
// open channel.
//
// Going out (daemon link thread): ScRedirQrn_RedirectScRequest frames the
// encoded call as an RDPDR device I/O request whose CompletionId is the
// daemon message id, keeps the packet with the session until the host
// reports that very buffer sent, saves the daemon message on the daemon
// connection's message list under its id, and sends. The message is
// saved before the packet leaves, so a completion can never overtake it.
//
// Coming in (host receive thread): ScRedirQrn_RouteChannelPacket routes one
// received packet; a device I/O completion is turned into the daemon's reply
// by ScRedirQrn_ParseIOCompletion and written to the daemon socket.
//
// No lock is held across Send, an encoding or a socket write; the session
// (state.h) keeps the lists and the descriptor alive while they are used.
#pragma once

#include <cstdint>

struct PcscdMessageHeader;
struct PcscdMsgEntry;
struct ScRedirSession;
class ScRedirDaemonConn;

// Sends the message on `session`, the one the calling daemon link thread
// serves. Every message handed in here is answered exactly once: by the
// client's completion, or, when that cannot happen (the record is refused,
// memory runs out, Send fails, the channel closes), with the PC/SC error of
// answers.h. Returns 0 when the request was sent on; otherwise the status
// (0xC0000001, 0xC000000D, 0xC0000017 or the request builder's) after
// logging it. The dispatch (ScRedirQrn_RedirectCommand) logs its own line.
uint32_t ScRedirQrn_RedirectScRequest(ScRedirSession& session, uint32_t ioControlCode,
                                      const PcscdMessageHeader* header, const void* body,
                                      uint32_t bodyLength);

// Answers a message that was not kept with `rv`: its header, then `body`
// (the command's full record) with rv written in. Written to the daemon
// connection of `session`; nothing when there is none.
void ScRedirQrn_AnswerDaemon(ScRedirSession& session, const PcscdMessageHeader* header,
                             const void* body, uint32_t rv);
// Answers a kept message with `rv` (written into it) and frees it. A null
// connection only frees it.
void ScRedirQrn_AnswerKept(ScRedirDaemonConn* conn, PcscdMsgEntry* entry, uint32_t rv);
// Answers every message still waiting on `conn` with `rv`.
void ScRedirQrn_AnswerAllPending(ScRedirDaemonConn& conn, uint32_t rv);

// Routes one packet received on the channel of `session`. `packet` holds
// `length` readable bytes; nothing beyond them is read.
void ScRedirQrn_RouteChannelPacket(const void* packet, uint32_t length, ScRedirSession& session);

// onSendComplete: releases exactly `buffer`, in the session of `channel`
// that sent it; an unknown buffer is logged and nothing is released.
void ScRedirQrn_ReleaseSent(void* channel, const void* buffer);

// Channel open: sends the 52-byte agent announce, kept with the session
// until the host has sent it.
void ScRedirQrn_SendAgentAnnounce(ScRedirSession& session);
