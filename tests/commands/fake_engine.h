// Stands in for the request engine: records what the dispatch hands on
// and answers with a status the test chooses.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "scredir/pcscd_msg.h"

namespace cmdtest {

struct RedirectedCall {
  uint32_t ioControlCode;
  PcscdMessageHeader header;
  std::vector<uint8_t> body;  // bodyLength bytes, as handed on
};

inline std::vector<RedirectedCall> g_redirected;
// Messages answered without the client: header id and rv.
inline std::vector<std::pair<uint32_t, uint32_t>> g_answered;
inline uint32_t g_redirectStatus = 0;

}  // namespace cmdtest
