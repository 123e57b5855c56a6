// The smart-card records: one routine per record serves both directions.
//
// Every record is described once, by its Fields() in record_fields.h. The
// codec walks that description twice: the inline part field by field
// (pointers as referent ids), then the deferred data of every pointer that
// was present, in the order the pointers appeared. A third walk releases what
// decoding allocated. Limits are applied right after the field they guard, in
// both directions, and again when a count comes back in the deferred part.
// When decoding, presence markers stay in the walk's own bits: record fields
// only ever receive null or blocks allocated here.
#include "scredir/rpc/records.h"

#include <glib.h>

#include <cstring>

#include "scredir/qrn_log.h"
#include "scredir/rpc/record_fields.h"

namespace {

using rpc::kNoLimit;

template <class T>
void FreeBlock(T*& p) {
  if (p == nullptr) return;  // most records leave some pointers null: no call for them
  g_free(p);
  p = nullptr;
}

template <class R>
void Release(R& rec);

// The state of one record routine run: handle, id counter, names for traces.
class Rec {
 public:
  Rec(ScRedirRpc_Handle* h, const char* routine, const char* who)
      : h_(h), routine_(routine), who_(who) {}

  // Refuses a missing handle or record; clears a record about to be decoded
  // so that every pointer starts null.
  template <class R>
  bool Begin(R* rec) {
    if (h_ == nullptr || rec == nullptr) {
      ScRedirRpc_SetErrorCode(RPC_S_INVALID_ARG);
      return false;
    }
    if (decoding()) *rec = R{};
    return true;
  }

  // Closes the run: status 0 on success; on failure the GOTO trace, and a
  // failed decode gives back what it allocated.
  template <class R>
  int End(bool ok, R* rec, int line) {
    if (ok) {
      ScRedirRpc_SetErrorCode(RPC_S_OK);
    } else {
      if (ScRedirQrn_DebugOn())
        ScRedirQrn_Logf(kQrnLogDebug, 0, "%s():%d: GOTO %s", routine_, line, "ioFailed");
      if (h_ != nullptr && rec != nullptr && decoding()) Release(*rec);
    }
    if (ScRedirQrn_DebugOn()) ScRedirQrn_Logf(kQrnLogDebug, 0, "%s():%d: Exit", routine_, line);
    return ok ? 1 : 0;
  }

  bool decoding() const { return h_->direction == kScRedirRpcDecode; }

  bool U32(uint32_t& v, const char* path, uint32_t max = kNoLimit) {
    Trace("UInt32", path);
    return ScRedirRpc_NdrUInt32(h_, &v) && Limit(v, max);
  }
  bool I32(int32_t& v, const char* path) {
    Trace("Int32", path);
    return ScRedirRpc_NdrInt32(h_, &v);
  }
  bool Limit(uint32_t v, uint32_t max) {
    if (v <= max) return true;
    ScRedirRpc_SetErrorCode(RPC_S_INVALID_ARG);
    return false;
  }

  // A pointer's referent id. `present` says whether its deferred data follows.
  template <class T>
  bool Ptr(T*& field, bool& present) {
    void* slot = decoding() ? nullptr : static_cast<void*>(field);
    if (!ScRedirRpc_NdrPtrId(h_, &slot, &ids_)) return false;
    present = slot != nullptr;
    if (decoding()) field = nullptr;
    return true;
  }

  bool Fixed(uint8_t* bytes, uint32_t n) { return ScRedirRpc_CodecIO(h_, bytes, n); }

  // A zeroed block of `count` elements for a decoded pointer, after the count
  // has been held against the bytes its elements need on the wire. A count
  // of 0 gives null.
  template <class T>
  bool Alloc(uint32_t count, uint32_t wireSize, T*& out) {
    out = nullptr;
    if (!ScRedirRpc_CheckLeft(h_, count, wireSize)) return false;
    if (count == 0) return true;
    out = static_cast<T*>(g_try_malloc0_n(count, sizeof(T)));
    if (out != nullptr) return true;
    ScRedirRpc_SetErrorCode(RPC_S_OUT_OF_MEMORY);
    return false;
  }

