// Debug traces of the smart-card records the plug-in sends and receives.
//
// Every routine here writes through ScRedirQrn_Log at debug level (and the
// raw bytes behind buffers through ScRedirQrn_HexDump) and writes nothing at
// all unless the debug switch is on; callers may still test the switch
// first to skip building a record only for its trace. The routines read the
// record they are given, keep nothing and may run on any thread.
//
// Each record dump is bracketed by the usual "Entry"/"Exit" trace lines; a
// nested record is dumped by its own routine at that point, with its own
// brackets. The record dumps walk the record descriptions of
// rpc/record_fields.h (dump_records.cc).
#pragma once

#include <cstdint>

#include "scredir/rpc/records.h"

// One-line formats shared by the record dumps and the packet header dump.
//
// A 32-bit field: its four bytes from the least significant, the name
// right-aligned in 20 columns, then the value in hex and in decimal.
void ScRedirQrn_DumpField(const char* name, uint32_t value);
// The same with the decimal column signed (the IsNULL flags).
void ScRedirQrn_DumpSignedField(const char* name, int32_t value);
// The same with a symbolic name in place of the decimal column.
void ScRedirQrn_DumpNamedField(const char* name, uint32_t value, const char* valueName);
// Where a field's data lives: the name right-aligned in 32 columns.
void ScRedirQrn_DumpPointer(const char* name, const void* address);
// A 16-bit packet header field shown by the name of its value.
void ScRedirQrn_DumpHeaderField(uint16_t value, const char* valueName);
// A buffer: its pointer line, then a hex dump of `count` bytes when the
// pointer is not null. `data` must hold at least `count` bytes.
void ScRedirQrn_DumpBuffer(const char* name, const void* data, uint32_t count);
// The same for a command APDU: the data of a command that carries a PIN is
// masked in the hex dump (ScRedirQrn_HexDumpApdu in qrn_log.h).
void ScRedirQrn_DumpApduBuffer(const char* name, const void* data, uint32_t count);

// Shared pieces.
void ScRedirQrn_DumpReturnCode(uint32_t returnCode);
void ScRedirQrn_DumpRedirSCardContext(const REDIR_SCARDCONTEXT& context);
void ScRedirQrn_DumpRedirSCardHandle(const REDIR_SCARDHANDLE& handle);
void ScRedirQrn_DumpSCardIO_Request(const SCardIO_Request& request);

// Call records, traced after they are filled and before they are encoded.
void ScRedirQrn_DumpEstablishContext_Call(const EstablishContext_Call& call);
void ScRedirQrn_DumpContext_Call(const Context_Call& call);
void ScRedirQrn_DumpListReaders_Call(const ListReaders_Call& call);
void ScRedirQrn_DumpGetStatusChangeW_Call(const GetStatusChangeW_Call& call);
void ScRedirQrn_DumpReaderStateW(const ReaderStateW& state);
void ScRedirQrn_DumpReaderState_Common_Call(const ReaderState_Common_Call& common);
void ScRedirQrn_DumpConnectW_Call(const ConnectW_Call& call);
void ScRedirQrn_DumpConnect_Common(const Connect_Common& common);
void ScRedirQrn_DumpReconnect_Call(const Reconnect_Call& call);
void ScRedirQrn_DumpHCardAndDisposition_Call(const HCardAndDisposition_Call& call);
void ScRedirQrn_DumpStatus_Call(const Status_Call& call);
void ScRedirQrn_DumpTransmit_Call(const Transmit_Call& call);
void ScRedirQrn_DumpControl_Call(const Control_Call& call);
void ScRedirQrn_DumpGetAttrib_Call(const GetAttrib_Call& call);
void ScRedirQrn_DumpSetAttrib_Call(const SetAttrib_Call& call);

// Return records, traced after a successful decode.
void ScRedirQrn_DumpLong_Return(const Long_Return& ret);
void ScRedirQrn_DumpEstablishContext_Return(const EstablishContext_Return& ret);
void ScRedirQrn_DumpLongAndMultiString_Return(const ListReaders_Return& ret);
void ScRedirQrn_DumpGetStatusChange_Return(const GetStatusChange_Return& ret);
void ScRedirQrn_DumpReaderState_Return(const ReaderState_Return& state);
void ScRedirQrn_DumpConnect_Return(const Connect_Return& ret);
void ScRedirQrn_DumpReconnect_Return(const Reconnect_Return& ret);
void ScRedirQrn_DumpStatus_Return(const Status_Return& ret);
void ScRedirQrn_DumpTransmit_Return(const Transmit_Return& ret);
void ScRedirQrn_DumpControl_Return(const Control_Return& ret);
void ScRedirQrn_DumpGetAttrib_Return(const GetAttrib_Return& ret);
