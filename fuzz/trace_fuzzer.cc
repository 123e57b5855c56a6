// Runs the codec with every debug trace on, into a real file output of the
// log facility: the first byte picks one of the twelve call records or ten
// return records, the rest is the serialised buffer. A record that decodes
// is dumped field by field, and a decoded call is encoded again when the
// first byte's top bit is set, so the header dump, the transfer traces, the
// record dumps, the masking of PINs and the facility's line building
// (prefix, masking, escaping) all see outside bytes. The input is also
// logged once as text.
//
// Lines are built exactly as for a file, then handed to a write seam that
// checks every one is a single line and drops it, so the disk is never
// touched after the file is opened in a private temporary directory. Built
// with libFuzzer by the fuzz build, and with replay_main.cc as a corpus
// replay test of the ordinary test run.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "lib/log/log.h"
#include "scredir/dump.h"
#include "scredir/qrn_log.h"
#include "scredir/rpc/records.h"

namespace {

// One write is one line: it ends with the only newline it holds, and no
// carriage return made it through.
ssize_t CheckedDiscard(int, const void* data, size_t size) {
  const auto* text = static_cast<const char*>(data);
  if (size == 0 || text[size - 1] != '\n' || memchr(text, '\n', size - 1) != nullptr ||
      memchr(text, '\r', size) != nullptr)
    abort();
  return static_cast<ssize_t>(size);
}

void OpenLogOnce() {
  static bool opened = [] {
    static char dir[] = "/tmp/scredir-trace-fuzz-XXXXXX";
    if (mkdtemp(dir) == nullptr) abort();
    static std::string file = std::string(dir) + "/trace.log";
    LogSeams seams;
    seams.write = CheckedDiscard;
    LogSetSeams(&seams);
    // No throttling: every line goes the whole way to the write.
    const LogParams params{{"log.fileName", file}, {"log.throttleBytesPerSec", "0"}};
    if (LogOpenFileOutput("QRNScRedir", params, nullptr, false) == nullptr) abort();
    unlink(file.c_str());
    rmdir(dir);
    debugEnabled = true;
    return true;
  }();
  (void)opened;
}

template <class R>
void Trace(bool again, const uint8_t* data, uint32_t size, void (*decode)(ScRedirRpc_Handle*, R*),
           void (*release)(ScRedirRpc_Handle*, R*), void (*dump)(const R&),
           void (*encode)(ScRedirRpc_Handle*, R*)) {
  ScRedirRpc_Handle* h = nullptr;
  if (MesDecodeBufferHandleCreate(data, size, &h) != 0) return;
  R rec;
  std::memset(&rec, 0xA5, sizeof rec);
  decode(h, &rec);
  if (ScRedirRpc_ErrorCode() == RPC_S_OK) {
    if (dump != nullptr) dump(rec);
    if (encode != nullptr && again) {
      uint8_t* out = nullptr;
      uint32_t length = 0;
      ScRedirRpc_Handle* e = nullptr;
      if (MesEncodeDynBufferHandleCreate(&out, &length, &e) == 0) {
        encode(e, &rec);
        MesHandleFree(e);
        g_free(out);
      }
    }
  }
  release(h, &rec);
  MesHandleFree(h);
}

template <class R>
using Dump = void (*)(const R&);
template <class R>
using Encode = void (*)(ScRedirRpc_Handle*, R*);

// Decoded calls are dumped and encoded again. Decoded reader names are not
// terminated (they hold exactly the units received), and the call dumps
// walk a name to its terminator, so the two calls with names are only
// decoded, with their traces.
#define TRACE(N, R, DUMP, ENCODE)                                        \
  case N:                                                                \
    Trace<R>(again, body, bodySize, R##_Decode, R##_Free, DUMP, ENCODE); \
    break;
#define TRACE_CALL(N, R) TRACE(N, R, ScRedirQrn_Dump##R, R##_Encode)
#define TRACE_RETURN(N, R, DUMP) TRACE(N, R, DUMP, Encode<R>{})

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size - 1 > UINT32_MAX) return 0;
  OpenLogOnce();
  auto bodySize = static_cast<uint32_t>(size - 1);
  auto* body = new uint8_t[bodySize ? bodySize : 1];
  if (bodySize) std::memcpy(body, data + 1, bodySize);
  // The top bit of the first byte asks for a decoded call to be encoded
  // again; the traces are the cost of every run, so not every run pays twice.
  const bool again = (data[0] & 0x80) != 0;
  switch (data[0] % 22) {
    TRACE_CALL(0, EstablishContext_Call)
    TRACE_CALL(1, Context_Call)
    TRACE_CALL(2, ListReaders_Call)
    TRACE(3, ConnectW_Call, Dump<ConnectW_Call>{}, Encode<ConnectW_Call>{})
    TRACE_CALL(4, Reconnect_Call)
    TRACE_CALL(5, HCardAndDisposition_Call)
    TRACE_CALL(6, Status_Call)
    TRACE_CALL(7, Transmit_Call)
    TRACE_CALL(8, Control_Call)
    TRACE_CALL(9, GetAttrib_Call)
    TRACE_CALL(10, SetAttrib_Call)
    TRACE(11, GetStatusChangeW_Call, Dump<GetStatusChangeW_Call>{}, Encode<GetStatusChangeW_Call>{})
    TRACE_RETURN(12, EstablishContext_Return, ScRedirQrn_DumpEstablishContext_Return)
    TRACE_RETURN(13, Long_Return, ScRedirQrn_DumpLong_Return)
    TRACE_RETURN(14, ListReaders_Return, ScRedirQrn_DumpLongAndMultiString_Return)
    TRACE_RETURN(15, Connect_Return, ScRedirQrn_DumpConnect_Return)
    TRACE_RETURN(16, Reconnect_Return, ScRedirQrn_DumpReconnect_Return)
    TRACE_RETURN(17, Status_Return, ScRedirQrn_DumpStatus_Return)
    TRACE_RETURN(18, Transmit_Return, ScRedirQrn_DumpTransmit_Return)
    TRACE_RETURN(19, Control_Return, ScRedirQrn_DumpControl_Return)
    TRACE_RETURN(20, GetAttrib_Return, ScRedirQrn_DumpGetAttrib_Return)
    TRACE_RETURN(21, GetStatusChange_Return, ScRedirQrn_DumpGetStatusChange_Return)
  }
  // The input as a message: escaping and masking of any bytes (up to the
  // first NUL, as for any C string).
  Log("%.*s", static_cast<int>(bodySize), reinterpret_cast<const char*>(body));
  delete[] body;
  return 0;
}