  // A conformant byte array: its count (the length field again), then the
  // bytes; `apdu` marks a command APDU, whose trace masks a PIN.
  bool Bytes(uint32_t& count, uint8_t*& data, const char* path, uint32_t max = kNoLimit,
             bool apdu = false) {
    if (!U32(count, path, max)) return false;
    if (decoding() && !Alloc(count, 1, data)) return false;
    return count == 0 || (apdu ? ScRedirRpc_CodecIOApdu : ScRedirRpc_CodecIO)(h_, data, count);
  }

  // Raw bytes counted by a field moved earlier (the pioRecvPci extra bytes).
  bool RawCounted(uint32_t count, uint8_t*& data) {
    if (count == 0) return true;
    if (decoding()) return Alloc(count, 1, data) && ScRedirRpc_CodecIO(h_, data, count);
    // Nothing to write the announced bytes from: the stream could not be read back.
    if (data == nullptr) return Limit(1, 0);
    return ScRedirRpc_CodecIO(h_, data, count);
  }

  bool Str(uint16_t*& s) { return ScRedirRpc_NdrPtrStrW(h_, &s); }

 private:
  void Trace(const char* type, const char* path) const {
    if (!ScRedirQrn_DebugOn()) return;
    ScRedirQrn_Logf(kQrnLogDebug, 0, "%s %s to %s->%s", decoding() ? "reading" : "writing", type,
                    who_, path);
  }

  ScRedirRpc_Handle* h_;
  const char* routine_;
  const char* who_;
  uint32_t ids_ = ScRedirRpc_FirstPointerId();
};

// The pioRecvPci referent: two integers and the extra bytes themselves,
// without an id or a count of their own.
bool RecvPciReferent(Rec& r, SCardIO_Request*& io) {
  if (r.decoding() && !r.Alloc(1, 0, io)) return false;
  return r.U32(io->dwProtocol, "pioRecvPci->dwProtocol") &&
         r.U32(io->cbExtraBytes, "pioRecvPci->cbExtraBytes") &&
         r.RawCounted(io->cbExtraBytes, io->pbExtraBytes);
}

// ---- Walking a description -------------------------------------------------

enum class Pass { kInline, kDeferred };

// Which pointers the inline pass found present, in order; the deferred pass
// consumes them in the same order.
struct Presence {
  static constexpr uint32_t kMax = 64;
  uint64_t bits = 0;
  uint32_t count = 0;
  uint32_t next = 0;
};

// One pass of the codec over a record's Fields(): the inline pass moves
// integers, fixed bytes and referent ids; the deferred pass moves what the
// present pointers refer to.
template <Pass P>
class Walk {
 public:
  static constexpr bool kInline = P == Pass::kInline;

  Walk(Rec& r, Presence& p) : r_(r), p_(p) {}

  bool U32(uint32_t& v, const char* path, uint32_t max = kNoLimit) {
    return !kInline || r_.U32(v, path, max);
  }
  bool I32(int32_t& v, const char* path) { return !kInline || r_.I32(v, path); }
  bool Fixed(uint8_t* bytes, uint32_t n) { return !kInline || r_.Fixed(bytes, n); }

  bool Bytes(uint32_t& count, uint8_t*& data, const char* path, uint32_t max = kNoLimit,
             bool apdu = false) {
    if constexpr (kInline) return r_.U32(count, path, max) && Pointer(data);
    return !Present() || r_.Bytes(count, data, path, max, apdu);
  }
  bool Str(uint16_t*& s) {
    if constexpr (kInline) return Pointer(s);
    return !Present() || r_.Str(s);
  }
  bool RecvPci(SCardIO_Request*& io) {
    if constexpr (kInline) return Pointer(io);
    return !Present() || RecvPciReferent(r_, io);
  }
  // Deferred: the count again, every element's inline part, then the
  // deferred data of all elements.
  template <class E>
  bool Array(uint32_t& count, E*& elems, const char* path, uint32_t max, uint32_t wireSize) {
    if constexpr (kInline) return r_.U32(count, path, max) && Pointer(elems);
    if (!Present()) return true;
    if (!r_.U32(count, path, max)) return false;
    if (r_.decoding() && !r_.Alloc(count, wireSize, elems)) return false;
    Presence inner;
    Walk<Pass::kInline> in(r_, inner);
    for (uint32_t i = 0; i < count; ++i)
      if (!rpc::Fields(in, elems[i])) return false;
    Walk<Pass::kDeferred> deferred(r_, inner);
    for (uint32_t i = 0; i < count; ++i)
      if (!rpc::Fields(deferred, elems[i])) return false;
    return true;
  }

