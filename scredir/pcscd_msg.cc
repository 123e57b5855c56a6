// The command table: what to read for each daemon command and which entry
// point redirects it. Constant data, shared by every thread.
#include "scredir/pcscd_msg.h"

#include <cstddef>

#include "scredir/request_build.h"

namespace {

constexpr uint32_t kHeaderBytes = sizeof(PcscdMessageHeader);

// NDR headers, fixed fields, pointer ids and alignment around the one
// variable field of a return, with room to spare.
constexpr uint32_t kReturnOverhead = 1024;
// A returned ReaderState: dwCurrentState, dwEventState, cbAtr, rgbAtr[36].
constexpr uint32_t kReturnedReaderState = 48;

template <typename Record>
constexpr PcscdCommand Row(uint32_t command, const char* name, uint32_t ioctl,
                           PcscdEntryPoint entry, uint32_t rvOffset = sizeof(Record) - 4,
                           bool sizedByHeader = false, uint32_t largestField = 0) {
  return PcscdCommand{command,
                      name,
                      sizedByHeader ? 0u : static_cast<uint32_t>(sizeof(Record)),
                      static_cast<uint32_t>(sizeof(Record)),
                      static_cast<uint32_t>(kHeaderBytes + sizeof(Record)),
                      ioctl,
                      entry,
                      rvOffset,
                      largestField ? largestField + kReturnOverhead : 0};
}

// Indexed by command code; a zero `command` marks a code we do not handle.
constexpr uint32_t kMaxCommand = PCSCD_GET_STATUS_CHANGE;
const PcscdCommand kCommands[kMaxCommand + 1] = {
    {},
    Row<EstablishContextMsg>(PCSCD_ESTABLISH_CONTEXT, "PCSCD_ESTABLISH_CONTEXT",
                             SCARD_IOCTL_ESTABLISHCONTEXT, ScRedirQrn_EstablishContext),
    Row<ReleaseContextMsg>(PCSCD_RELEASE_CONTEXT, "PCSCD_RELEASE_CONTEXT",
                           SCARD_IOCTL_RELEASECONTEXT, ScRedirQrn_ReleaseContext),
    // Reader names come as UTF-16: up to two bytes for every UTF-8 byte.
    Row<ListReadersMsg>(PCSCD_LIST_READERS, "PCSCD_LIST_READERS", SCARD_IOCTL_LISTREADERSW,
                        ScRedirQrn_ListReaders, offsetof(ListReadersMsg, rv), false,
                        2 * kPcscdReadersBytes),
    Row<ConnectMsg>(PCSCD_CONNECT, "PCSCD_CONNECT", SCARD_IOCTL_CONNECTW, ScRedirQrn_Connect),
    Row<ReconnectMsg>(PCSCD_RECONNECT, "PCSCD_RECONNECT", SCARD_IOCTL_RECONNECT,
                      ScRedirQrn_Reconnect),
    Row<DisconnectMsg>(PCSCD_DISCONNECT, "PCSCD_DISCONNECT", SCARD_IOCTL_DISCONNECT,
                       ScRedirQrn_Disconnect),
    Row<BeginTransactionMsg>(PCSCD_BEGIN_TRANSACTION, "PCSCD_BEGIN_TRANSACTION",
                             SCARD_IOCTL_BEGINTRANSACTION, ScRedirQrn_BeginTransaction),
    Row<EndTransactionMsg>(PCSCD_END_TRANSACTION, "PCSCD_END_TRANSACTION",
                           SCARD_IOCTL_ENDTRANSACTION, ScRedirQrn_EndTransaction),
    Row<TransmitMsg>(PCSCD_TRANSMIT, "PCSCD_TRANSMIT", SCARD_IOCTL_TRANSMIT, ScRedirQrn_Transmit,
                     offsetof(TransmitMsg, rv), true, kPcscdBufferBytes),
    Row<ControlMsg>(PCSCD_CONTROL, "PCSCD_CONTROL", SCARD_IOCTL_CONTROL, ScRedirQrn_Control,
                    offsetof(ControlMsg, rv), true, kPcscdBufferBytes),
    Row<StatusMsg>(PCSCD_STATUS, "PCSCD_STATUS", SCARD_IOCTL_STATUSW, ScRedirQrn_Status),
    {},
    Row<CancelMsg>(PCSCD_CANCEL, "PCSCD_CANCEL", SCARD_IOCTL_CANCEL, ScRedirQrn_Cancel),
    {},
    Row<GetAttribMsg>(PCSCD_GET_ATTRIB, "PCSCD_GET_ATTRIB", SCARD_IOCTL_GETATTRIB,
                      ScRedirQrn_GetAttrib),
    Row<SetAttribMsg>(PCSCD_SET_ATTRIB, "PCSCD_SET_ATTRIB", SCARD_IOCTL_SETATTRIB,
                      ScRedirQrn_SetAttrib),
    {},
    Row<GetStatusChangeMsg>(PCSCD_GET_STATUS_CHANGE, "PCSCD_GET_STATUS_CHANGE",
                            SCARD_IOCTL_GETSTATUSCHANGEW, ScRedirQrn_GetStatusChange,
                            offsetof(GetStatusChangeMsg, rv), false,
                            kPcscdMaxReaderStates* kReturnedReaderState),
};

// Zero-initialised static storage that nothing writes: its pages stay the
// kernel's shared zero page, so it costs no resident memory of its own.
alignas(4096) uint8_t g_zeros[kPcscdZerosBytes];

}  // namespace

const uint8_t* ScRedirQrn_Zeros() {
  return g_zeros;
}

const PcscdCommand* ScRedirQrn_FindCommand(uint32_t command) {
  if (command > kMaxCommand || kCommands[command].command == 0) return nullptr;
  return &kCommands[command];
}

const PcscdCommand* ScRedirQrn_FindCommandByIoctl(uint32_t ioControlCode) {
  for (const PcscdCommand& row : kCommands)
    if (row.command != 0 && row.ioControlCode == ioControlCode) return &row;
  return nullptr;
}
