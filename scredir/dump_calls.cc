// Traces of the call records the plug-in encodes and sends to the client.
//
// The records come from the request builder, which fills every buffer with
// at least the bytes its count field announces; reader names are
// NUL-terminated UTF-16 strings. Fixed ATR arrays are never dumped past their
// size, whatever the count beside them says, because that count is still the
// daemon's value at this point and has not been checked yet.
#include <cstddef>

#include "scredir/dump.h"
#include "scredir/names.h"
#include "scredir/qrn_log.h"

namespace {

// Bytes of a NUL-terminated UTF-16 string, terminator included.
uint32_t Utf16BytesWithNul(const uint16_t* s) {
  uint32_t units = 0;
  while (s[units] != 0) ++units;
  return (units + 1) * sizeof(uint16_t);
}

void DumpReaderName(const uint16_t* name) {
  ScRedirQrn_DumpBuffer("szReader", name, name != nullptr ? Utf16BytesWithNul(name) : 0);
}

template <size_t N>
uint32_t ClampToArray(uint32_t count, const uint8_t (&)[N]) {
  return count < N ? count : static_cast<uint32_t>(N);
}

}  // namespace

void ScRedirQrn_DumpEstablishContext_Call(const EstablishContext_Call& call) {
  if (!ScRedirQrn_DebugOn()) return;
  SCREDIR_TRACE_ENTRY();
  ScRedirQrn_DumpNamedField("dwScope", call.dwScope, ScRedirQrn_ScopeName(call.dwScope));
  SCREDIR_TRACE_EXIT();
}

void ScRedirQrn_DumpContext_Call(const Context_Call& call) {
  if (!ScRedirQrn_DebugOn()) return;
  SCREDIR_TRACE_ENTRY();
  ScRedirQrn_DumpRedirSCardContext(call.Context);
  SCREDIR_TRACE_EXIT();
}

void ScRedirQrn_DumpListReaders_Call(const ListReaders_Call& call) {
  if (!ScRedirQrn_DebugOn()) return;
  SCREDIR_TRACE_ENTRY();
  ScRedirQrn_DumpRedirSCardContext(call.Context);
  ScRedirQrn_DumpField("cBytes", call.cBytes);
  ScRedirQrn_DumpBuffer("mszGroups", call.mszGroups, call.cBytes);
  // Unlike the other IsNULL flags this one is traced with an unsigned
  // decimal column, as the ListReaders trace always has been.
  ScRedirQrn_DumpField("fmszReadersIsNULL", static_cast<uint32_t>(call.fmszReadersIsNULL));
  ScRedirQrn_DumpField("cchReaders", call.cchReaders);
  SCREDIR_TRACE_EXIT();
}

void ScRedirQrn_DumpGetStatusChangeW_Call(const GetStatusChangeW_Call& call) {
  if (!ScRedirQrn_DebugOn()) return;
  SCREDIR_TRACE_ENTRY();
  ScRedirQrn_DumpRedirSCardContext(call.Context);
  ScRedirQrn_DumpField("dwTimeOut", call.dwTimeOut);
  ScRedirQrn_DumpField("cReaders", call.cReaders);
  // The array is shown as it sits in memory (reader name pointers and all),
  // then element by element.
  const size_t arrayBytes = size_t{call.cReaders} * sizeof(ReaderStateW);
  ScRedirQrn_DumpBuffer("rgReaderStates", call.rgReaderStates,
                        arrayBytes <= UINT32_MAX ? static_cast<uint32_t>(arrayBytes) : 0);
  if (call.rgReaderStates != nullptr) {
    for (uint32_t i = 0; i < call.cReaders; ++i)
      ScRedirQrn_DumpReaderStateW(call.rgReaderStates[i]);
  }
  SCREDIR_TRACE_EXIT();
}

void ScRedirQrn_DumpReaderStateW(const ReaderStateW& state) {
  if (!ScRedirQrn_DebugOn()) return;
  SCREDIR_TRACE_ENTRY();
  DumpReaderName(state.szReader);
  ScRedirQrn_DumpReaderState_Common_Call(state.Common);
  SCREDIR_TRACE_EXIT();
}

void ScRedirQrn_DumpReaderState_Common_Call(const ReaderState_Common_Call& common) {
  if (!ScRedirQrn_DebugOn()) return;
  SCREDIR_TRACE_ENTRY();
  ScRedirQrn_DumpField("dwCurrentState", common.dwCurrentState);
  ScRedirQrn_DumpField("dwEventState", common.dwEventState);
  ScRedirQrn_DumpField("cbAtr", common.cbAtr);
  ScRedirQrn_DumpBuffer("rgbAtr", common.rgbAtr, ClampToArray(common.cbAtr, common.rgbAtr));
  SCREDIR_TRACE_EXIT();
}

void ScRedirQrn_DumpConnectW_Call(const ConnectW_Call& call) {
  if (!ScRedirQrn_DebugOn()) return;
  SCREDIR_TRACE_ENTRY();
  DumpReaderName(call.szReader);
  ScRedirQrn_DumpConnect_Common(call.Common);
  SCREDIR_TRACE_EXIT();
}