 private:
  template <class T>
  bool Pointer(T*& field) {
    if (p_.count == Presence::kMax) return r_.Limit(1, 0);
    bool present = false;
    if (!r_.Ptr(field, present)) return false;
    p_.bits |= uint64_t{present} << p_.count++;
    return true;
  }
  bool Present() { return (p_.bits >> p_.next++) & 1; }

  Rec& r_;
  Presence& p_;
};

template <class R>
bool Body(Rec& r, R& rec) {
  Presence p;
  Walk<Pass::kInline> in(r, p);
  Walk<Pass::kDeferred> deferred(r, p);
  return rpc::Fields(in, rec) && rpc::Fields(deferred, rec);
}

// Gives back every block a decode allocated and nulls its pointer.
struct Releaser {
  bool U32(uint32_t&, const char*, uint32_t = kNoLimit) { return true; }
  bool I32(int32_t&, const char*) { return true; }
  bool Fixed(uint8_t*, uint32_t) { return true; }
  bool Bytes(uint32_t&, uint8_t*& data, const char*, uint32_t = kNoLimit, bool = false) {
    FreeBlock(data);
    return true;
  }
  bool Str(uint16_t*& s) {
    FreeBlock(s);
    return true;
  }
  bool RecvPci(SCardIO_Request*& io) {
    if (io != nullptr) FreeBlock(io->pbExtraBytes);
    FreeBlock(io);
    return true;
  }
  // The block was allocated for exactly `count` elements, and the count is
  // not written after the allocation.
  template <class E>
  bool Array(uint32_t& count, E*& elems, const char*, uint32_t, uint32_t) {
    if (elems != nullptr)
      for (uint32_t i = 0; i < count; ++i) rpc::Fields(*this, elems[i]);
    FreeBlock(elems);
    return true;
  }
};

template <class R>
void Release(R& rec) {
  Releaser v;
  rpc::Fields(v, rec);
}

bool Decoding(const ScRedirRpc_Handle* h) {
  return h != nullptr && h->direction == kScRedirRpcDecode;
}

// ---- The untraced paths ------------------------------------------------------
//
// With tracing off, Encode and Decode walk the description with these
// visitors instead of Rec: no trace checks per field, the status word written
// once, the encoding sized first and then written into one block with no
// growth checks, and the inline part of a decode checked once for presence.
// They only know the way through: whatever Rec would refuse (a limit, a
// short buffer, no memory) makes them stop without a word, and the record is
// run again through Rec, which reports it exactly as it always has.

uint32_t StrUnits(const uint16_t* s) {
  uint32_t n = 1;
  while (s[n - 1] != 0) ++n;
  return n;
}

// String lengths the sizing walk measured, handed to the writing walk, which
// meets the strings in the same order (the first few; any later one is
// measured again).
struct StrLengths {
  static constexpr uint32_t kKept = 16;
  uint32_t units[kKept];
  uint32_t kept = 0;
  uint32_t next = 0;
  uint32_t Measure(const uint16_t* s) {
    const uint32_t n = StrUnits(s);
    if (kept < kKept) units[kept++] = n;
    return n;
  }
  uint32_t Recall(const uint16_t* s) { return next < kept ? units[next++] : StrUnits(s); }
};

// The bytes a record's inline part takes: every item is a multiple of four
// bytes, so there is no padding in it.
struct InlineSizer {
  uint32_t size = 0;
  bool U32(uint32_t&, const char*, uint32_t = kNoLimit) { return Add(4); }
  bool I32(int32_t&, const char*) { return Add(4); }
  bool Fixed(uint8_t*, uint32_t n) { return Add(n); }
  bool Bytes(uint32_t&, uint8_t*&, const char*, uint32_t = kNoLimit, bool = false) {
    return Add(8);
  }
  bool Str(uint16_t*&) { return Add(4); }
  bool RecvPci(SCardIO_Request*&) { return Add(4); }
  template <class E>
  bool Array(uint32_t&, E*&, const char*, uint32_t, uint32_t) {
    return Add(8);
  }
  bool Add(uint32_t n) {
    size += n;
    return true;
  }
};

template <class R>
uint32_t InlineSize() {
  static const uint32_t size = [] {
    R rec{};
    InlineSizer v;
    rpc::Fields(v, rec);
    return v.size;
  }();
  return size;
}

// Encoding, first walk: the length the stream will reach, and every check
// the write would fail (limits, pointer count, bytes announced but absent).
template <Pass P>
class Sizer {
 public:
  static constexpr bool kInline = P == Pass::kInline;
  Sizer(uint64_t& pos, StrLengths& lengths) : pos_(pos), lengths_(lengths) {}

