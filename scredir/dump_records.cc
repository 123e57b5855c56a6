// Traces of the call and return records, read off their descriptions.
//
// The dump walks the same Fields() the codec walks (record_fields.h), so a
// record's lines follow its wire order, with these differences: a fixed
// array is shown right after the count that sizes it (wherever it sits on
// the wire), the deferred data of a pointer right after its count, and the
// fields under a path in rpc::kDumpGroups inside their routine's brackets.
//
// Calls come from the request builder, which fills every buffer with at
// least the bytes its count announces; decoded returns hold null or exactly
// the announced count in every pointer slot. Fixed arrays are never dumped
// past their size: a call's count is still the daemon's, unchecked, when
// it is traced.
#include <cstddef>
#include <string_view>

#include "scredir/dump.h"
#include "scredir/names.h"
#include "scredir/qrn_log.h"
#include "scredir/rpc/record_fields.h"

namespace {

using rpc::kNoLimit;
using rpc::Path;
using rpc::Shown;

Path ToPath(const char* trace) {
  return Path{.trace = trace};
}
Path ToPath(const Path& path) {
  return path;
}

// Bytes of a NUL-terminated UTF-16 string, terminator included.
uint32_t Utf16BytesWithNul(const uint16_t* s) {
  uint32_t units = 0;
  while (s[units] != 0) ++units;
  return (units + 1) * sizeof(uint16_t);
}

void DumpElement(const ReaderStateW& e) {
  ScRedirQrn_DumpReaderStateW(e);
}
void DumpElement(const ReaderState_Return& e) {
  ScRedirQrn_DumpReaderState_Return(e);
}

// A visitor of a record's Fields() that writes its dump and never stops the
// walk. `only` limits it to the fields under one path (a shared piece
// dumped on its own); a record's dump takes all.
class Dumper {
 public:
  explicit Dumper(std::string_view only = {}) : only_(only) {}
  ~Dumper() {
    while (depth_ > 0) Close();
  }

  bool U32(uint32_t& v, const auto& path, uint32_t = kNoLimit) {
    return Value(v, ToPath(path), false);
  }
  bool I32(int32_t& v, const auto& path) {
    return Value(static_cast<uint32_t>(v), ToPath(path), true);
  }
  bool Fixed(uint8_t*, uint32_t) { return true; }  // shown by its count

  bool Bytes(uint32_t& count, uint8_t*& data, const auto& path, uint32_t = kNoLimit,
             bool apdu = false) {
    const Path p = ToPath(path);
    if (!Enter(p.trace)) return true;
    ScRedirQrn_DumpField(Leaf(p.trace), count);
    (apdu ? ScRedirQrn_DumpApduBuffer : ScRedirQrn_DumpBuffer)(p.data, data, count);
    return true;
  }
  // Every string in the records is a reader name.
  bool Str(uint16_t*& s) {
    if (Enter("")) ScRedirQrn_DumpBuffer("szReader", s, s != nullptr ? Utf16BytesWithNul(s) : 0);
    return true;
  }
  bool RecvPci(SCardIO_Request*& io) {
    if (Enter("") && io != nullptr) ScRedirQrn_DumpSCardIO_Request(*io);
    return true;
  }
  // The count; when the description names the array's pointer line, the
  // array as it sits in memory (pointers and padding included); then each
  // element through its own routine.
  template <class E>
  bool Array(uint32_t& count, E*& elems, const auto& path, uint32_t, uint32_t) {
    const Path p = ToPath(path);
    if (!Enter(p.trace)) return true;
    ScRedirQrn_DumpField(Leaf(p.trace), count);
    if (p.data != nullptr) {
      const size_t bytes = size_t{count} * sizeof(E);
      ScRedirQrn_DumpBuffer(p.data, elems, bytes <= UINT32_MAX ? static_cast<uint32_t>(bytes) : 0);
    }
    if (elems != nullptr)
      for (uint32_t i = 0; i < count; ++i) DumpElement(elems[i]);
    return true;
  }

 private:
  bool Value(uint32_t v, const Path& p, bool isSigned) {
    if (!Enter(p.trace)) return true;
    const char* name = Leaf(p.trace);
    switch (p.shown) {
      case Shown::kResultCode:
        ScRedirQrn_DumpReturnCode(v);
        break;
      case Shown::kScopeName:
        ScRedirQrn_DumpNamedField(name, v, ScRedirQrn_ScopeName(v));
        break;
      case Shown::kAttrIdName:
        ScRedirQrn_DumpNamedField(name, v, ScRedirQrn_AttrIdName(v));
        break;
      case Shown::kAsTyped:
        if (isSigned) {
          ScRedirQrn_DumpSignedField(name, static_cast<int32_t>(v));
          break;
        }
        [[fallthrough]];
      case Shown::kUnsigned:
        ScRedirQrn_DumpField(name, v);
        break;
    }
    if (!p.fixed.empty())
      ScRedirQrn_DumpBuffer(p.data, p.fixed.data(),
                            v < p.fixed.size() ? v : static_cast<uint32_t>(p.fixed.size()));
    return true;
  }

  // The field's name: the last part of its path.
  static const char* Leaf(const char* trace) {
    const std::string_view t(trace);
    const size_t cut = t.find_last_of(".>");
    return cut == std::string_view::npos ? trace : trace + cut + 1;
  }
  static bool Under(std::string_view trace, std::string_view group) {
    return trace.size() > group.size() && trace.starts_with(group) && trace[group.size()] == '.';
  }

