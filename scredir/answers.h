// The PC/SC errors the daemon is answered with when a message cannot get
// the client's own answer, one per cause, and the status the client uses to
// ask for more output room.
//
// Every daemon message gets exactly one reply: the client's result when
// there is one, otherwise one of these in `rv`, with the record as the
// daemon sent it and the command's normal reply length.
#pragma once

#include <cstdint>

enum : uint32_t {
  kScardFUnknownError = 0x80100014,        // the client's return could not be decoded
  kScardEInvalidParameter = 0x80100004,    // the record breaks a limit of its fields
  kScardENoMemory = 0x80100006,            // something for this message could not be allocated
  kScardEInsufficientBuffer = 0x80100008,  // the return is too big for its field
  kScardFCommError = 0x80100013,           // Send failed, or the client reported a failure
  kScardENoService = 0x8010001D,           // the channel closed before the client answered
};

inline constexpr uint32_t kStatusBufferTooSmall = 0xC0000023;  // STATUS_BUFFER_TOO_SMALL