  bool U32(uint32_t& v, const char*, uint32_t max = kNoLimit) {
    if constexpr (kInline) Word();
    return v <= max;
  }
  bool I32(int32_t&, const char*) {
    if constexpr (kInline) Word();
    return true;
  }
  bool Fixed(uint8_t*, uint32_t n) {
    if constexpr (kInline) pos_ += n;
    return true;
  }
  bool Bytes(uint32_t& count, uint8_t*& data, const char*, uint32_t max = kNoLimit, bool = false) {
    if constexpr (kInline) return Word() && Word() && Pointer() && count <= max;
    if (data != nullptr) {
      Word();
      pos_ += count;
    }
    return true;
  }
  bool Str(uint16_t*& s) {
    if constexpr (kInline) return Word() && Pointer();
    if (s != nullptr) {
      Word();
      pos_ += 8 + uint64_t{lengths_.Measure(s)} * 2;
    }
    return true;
  }
  bool RecvPci(SCardIO_Request*& io) {
    if constexpr (kInline) return Word() && Pointer();
    if (io == nullptr) return true;
    Word();
    Word();
    pos_ += io->cbExtraBytes;
    return io->cbExtraBytes == 0 || io->pbExtraBytes != nullptr;
  }
  template <class E>
  bool Array(uint32_t& count, E*& elems, const char*, uint32_t max, uint32_t) {
    if constexpr (kInline) return Word() && Word() && Pointer() && count <= max;
    if (elems == nullptr) return true;
    Word();
    Sizer<Pass::kInline> in(pos_, lengths_);
    for (uint32_t i = 0; i < count; ++i)
      if (!rpc::Fields(in, elems[i])) return false;
    Sizer<Pass::kDeferred> deferred(pos_, lengths_);
    for (uint32_t i = 0; i < count; ++i)
      if (!rpc::Fields(deferred, elems[i])) return false;
    return in.pointers_ <= Presence::kMax;
  }

 private:
  template <Pass>
  friend class Sizer;
  bool Word() {
    pos_ = ((pos_ + 3) & ~uint64_t{3}) + 4;
    return true;
  }
  bool Pointer() { return ++pointers_ <= Presence::kMax; }

  uint64_t& pos_;
  StrLengths& lengths_;
  uint32_t pointers_ = 0;
};

// Encoding, second walk: writes what the first walk measured.
template <Pass P>
class Writer {
 public:
  static constexpr bool kInline = P == Pass::kInline;
  Writer(uint8_t* stream, uint32_t& pos, uint32_t& ids, uint32_t step, StrLengths& lengths)
      : s_(stream), pos_(pos), ids_(ids), step_(step), lengths_(lengths) {}

