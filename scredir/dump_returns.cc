// Traces of the return records decoded from the client's completions.
//
// Decoded records hold null or a block of exactly the announced count in
// every pointer slot, so counts size the hex dumps directly; fixed arrays
// are still clamped to their own size.
#include <cstddef>

#include "scredir/dump.h"
#include "scredir/qrn_log.h"

namespace {

template <size_t N>
uint32_t ClampToArray(uint32_t count, const uint8_t (&)[N]) {
  return count < N ? count : static_cast<uint32_t>(N);
}

}  // namespace

void ScRedirQrn_DumpLong_Return(const Long_Return& ret) {
  if (!ScRedirQrn_DebugOn()) return;
  SCREDIR_TRACE_ENTRY();
  ScRedirQrn_DumpReturnCode(static_cast<uint32_t>(ret.ReturnCode));
  SCREDIR_TRACE_EXIT();
}

void ScRedirQrn_DumpEstablishContext_Return(const EstablishContext_Return& ret) {
  if (!ScRedirQrn_DebugOn()) return;
  SCREDIR_TRACE_ENTRY();
  ScRedirQrn_DumpReturnCode(static_cast<uint32_t>(ret.ReturnCode));
  ScRedirQrn_DumpRedirSCardContext(ret.Context);
  SCREDIR_TRACE_EXIT();
}

void ScRedirQrn_DumpLongAndMultiString_Return(const ListReaders_Return& ret) {
  if (!ScRedirQrn_DebugOn()) return;
  SCREDIR_TRACE_ENTRY();
  ScRedirQrn_DumpReturnCode(static_cast<uint32_t>(ret.ReturnCode));
  ScRedirQrn_DumpField("cBytes", ret.cBytes);
  ScRedirQrn_DumpBuffer("msz", ret.msz, ret.cBytes);
  SCREDIR_TRACE_EXIT();
}

void ScRedirQrn_DumpGetStatusChange_Return(const GetStatusChange_Return& ret) {
  if (!ScRedirQrn_DebugOn()) return;
  SCREDIR_TRACE_ENTRY();
  ScRedirQrn_DumpReturnCode(static_cast<uint32_t>(ret.ReturnCode));
  ScRedirQrn_DumpField("cReaders", ret.cReaders);
  // A null array (the client sent none) leaves cReaders unbacked.
  if (ret.rgReaderStates != nullptr) {
    for (uint32_t i = 0; i < ret.cReaders; ++i)
      ScRedirQrn_DumpReaderState_Return(ret.rgReaderStates[i]);
  }
  SCREDIR_TRACE_EXIT();
}

void ScRedirQrn_DumpReaderState_Return(const ReaderState_Return& state) {
  if (!ScRedirQrn_DebugOn()) return;
  SCREDIR_TRACE_ENTRY();
  ScRedirQrn_DumpField("dwCurrentState", state.dwCurrentState);
  ScRedirQrn_DumpField("dwEventState", state.dwEventState);
  ScRedirQrn_DumpField("cbAtr", state.cbAtr);
  ScRedirQrn_DumpBuffer("rgbAtr", state.rgbAtr, ClampToArray(state.cbAtr, state.rgbAtr));
  SCREDIR_TRACE_EXIT();
}

void ScRedirQrn_DumpConnect_Return(const Connect_Return& ret) {
  if (!ScRedirQrn_DebugOn()) return;
  SCREDIR_TRACE_ENTRY();
  ScRedirQrn_DumpReturnCode(static_cast<uint32_t>(ret.ReturnCode));
  ScRedirQrn_DumpRedirSCardHandle(ret.hCard);
  ScRedirQrn_DumpField("dwActiveProtocol", ret.dwActiveProtocol);
  SCREDIR_TRACE_EXIT();
}

void ScRedirQrn_DumpReconnect_Return(const Reconnect_Return& ret) {
  if (!ScRedirQrn_DebugOn()) return;
  SCREDIR_TRACE_ENTRY();
  ScRedirQrn_DumpReturnCode(static_cast<uint32_t>(ret.ReturnCode));
  ScRedirQrn_DumpField("dwActiveProtocol", ret.dwActiveProtocol);
  SCREDIR_TRACE_EXIT();
}

void ScRedirQrn_DumpStatus_Return(const Status_Return& ret) {
  if (!ScRedirQrn_DebugOn()) return;
  SCREDIR_TRACE_ENTRY();
  ScRedirQrn_DumpReturnCode(static_cast<uint32_t>(ret.ReturnCode));
  ScRedirQrn_DumpField("cBytes", ret.cBytes);
  ScRedirQrn_DumpBuffer("mszReaderNames", ret.mszReaderNames, ret.cBytes);
  ScRedirQrn_DumpField("dwState", ret.dwState);
  ScRedirQrn_DumpField("dwProtocol", ret.dwProtocol);
  ScRedirQrn_DumpField("cbAtrLen", ret.cbAtrLen);
  ScRedirQrn_DumpBuffer("pbAtr", ret.pbAtr, ClampToArray(ret.cbAtrLen, ret.pbAtr));
  SCREDIR_TRACE_EXIT();
}

void ScRedirQrn_DumpTransmit_Return(const Transmit_Return& ret) {
  if (!ScRedirQrn_DebugOn()) return;
  SCREDIR_TRACE_ENTRY();
  ScRedirQrn_DumpReturnCode(ret.ReturnCode);
  if (ret.pioRecvPci != nullptr) ScRedirQrn_DumpSCardIO_Request(*ret.pioRecvPci);
  ScRedirQrn_DumpField("cbRecvLength", ret.cbRecvLength);
  ScRedirQrn_DumpBuffer("pbRecvBuffer", ret.pbRecvBuffer, ret.cbRecvLength);
  SCREDIR_TRACE_EXIT();
}

void ScRedirQrn_DumpControl_Return(const Control_Return& ret) {
  if (!ScRedirQrn_DebugOn()) return;
  SCREDIR_TRACE_ENTRY();
  ScRedirQrn_DumpReturnCode(static_cast<uint32_t>(ret.ReturnCode));
  ScRedirQrn_DumpField("cbOutBufferSize", ret.cbOutBufferSize);
  ScRedirQrn_DumpBuffer("pvOutBuffer", ret.pvOutBuffer, ret.cbOutBufferSize);
  SCREDIR_TRACE_EXIT();
}

void ScRedirQrn_DumpGetAttrib_Return(const GetAttrib_Return& ret) {
  if (!ScRedirQrn_DebugOn()) return;
  SCREDIR_TRACE_ENTRY();
  ScRedirQrn_DumpReturnCode(static_cast<uint32_t>(ret.ReturnCode));
  ScRedirQrn_DumpField("cbAttrLen", ret.cbAttrLen);
  ScRedirQrn_DumpBuffer("pbAttr", ret.pbAttr, ret.cbAttrLen);
  SCREDIR_TRACE_EXIT();
}
