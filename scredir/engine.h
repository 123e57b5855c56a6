// The request engine: joins the daemon side and the channel side of one
// open channel.
//
// Going out (daemon link thread): ScRedirQrn_RedirectScRequest frames the
// encoded call as an RDPDR device I/O request whose CompletionId is the
// daemon message id, keeps the packet on the session's channel request list
// until the host has finished sending it, saves the daemon message on the
// session's daemon message list under its id, and sends. The message is
// saved before the packet leaves, so a completion can never overtake it.
//
// Coming in (host receive thread): ScRedirQrn_HandleRequests routes one
// received packet; a device I/O completion is turned into the daemon's reply
// by ScRedirQrn_ParseIOCompletion and written to the daemon socket.
//
// No lock is held across Send, an encoding or a socket write; the session
// (state.h) keeps the lists and the descriptor alive while they are used.
#pragma once

#include <cstdint>

struct PcscdMessageHeader;
struct ScRedirSession;

// The session the calling daemon link thread serves, or, on any other
// thread, the channel's current session. Returns 0 when the request was sent
// on; otherwise the status (0xC0000001, 0xC000000D, 0xC0000017 or the
// request builder's) after logging it. The entry points log their own line.
uint32_t ScRedirQrn_RedirectScRequest(uint32_t ioControlCode, const PcscdMessageHeader* header,
                                      const void* body, uint32_t bodyLength);

// Routes one packet received on the channel of `session`. `packet` holds
// `length` readable bytes; nothing beyond them is read.
void ScRedirQrn_HandleRequests(const void* packet, uint32_t length, ScRedirSession& session);

// onSendComplete: releases the oldest buffer on the channel request list.
void ScRedirQrn_ReleaseOldestSent(ScRedirSession& session);

// Channel open: sends the 52-byte agent announce, kept on the channel
// request list until the host has sent it.
void ScRedirQrn_SendAgentAnnounce(ScRedirSession& session);