  bool U32(uint32_t& v, const char*, uint32_t = kNoLimit) {
    if constexpr (kInline) Put(v);
    return true;
  }
  bool I32(int32_t& v, const char*) {
    if constexpr (kInline) Put(static_cast<uint32_t>(v));
    return true;
  }
  bool Fixed(uint8_t* bytes, uint32_t n) {
    if constexpr (kInline) Copy(bytes, n);
    return true;
  }
  bool Bytes(uint32_t& count, uint8_t*& data, const char*, uint32_t = kNoLimit, bool = false) {
    if constexpr (kInline) {
      Put(count);
      Pointer(data);
    } else if (data != nullptr) {
      Put(count);
      Copy(data, count);
    }
    return true;
  }
  bool Str(uint16_t*& s) {
    if constexpr (kInline) {
      Pointer(s);
    } else if (s != nullptr) {
      const uint32_t units = lengths_.Recall(s);
      Put(units);
      Put(0);
      Put(units);
      Copy(s, units * 2);
    }
    return true;
  }
  bool RecvPci(SCardIO_Request*& io) {
    if constexpr (kInline) {
      Pointer(io);
    } else if (io != nullptr) {
      Put(io->dwProtocol);
      Put(io->cbExtraBytes);
      Copy(io->pbExtraBytes, io->cbExtraBytes);
    }
    return true;
  }
  template <class E>
  bool Array(uint32_t& count, E*& elems, const char*, uint32_t, uint32_t) {
    if constexpr (kInline) {
      Put(count);
      Pointer(elems);
    } else if (elems != nullptr) {
      Put(count);
      Writer<Pass::kInline> in(s_, pos_, ids_, step_, lengths_);
      for (uint32_t i = 0; i < count; ++i) rpc::Fields(in, elems[i]);
      Writer<Pass::kDeferred> deferred(s_, pos_, ids_, step_, lengths_);
      for (uint32_t i = 0; i < count; ++i) rpc::Fields(deferred, elems[i]);
    }
    return true;
  }

 private:
  void Put(uint32_t v) {
    // An inline part starts aligned and holds only multiples of four bytes.
    if constexpr (!kInline)
      while (pos_ & 3) s_[pos_++] = 0;
    const uint8_t le[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                           static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
    std::memcpy(s_ + pos_, le, 4);
    pos_ += 4;
  }
  void Copy(const void* data, uint32_t n) {
    if (n != 0) std::memcpy(s_ + pos_, data, n);
    pos_ += n;
  }
  template <class T>
  void Pointer(T* p) {
    Put(p != nullptr ? ids_ : 0);
    if (p != nullptr) ids_ += step_;
  }

  uint8_t* s_;
  uint32_t& pos_;
  uint32_t& ids_;
  uint32_t step_;
  StrLengths& lengths_;
};

template <class R>
bool FastEncode(ScRedirRpc_Handle* h, R* rec) {
  if (h == nullptr || rec == nullptr || h->direction != kScRedirRpcEncode || h->finished)
    return false;
  if ((h->length & 3) != 0) return false;
  uint64_t end = h->length;
  StrLengths lengths;
  Sizer<Pass::kInline> sizeIn(end, lengths);
  Sizer<Pass::kDeferred> sizeDeferred(end, lengths);
  if (!rpc::Fields(sizeIn, *rec) || !rpc::Fields(sizeDeferred, *rec)) return false;
  end = (end + 7) & ~uint64_t{7};
  if (end > UINT32_MAX / 2) return false;
  uint8_t* stream = ScRedirRpc_EncodeRoom(h, static_cast<uint32_t>(end));
  if (stream == nullptr) return false;
  uint32_t pos = h->length;
  uint32_t ids = ScRedirRpc_FirstPointerId();
  const uint32_t step = ScRedirRpc_PointerIdStep();
  Writer<Pass::kInline> in(stream, pos, ids, step, lengths);
  Writer<Pass::kDeferred> deferred(stream, pos, ids, step, lengths);
  rpc::Fields(in, *rec);
  rpc::Fields(deferred, *rec);
  while (pos < end) stream[pos++] = 0;
  h->length = pos;
  ScRedirRpc_SetErrorCode(RPC_S_OK);
  ScRedirRpc_FinishEncode(h);
  return true;
}

// Decoding: the inline part is read from a span checked once for its whole
// length (kChecked false); the deferred part through the bounds-checked
// reader, every count held against the bytes left before anything is
// allocated or copied.
template <Pass P, bool kChecked>
class Reader {
 public:
  static constexpr bool kInline = P == Pass::kInline;
  Reader(base::ByteReader& body, const uint8_t* span, bool big, Presence& p)
      : r_(body), span_(span), big_(big), p_(p) {}

