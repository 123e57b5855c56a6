// Byte vectors for the codec tests, written out by hand from the wire rules
// (not captured from the codec). Offsets in the comments are body offsets,
// counted from the first byte after the 16 header bytes.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace rpc_test {

using Bytes = std::vector<uint8_t>;

// Bytes from hex digit pairs; spaces are ignored.
inline Bytes Hex(std::string_view text) {
  Bytes out;
  auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] == ' ') continue;
    out.push_back(static_cast<uint8_t>(nibble(text[i]) << 4 | nibble(text[i + 1])));
    ++i;
  }
  return out;
}

// EstablishContext_Call, dwScope 2.
inline const Bytes kEstablishContextCall =
    Hex("01 10 08 00 cc cc cc cc 08 00 00 00 00 00 00 00"  // headers, body 8
        "02 00 00 00 00 00 00 00");                        // 0: dwScope; padding to 8

// SetAttrib_Call: context present (id 1), card handle null (id 0) between
// it and the attribute bytes (id 2).
inline const Bytes kSetAttribCallIds =
    Hex("01 10 08 00 cc cc cc cc 30 00 00 00 00 00 00 00"  // headers, body 48
        "04 00 00 00 01 00 00 00 04 00 00 00 00 00 00 00"  // 0: cbContext, id 1, cbHandle, null
        "03 03 09 00 02 00 00 00 02 00 00 00"              // 16: dwAttrId, cbAttrLen, pbAttr id 2
        "04 00 00 00 aa bb cc dd 02 00 00 00 01 02"        // 28: context, attribute: count, bytes
        "00 00 00 00 00 00");                              // 42: padding to 48

// ConnectW_Call with an empty reader name (id 1) and a context (id 2): the
// name comes first in the deferred part, then 2 bytes of padding before the
// context count.
inline const Bytes kConnectWCallEmptyName =
    Hex("01 10 08 00 cc cc cc cc 30 00 00 00 00 00 00 00"  // headers, body 48
        "01 00 00 00 04 00 00 00 02 00 00 00"              // 0: szReader id 1, cbContext, id 2
        "02 00 00 00 03 00 00 00"                          // 12: share mode, protocols
        "01 00 00 00 00 00 00 00 01 00 00 00"              // 20: maxCount, offset, actualCount
        "00 00 00 00"                                      // 32: the NUL unit, 2 bytes padding
        "04 00 00 00 11 22 33 44 00 00 00 00");            // 36: context count, bytes; padding

// GetStatusChangeW_Call: context (id 1), array (id 2), names "A" (id 3) and
// "B" (id 4). The second state's cbAtr is 3, yet all 36 rgbAtr bytes move.
inline const Bytes kGetStatusChangeWCall =
    Hex("01 10 08 00 cc cc cc cc a8 00 00 00 00 00 00 00"  // headers, body 168
        "04 00 00 00 01 00 00 00 ff ff ff ff"              // 0: cbContext, id 1, dwTimeOut
        "02 00 00 00 02 00 00 00"                          // 12: cReaders, id 2
        "04 00 00 00 01 02 03 04 02 00 00 00"              // 20: context count, bytes; array count
        "03 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"  // 32: [0] id 3, states, cbAtr
        "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"  // 48: [0] rgbAtr (36 bytes)
        "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"  //
        "00 00 00 00"                                      //
        "04 00 00 00 10 00 00 00 00 00 00 00 03 00 00 00"  // 84: [1] id 4, states, cbAtr 3
        "3b 02 14 00 00 00 00 00 00 00 00 00 00 00 00 00"  // 100: [1] rgbAtr (36 bytes)
        "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"  //
        "00 00 00 00"                                      //
        "02 00 00 00 00 00 00 00 02 00 00 00 41 00 00 00"  // 136: "A" counts, units
        "02 00 00 00 00 00 00 00 02 00 00 00 42 00 00 00"  // 152: "B" counts, units
    );

// Transmit_Return: success, null pioRecvPci, two response bytes 90 00.
inline const Bytes kTransmitReturn =
    Hex("01 10 08 00 cc cc cc cc 18 00 00 00 00 00 00 00"  // headers, body 24
        "00 00 00 00 00 00 00 00"                          // 0: ReturnCode, pioRecvPci null
        "02 00 00 00 01 00 00 00"                          // 8: cbRecvLength, pbRecvBuffer id 1
        "02 00 00 00 90 00 00 00");                        // 16: count, bytes; padding to 24

// The same Transmit_Return marked big-endian: integers swap, bytes do not.
inline const Bytes kTransmitReturnBigEndian =
    Hex("01 00 08 00 cc cc cc cc 00 00 00 18 00 00 00 00"  // Endianness 0x00, body 24
        "80 10 00 69 00 00 00 00"                          // 0: ReturnCode 0x80100069, null
        "00 00 00 02 00 00 00 01"                          // 8: cbRecvLength, id 1
        "00 00 00 02 90 00 00 00");                        // 16: count, bytes as sent; padding

// Connect_Return: success, 4-byte context and 4-byte handle, protocol T=1.
// The body ends on a multiple of 8, so there is no padding.
inline const Bytes kConnectReturn =
    Hex("01 10 08 00 cc cc cc cc 28 00 00 00 00 00 00 00"  // headers, body 40
        "00 00 00 00 04 00 00 00 01 00 00 00"              // 0: ReturnCode, cbContext, id 1
        "04 00 00 00 02 00 00 00 02 00 00 00"              // 12: cbHandle, id 2, dwActiveProtocol
        "04 00 00 00 c1 c2 c3 c4 04 00 00 00 d1 d2 d3 d4"  // 24: context, handle: count, bytes
    );

}  // namespace rpc_test