  // Whether the field is dumped at all; if so, leaves the groups it is not
  // under and enters those it is, outermost first.
  bool Enter(std::string_view trace) {
    if (!trace.starts_with(only_)) return false;
    while (depth_ > 0 && !Under(trace, open_[depth_ - 1]->path)) Close();
    for (const auto& g : rpc::kDumpGroups) {
      const bool deeper = depth_ == 0 || g.path.size() > open_[depth_ - 1]->path.size();
      if (deeper && Under(trace, g.path) && depth_ < kMaxDepth) {
        open_[depth_++] = &g;
        Bracket(g.routine, "Entry");
      }
    }
    return true;
  }
  void Close() { Bracket(open_[--depth_]->routine, "Exit"); }
  static void Bracket(const char* routine, const char* which) {
    ScRedirQrn_Logf(kQrnLogDebug, 0, "%s():%d: %s", routine, __LINE__, which);
  }

  static constexpr int kMaxDepth = 4;
  std::string_view only_;
  const rpc::DumpGroup* open_[kMaxDepth] = {};
  int depth_ = 0;
};

// The description takes records to fill as well as to read; a dump only
// reads.
template <class R>
void Walk(const R& rec, std::string_view only = {}) {
  Dumper d(only);
  rpc::Fields(d, const_cast<R&>(rec));
}

}  // namespace

// ---- Shared pieces -------------------------------------------------------------
//
// Their Entry and Exit lines come from kDumpGroups; the pieces a record
// holds inline are dumped from a record around a copy of them (so a
// ReaderState_Common_Call dumped on its own shows the copy's rgbAtr
// address; inside its record it shows the record's).

void ScRedirQrn_DumpRedirSCardContext(const REDIR_SCARDCONTEXT& context) {
  if (!ScRedirQrn_DebugOn()) return;
  Dumper d;
  rpc::Fields(d, const_cast<REDIR_SCARDCONTEXT&>(context), "Context.cbContext");
}

void ScRedirQrn_DumpRedirSCardHandle(const REDIR_SCARDHANDLE& handle) {
  if (ScRedirQrn_DebugOn()) Walk(handle);
}

void ScRedirQrn_DumpSCardIO_Request(const SCardIO_Request& request) {
  if (!ScRedirQrn_DebugOn()) return;
  Transmit_Call call{};
  call.ioSendPci = request;
  Walk(call, "ioSendPci.");
}

void ScRedirQrn_DumpConnect_Common(const Connect_Common& common) {
  if (ScRedirQrn_DebugOn()) Walk(ConnectW_Call{nullptr, common}, "Common.");
}

void ScRedirQrn_DumpReaderState_Common_Call(const ReaderState_Common_Call& common) {
  if (ScRedirQrn_DebugOn()) Walk(ReaderStateW{nullptr, common}, "rgReaderStates[i].Common.");
}

// ---- Records -------------------------------------------------------------------
//
// One routine per record, so that its Entry and Exit lines carry its name.

#define SCREDIR_DUMP_RECORD(Name, R)         \
  void ScRedirQrn_Dump##Name(const R& rec) { \
    if (!ScRedirQrn_DebugOn()) return;       \
    SCREDIR_TRACE_ENTRY();                   \
    Walk(rec);                               \
    SCREDIR_TRACE_EXIT();                    \
  }

SCREDIR_DUMP_RECORD(EstablishContext_Call, EstablishContext_Call)
SCREDIR_DUMP_RECORD(Context_Call, Context_Call)
SCREDIR_DUMP_RECORD(ListReaders_Call, ListReaders_Call)
SCREDIR_DUMP_RECORD(GetStatusChangeW_Call, GetStatusChangeW_Call)
SCREDIR_DUMP_RECORD(ReaderStateW, ReaderStateW)
SCREDIR_DUMP_RECORD(ConnectW_Call, ConnectW_Call)
SCREDIR_DUMP_RECORD(Reconnect_Call, Reconnect_Call)
SCREDIR_DUMP_RECORD(HCardAndDisposition_Call, HCardAndDisposition_Call)
SCREDIR_DUMP_RECORD(Status_Call, Status_Call)
SCREDIR_DUMP_RECORD(Transmit_Call, Transmit_Call)
SCREDIR_DUMP_RECORD(Control_Call, Control_Call)
SCREDIR_DUMP_RECORD(GetAttrib_Call, GetAttrib_Call)
SCREDIR_DUMP_RECORD(SetAttrib_Call, SetAttrib_Call)
SCREDIR_DUMP_RECORD(Long_Return, Long_Return)
SCREDIR_DUMP_RECORD(EstablishContext_Return, EstablishContext_Return)
SCREDIR_DUMP_RECORD(LongAndMultiString_Return, ListReaders_Return)
SCREDIR_DUMP_RECORD(GetStatusChange_Return, GetStatusChange_Return)
SCREDIR_DUMP_RECORD(ReaderState_Return, ReaderState_Return)
SCREDIR_DUMP_RECORD(Connect_Return, Connect_Return)
SCREDIR_DUMP_RECORD(Reconnect_Return, Reconnect_Return)
SCREDIR_DUMP_RECORD(Status_Return, Status_Return)
SCREDIR_DUMP_RECORD(Transmit_Return, Transmit_Return)
SCREDIR_DUMP_RECORD(Control_Return, Control_Return)
SCREDIR_DUMP_RECORD(GetAttrib_Return, GetAttrib_Return)