  bool U32(uint32_t& v, const char*, uint32_t max = kNoLimit) {
    return !kInline || (Get(v) && v <= max);
  }
  bool I32(int32_t& v, const char*) {
    if constexpr (!kInline) return true;
    uint32_t u;
    if (!Get(u)) return false;
    v = static_cast<int32_t>(u);
    return true;
  }
  bool Fixed(uint8_t* bytes, uint32_t n) {
    if constexpr (kInline) {
      std::memcpy(bytes, span_, n);
      span_ += n;
    }
    return true;
  }
  bool Bytes(uint32_t& count, uint8_t*& data, const char*, uint32_t max = kNoLimit, bool = false) {
    if constexpr (kInline) return Get(count) && count <= max && Pointer();
    if (!Present()) return true;
    return Get(count) && count <= max && Block(count, data);
  }
  bool Str(uint16_t*& s) {
    if constexpr (kInline) return Pointer();
    if (!Present()) return true;
    // maxCount and offset are not checked: the units come from `actual`.
    auto words = r_.ReadSpan(r_.PaddingTo(4) + 12);
    if (!words) return false;
    const uint32_t actual = Word(words->data() + words->size() - 4);
    if (actual == 0) return false;
    if (actual > r_.remaining() / 2) return false;
    return Block(actual * 2, s);
  }
  bool RecvPci(SCardIO_Request*& io) {
    if constexpr (kInline) return Pointer();
    if (!Present()) return true;
    io = static_cast<SCardIO_Request*>(g_try_malloc0(sizeof(SCardIO_Request)));
    return io != nullptr && Get(io->dwProtocol) && Get(io->cbExtraBytes) &&
           (io->cbExtraBytes == 0 || Block(io->cbExtraBytes, io->pbExtraBytes));
  }
  template <class E>
  bool Array(uint32_t& count, E*& elems, const char*, uint32_t max, uint32_t wireSize) {
    if constexpr (kInline) return Get(count) && count <= max && Pointer();
    if (!Present()) return true;
    if (!Get(count) || count > max) return false;
    const uint64_t need =
        uint64_t{count} * (wireSize > InlineSize<E>() ? wireSize : InlineSize<E>());
    if (need > r_.remaining() || count == 0) return count == 0;
    elems = static_cast<E*>(g_try_malloc0_n(count, sizeof(E)));
    if (elems == nullptr) return false;
    Presence inner;
    const uint8_t* span = r_.ReadSpan(uint64_t{count} * InlineSize<E>())->data();
    Reader<Pass::kInline, false> in(r_, span, big_, inner);
    for (uint32_t i = 0; i < count; ++i)
      if (!rpc::Fields(in, elems[i])) return false;
    Reader<Pass::kDeferred, true> deferred(r_, nullptr, big_, inner);
    for (uint32_t i = 0; i < count; ++i)
      if (!rpc::Fields(deferred, elems[i])) return false;
    return true;
  }

 private:
  bool Get(uint32_t& v) {
    const uint8_t* at = span_;
    if constexpr (kChecked) {
      auto word = r_.ReadSpan(r_.PaddingTo(4) + 4);  // the padding, then the word
      if (!word) return false;
      at = word->data() + word->size() - 4;
    } else {
      span_ += 4;
    }
    v = Word(at);
    return true;
  }
  uint32_t Word(const uint8_t* at) const {
    uint32_t raw;
    std::memcpy(&raw, at, 4);
    raw = GUINT32_FROM_LE(raw);
    return big_ ? GUINT32_SWAP_LE_BE(raw) : raw;
  }
  bool Pointer() {
    if (p_.count == Presence::kMax) return false;
    uint32_t id;
    Get(id);
    p_.bits |= uint64_t{id != 0} << p_.count++;
    return true;
  }
  bool Present() { return (p_.bits >> p_.next++) & 1; }
  // `n` bytes of the body into a new block, held against the bytes left first.
  template <class T>
  bool Block(uint32_t n, T*& out) {
    if (n == 0) return true;
    if (!r_.Has(n)) return false;
    void* block = g_try_malloc(n);
    if (block == nullptr) return false;
    out = static_cast<T*>(block);
    return r_.ReadBytes(block, n);
  }

