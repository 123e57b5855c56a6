// scredir-pcsc-probe: a small pcsc-lite application for the chain tests. It
// connects to a reader, holds a transaction for a while around two SELECT
// commands, and prints what it did with wall-clock times in milliseconds,
// so that a test can see two of them take turns.
//
//   scredir-pcsc-probe READER HOLD_MS
//
// Output lines: "handle H", "status STATE PROTOCOL" (SCardStatus, hex),
// "begin T", "select SW", "end T", "ok". Exit 0 when every call succeeded.
#include <winscard.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int Fail(const char* call, LONG rv) {
  std::printf("%s failed: %s (0x%08lX)\n", call, pcsc_stringify_error(rv),
              static_cast<unsigned long>(rv));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: scredir-pcsc-probe READER HOLD_MS\n");
    return 2;
  }
  const char* reader = argv[1];
  const int holdMs = std::atoi(argv[2]);
  SCARDCONTEXT context = 0;
  LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
  if (rv != SCARD_S_SUCCESS) return Fail("SCardEstablishContext", rv);
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  rv = SCardConnect(context, reader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                    &card, &protocol);
  if (rv != SCARD_S_SUCCESS) return Fail("SCardConnect", rv);
  std::printf("handle %lX\n", static_cast<unsigned long>(card));
  char names[1024];
  BYTE atr[MAX_ATR_SIZE];
  DWORD state = 0, statusProtocol = 0, nameLength = sizeof names, atrLength = sizeof atr;
  rv = SCardStatus(card, names, &nameLength, &state, &statusProtocol, atr, &atrLength);
  if (rv != SCARD_S_SUCCESS) return Fail("SCardStatus", rv);
  std::printf("status %lX %lX\n", static_cast<unsigned long>(state),
              static_cast<unsigned long>(statusProtocol));
  rv = SCardBeginTransaction(card);
  if (rv != SCARD_S_SUCCESS) return Fail("SCardBeginTransaction", rv);
  std::printf("begin %lld\n", NowMs());
  const SCARD_IO_REQUEST pci{protocol, sizeof(SCARD_IO_REQUEST)};
  const BYTE select[] = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
  for (int i = 0; i < 2; ++i) {
    BYTE response[258];
    DWORD length = sizeof response;
    rv = SCardTransmit(card, &pci, select, sizeof select, nullptr, response, &length);
    if (rv != SCARD_S_SUCCESS) return Fail("SCardTransmit", rv);
    if (length >= 2) std::printf("select %02X %02X\n", response[length - 2], response[length - 1]);
    if (i == 0) std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
  }
  std::printf("end %lld\n", NowMs());
  rv = SCardEndTransaction(card, SCARD_LEAVE_CARD);
  if (rv != SCARD_S_SUCCESS) return Fail("SCardEndTransaction", rv);
  rv = SCardDisconnect(card, SCARD_LEAVE_CARD);
  if (rv != SCARD_S_SUCCESS) return Fail("SCardDisconnect", rv);
  SCardReleaseContext(context);
  std::printf("ok\n");
  return 0;
}
