// The command table: one entry per daemon command. Constant data, shared by
// every thread.
//
// An entry reads, in order: the daemon record (its type, and whether the
// header's `size` says how much of it came: Fixed or SizedByHeader); the
// command code and its name; the IOCTL it is redirected with; the "in" side
// (the limits its fields must keep, the builder that reads them into the
// call record, the call record's name, what follows the encoding); the
// "out" side (the return record it decodes into the record's fields); for
// the returns that can outgrow the first request's 2048 bytes, the output
// room of the one resend; and, where it differs, the IOCTL its failure
// line names. Adding a command: one entry here, its builder in
// request_build.cc, a writer in completion_parse.cc if its return record
// is new, and its row in the EveryCommandEntry test
// (tests/commands/request_build_test.cc).
#include "scredir/pcscd_msg.h"

#include "scredir/completion_parse.h"
#include "scredir/request_build.h"
#include "scredir/rpc/records.h"

namespace {

#define PCSCD(code) PCSCD_##code, "PCSCD_" #code

using namespace pcscd_in;
using pcscd_out::Apply;

// A returned ReaderState: dwCurrentState, dwEventState, cbAtr, rgbAtr[36].
constexpr uint32_t kReturnedReaderState = 48;

// The output room for a return whose largest field holds `largestField`
// bytes: NDR headers, fixed fields, pointer ids and alignment around it,
// with room to spare.
constexpr uint32_t RoomFor(uint32_t largestField) {
  return largestField + 1024;
}

// Indexed by command code; a zero `command` marks a code we do not handle.
constexpr uint32_t kMaxCommand = PCSCD_GET_STATUS_CHANGE;
// clang-format off
const PcscdCommand kCommands[kMaxCommand + 1] = {
    {},
    {Fixed<EstablishContextMsg>(), PCSCD(ESTABLISH_CONTEXT), SCARD_IOCTL_ESTABLISHCONTEXT,
     {nullptr, EstablishContext, "EstablishContext_Call"}, Apply<EstablishContext_Return>},
    {Fixed<ReleaseContextMsg>(), PCSCD(RELEASE_CONTEXT), SCARD_IOCTL_RELEASECONTEXT,
     {nullptr, Context, "Context_Call"}, Apply<Long_Return>},
    // Reader names come as UTF-16: up to two bytes for every UTF-8 byte.
    {Fixed<ListReadersMsg>(), PCSCD(LIST_READERS), SCARD_IOCTL_LISTREADERSW,
     {nullptr, ListReaders, "ListReaders_Call"}, Apply<ListReaders_Return>,
     RoomFor(2 * kPcscdReadersBytes)},
    {Fixed<ConnectMsg>(), PCSCD(CONNECT), SCARD_IOCTL_CONNECTW,
     {CheckConnect, Connect, "ConnectW_Call"}, Apply<Connect_Return>},
    {Fixed<ReconnectMsg>(), PCSCD(RECONNECT), SCARD_IOCTL_RECONNECT,
     {nullptr, Reconnect, "Reconnect_Call"}, Apply<Reconnect_Return>},
    // The daemon never names a disconnected handle again.
    {Fixed<DisconnectMsg>(), PCSCD(DISCONNECT), SCARD_IOCTL_DISCONNECT,
     {nullptr, Disposition, "HCardAndDisposition_Call", DropHandle}, Apply<Long_Return>},
    {Fixed<BeginTransactionMsg>(), PCSCD(BEGIN_TRANSACTION), SCARD_IOCTL_BEGINTRANSACTION,
     {nullptr, BeginTransaction, "HCardAndDisposition_Call"}, Apply<Long_Return>},
    {Fixed<EndTransactionMsg>(), PCSCD(END_TRANSACTION), SCARD_IOCTL_ENDTRANSACTION,
     {nullptr, Disposition, "HCardAndDisposition_Call"}, Apply<Long_Return>},
    // The APDU follows the fixed part; the card's answer comes back in its place.
    {SizedByHeader<TransmitMsg>(kTransmitFixedBytes), PCSCD(TRANSMIT), SCARD_IOCTL_TRANSMIT,
     {CheckTransmit, Transmit, "Transmit_Call"}, Apply<Transmit_Return>,
     RoomFor(kPcscdBufferBytes)},
    {SizedByHeader<ControlMsg>(kControlFixedBytes), PCSCD(CONTROL), SCARD_IOCTL_CONTROL,
     {CheckControl, Control, "Control_Call"}, Apply<Control_Return>,
     RoomFor(kPcscdBufferBytes)},
    // The failure line names the ANSI IOCTL although the wide one is sent.
    {Fixed<StatusMsg>(), PCSCD(STATUS), SCARD_IOCTL_STATUSW,
     {nullptr, Status, "Status_Call"}, Apply<Status_Return>, 0, "SCARD_IOCTL_STATUS"},
    {},
    {Fixed<CancelMsg>(), PCSCD(CANCEL), SCARD_IOCTL_CANCEL,
     {nullptr, Context, "Context_Call"}, Apply<Long_Return>},
    {},
    {Fixed<GetAttribMsg>(), PCSCD(GET_ATTRIB), SCARD_IOCTL_GETATTRIB,
     {nullptr, GetAttrib, "GetAttrib_Call"}, Apply<GetAttrib_Return>},
    {Fixed<SetAttribMsg>(), PCSCD(SET_ATTRIB), SCARD_IOCTL_SETATTRIB,
     {CheckSetAttrib, SetAttrib, "SetAttrib_Call"}, Apply<Long_Return>},
    {},
    {Fixed<GetStatusChangeMsg>(), PCSCD(GET_STATUS_CHANGE), SCARD_IOCTL_GETSTATUSCHANGEW,
     {CheckReaderStates, GetStatusChange, "GetStatusChangeW_Call"},
     Apply<GetStatusChange_Return>, RoomFor(kPcscdMaxReaderStates * kReturnedReaderState)},
};
// clang-format on

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