void ScRedirQrn_DumpConnect_Common(const Connect_Common& common) {
  if (!ScRedirQrn_DebugOn()) return;
  SCREDIR_TRACE_ENTRY();
  ScRedirQrn_DumpRedirSCardContext(common.Context);
  ScRedirQrn_DumpField("dwShareMode", common.dwShareMode);
  ScRedirQrn_DumpField("dwPreferredProtocols", common.dwPreferredProtocols);
  SCREDIR_TRACE_EXIT();
}

void ScRedirQrn_DumpReconnect_Call(const Reconnect_Call& call) {
  if (!ScRedirQrn_DebugOn()) return;
  SCREDIR_TRACE_ENTRY();
  ScRedirQrn_DumpRedirSCardHandle(call.hCard);
  ScRedirQrn_DumpField("dwShareMode", call.dwShareMode);
  ScRedirQrn_DumpField("dwPreferredProtocols", call.dwPreferredProtocols);
  ScRedirQrn_DumpField("dwInitialization", call.dwInitialization);
  SCREDIR_TRACE_EXIT();
}

void ScRedirQrn_DumpHCardAndDisposition_Call(const HCardAndDisposition_Call& call) {
  if (!ScRedirQrn_DebugOn()) return;
  SCREDIR_TRACE_ENTRY();
  ScRedirQrn_DumpRedirSCardHandle(call.hCard);
  ScRedirQrn_DumpField("dwDisposition", call.dwDisposition);
  SCREDIR_TRACE_EXIT();
}

void ScRedirQrn_DumpStatus_Call(const Status_Call& call) {
  if (!ScRedirQrn_DebugOn()) return;
  SCREDIR_TRACE_ENTRY();
  ScRedirQrn_DumpRedirSCardHandle(call.hCard);
  ScRedirQrn_DumpSignedField("fmszReaderNamesIsNULL", call.fmszReaderNamesIsNULL);
  ScRedirQrn_DumpField("cchReaderLen", call.cchReaderLen);
  ScRedirQrn_DumpField("cbAtrLen", call.cbAtrLen);
  SCREDIR_TRACE_EXIT();
}

void ScRedirQrn_DumpTransmit_Call(const Transmit_Call& call) {
  if (!ScRedirQrn_DebugOn()) return;
  SCREDIR_TRACE_ENTRY();
  ScRedirQrn_DumpRedirSCardHandle(call.hCard);
  ScRedirQrn_DumpSCardIO_Request(call.ioSendPci);
  ScRedirQrn_DumpField("cbSendLength", call.cbSendLength);
  ScRedirQrn_DumpApduBuffer("pbSendBuffer", call.pbSendBuffer, call.cbSendLength);
  if (call.pioRecvPci != nullptr) ScRedirQrn_DumpSCardIO_Request(*call.pioRecvPci);
  ScRedirQrn_DumpSignedField("fpbRecvBufferIsNULL", call.fpbRecvBufferIsNULL);
  ScRedirQrn_DumpField("cbRecvLength", call.cbRecvLength);
  SCREDIR_TRACE_EXIT();
}

void ScRedirQrn_DumpControl_Call(const Control_Call& call) {
  if (!ScRedirQrn_DebugOn()) return;
  SCREDIR_TRACE_ENTRY();
  ScRedirQrn_DumpRedirSCardHandle(call.hCard);
  ScRedirQrn_DumpField("dwControlCode", call.dwControlCode);
  ScRedirQrn_DumpField("cbInBufferSize", call.cbInBufferSize);
  ScRedirQrn_DumpBuffer("pvInBuffer", call.pvInBuffer, call.cbInBufferSize);
  ScRedirQrn_DumpSignedField("fpvOutBufferIsNULL", call.fpvOutBufferIsNULL);
  ScRedirQrn_DumpField("cbOutBufferSize", call.cbOutBufferSize);
  SCREDIR_TRACE_EXIT();
}

void ScRedirQrn_DumpGetAttrib_Call(const GetAttrib_Call& call) {
  if (!ScRedirQrn_DebugOn()) return;
  SCREDIR_TRACE_ENTRY();
  ScRedirQrn_DumpRedirSCardHandle(call.hCard);
  ScRedirQrn_DumpNamedField("dwAttrId", call.dwAttrId, ScRedirQrn_AttrIdName(call.dwAttrId));
  ScRedirQrn_DumpSignedField("fpbAttrIsNULL", call.fpbAttrIsNULL);
  ScRedirQrn_DumpField("cbAttrLen", call.cbAttrLen);
  SCREDIR_TRACE_EXIT();
}

void ScRedirQrn_DumpSetAttrib_Call(const SetAttrib_Call& call) {
  if (!ScRedirQrn_DebugOn()) return;
  SCREDIR_TRACE_ENTRY();
  ScRedirQrn_DumpRedirSCardHandle(call.hCard);
  // Only reads of an attribute carry its name in the trace; a write shows
  // the plain number.
  ScRedirQrn_DumpField("dwAttrId", call.dwAttrId);
  ScRedirQrn_DumpField("cbAttrLen", call.cbAttrLen);
  ScRedirQrn_DumpBuffer("pbAttr", call.pbAttr, call.cbAttrLen);
  SCREDIR_TRACE_EXIT();
}
