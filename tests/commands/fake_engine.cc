#include "tests/commands/fake_engine.h"

#include "scredir/engine.h"

uint32_t ScRedirQrn_RedirectScRequest(ScRedirSession&, uint32_t ioControlCode,
                                      const PcscdMessageHeader* header, const void* body,
                                      uint32_t bodyLength) {
  const auto* bytes = static_cast<const uint8_t*>(body);
  cmdtest::g_redirected.push_back({ioControlCode, *header, {bytes, bytes + bodyLength}});
  return cmdtest::g_redirectStatus;
}

void ScRedirQrn_AnswerDaemon(ScRedirSession&, const PcscdMessageHeader* header, const void*,
                             uint32_t rv) {
  cmdtest::g_answered.emplace_back(header->id, rv);
}
