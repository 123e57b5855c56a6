// Context and handle maps: the fake ids the daemon sees, and the client's
// opaque context and card-handle bytes behind them.
//
// Two hash maps (4096 buckets, integer keys) hold a malloc copy of the
// client's bytes under each fake id; ids come from rand(), never seeded here.
// Alongside them live the current context and handle lengths, the cbContext
// and cbHandle of everything we send. One process-wide instance exists from
// ScRedirQrn_MapsCreate (QRN_Start) to ScRedirQrn_MapsDestroy (QRN_Stop).
//
// Thread use: registration runs on the host thread that parses completions,
// lookups and deletion on the daemon link thread. One internal mutex
// serialises every operation below; no lock is held while logging.
#pragma once

#include <cstdint>

// Creates both (empty) maps and zeroes the current lengths. A second call
// while they exist leaves them alone.
void ScRedirQrn_MapsCreate();
// Frees every entry and both maps. Later lookups find nothing, deletions
// report false, registrations still hand out ids but keep nothing.
void ScRedirQrn_MapsDestroy();

uint32_t ScRedirQrn_ContextLength();
uint32_t ScRedirQrn_HandleLength();

// Registers the outcome of an EstablishContext: draws a fake id (logging
// "Generate fake context %d"), and when returnCode is 0 and cbContext is not
// 0 stores pbContext under it and writes it to *hContext. Sets the current
// context length to cbContext whatever the result, unless cbContext is 0
// (an empty context is never what later requests should carry). Returns 0,
// or 0xC0000017 after
// logging "Out of memory\n" when the block cannot be allocated.
uint32_t ScRedirQrn_RegisterContext(int32_t returnCode, uint32_t cbContext,
                                    const uint8_t* pbContext, uint32_t* hContext);
// Registers the outcome of a Connect: draws a fake id ("Generate fake handle
// %d"); on returnCode 0 sets the current handle length, stores pbHandle and
// writes the id to *hCard and dwActiveProtocol to *activeProtocolOut; on
// failure writes 0 to *hCard and leaves everything else alone.
uint32_t ScRedirQrn_RegisterHandle(int32_t returnCode, uint32_t cbHandle, const uint8_t* pbHandle,
                                   uint32_t dwActiveProtocol, uint32_t* hCard,
                                   uint32_t* activeProtocolOut);

// The client bytes to send for a daemon id: a zero-filled g_malloc0 block of
// the current length (null when that length is 0) holding the stored bytes
// (never more than were stored). `found` says whether the id was mapped.
struct ScRedirMapBytes {
  uint8_t* bytes;
  uint32_t length;
  bool found;
};
ScRedirMapBytes ScRedirQrn_CopyContextBytes(uint32_t hContext);
ScRedirMapBytes ScRedirQrn_CopyHandleBytes(uint32_t hCard);

// Removes the handle entry and frees its block; false when there was none.
bool ScRedirQrn_DeleteHandle(uint32_t hCard);

// Number of entries, for diagnostics and tests.
uint32_t ScRedirQrn_ContextCount();
uint32_t ScRedirQrn_HandleCount();