  base::ByteReader& r_;
  const uint8_t* span_;
  bool big_;
  Presence& p_;
};

template <class R>
bool FastDecode(ScRedirRpc_Handle* h, R* rec) {
  if (h == nullptr || rec == nullptr || h->direction != kScRedirRpcDecode) return false;
  base::ByteReader body = h->body;
  if ((body.position() & 3) != 0) return false;
  auto span = body.ReadSpan(InlineSize<R>());
  if (!span) return false;
  *rec = R{};
  const bool big = h->buffer[1] != 0x10;
  Presence p;
  Reader<Pass::kInline, false> in(body, span->data(), big, p);
  Reader<Pass::kDeferred, true> deferred(body, nullptr, big, p);
  if (!rpc::Fields(in, *rec) || !rpc::Fields(deferred, *rec) || !body.Skip(body.PaddingTo(8))) {
    Release(*rec);
    return false;
  }
  h->body = body;
  ScRedirRpc_SetErrorCode(RPC_S_OK);
  return true;
}

}  // namespace

// ---- Public routines and wrappers ------------------------------------------
//
// Made per record so that every routine's traces carry its own name.

#define SCREDIR_RPC_CODEC(R, WHO)                                           \
  int ScRedirRpc_##R##_Codec(ScRedirRpc_Handle* h, R* rec) {                \
    SCREDIR_TRACE_ENTRY();                                                  \
    Rec r(h, __func__, WHO);                                                \
    bool ok = r.Begin(rec) && Body(r, *rec);                                \
    return r.End(ok, rec, __LINE__);                                        \
  }                                                                         \
  void R##_Encode(ScRedirRpc_Handle* h, R* rec) {                           \
    SCREDIR_TRACE_ENTRY();                                                  \
    if (ScRedirQrn_DebugOn() || !FastEncode(h, rec)) {                      \
      ScRedirRpc_##R##_Codec(h, rec);                                       \
      ScRedirRpc_FinishEncode(h);                                           \
    }                                                                       \
    SCREDIR_TRACE_EXIT();                                                   \
  }                                                                         \
  void R##_Decode(ScRedirRpc_Handle* h, R* rec) {                           \
    SCREDIR_TRACE_ENTRY();                                                  \
    if (!ScRedirQrn_DebugOn() && FastDecode(h, rec)) {                      \
    } else if (ScRedirRpc_##R##_Codec(h, rec)) {                            \
      ScRedirRpc_FinishDecode(h);                                           \
      /* A record whose padding is missing is a failed record: nobody */    \
      /* frees it, so its blocks go now. */                                 \
      if (ScRedirRpc_ErrorCode() != RPC_S_OK && Decoding(h)) Release(*rec); \
    }                                                                       \
    SCREDIR_TRACE_EXIT();                                                   \
  }                                                                         \
  void R##_Free(ScRedirRpc_Handle* h, R* rec) {                             \
    SCREDIR_TRACE_ENTRY();                                                  \
    if (Decoding(h) && rec != nullptr) Release(*rec);                       \
    SCREDIR_TRACE_EXIT();                                                   \
  }

#define SCREDIR_RPC_CALL_CODEC(R) SCREDIR_RPC_CODEC(R, "call")
#define SCREDIR_RPC_RETURN_CODEC(R) SCREDIR_RPC_CODEC(R, "ret")
SCREDIR_RPC_CALL_RECORDS(SCREDIR_RPC_CALL_CODEC)
SCREDIR_RPC_RETURN_RECORDS(SCREDIR_RPC_RETURN_CODEC)
