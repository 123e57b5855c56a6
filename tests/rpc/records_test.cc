// Record layouts, limits, and decoding of hostile buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "scredir/rpc/record_fields.h"
#include "tests/rpc/rpc_test_util.h"

namespace rpc_test {
namespace {

uint8_t kCtx4[] = {0xAA, 0xBB, 0xCC, 0xDD};
uint8_t kCtxB[] = {0x11, 0x22, 0x33, 0x44};
uint8_t kCtxG[] = {0x01, 0x02, 0x03, 0x04};
uint8_t kAttr[] = {0x01, 0x02};
uint8_t kResp[] = {0x90, 0x00};
uint16_t kEmptyName[] = {0};
uint16_t kNameA[] = {'A', 0};
uint16_t kNameB[] = {'B', 0};

REDIR_SCARDHANDLE Card() {
  return {{4, kCtx4}, 4, kCtxB};
}

// Encodes `rec` to exactly `vector` (also behind a packet header's room),
// decodes `vector` and re-encodes the decoded record to the same bytes;
// traced and untraced, which walk the description differently.
// With Windows-style referent ids only the id words change (0x00020000,
// then 4 more per non-null pointer, restarting per record); the decoder takes
// either numbering, so the decoded record re-encodes to the sequential bytes.
// `idOffsets` are the body offsets of the non-null ids, in order.
template <class R>
void ExpectVector(const char* what, const Bytes& vector, const R& rec,
                  std::vector<size_t> idOffsets = {}) {
  LogCapture quiet;
  for (bool traced : {false, true}) {
    debugEnabled = traced;
    uint32_t status = 1;
    EXPECT_EQ(EncodeRec(rec, &status, traced ? 0 : 56), vector) << what << traced;
    EXPECT_EQ(status, RPC_S_OK) << what;
    auto again = [&](R& decoded) { EXPECT_EQ(EncodeRec(decoded), vector) << what << traced; };
    EXPECT_EQ(DecodeRec<R>(vector, again), RPC_S_OK) << what << traced;
  }
  debugEnabled = false;
  if (idOffsets.empty()) return;
  SCOPED_TRACE(what);
  Bytes windows = vector;
  uint32_t id = 0x00020000;
  for (size_t offset : idOffsets) {
    for (int i = 0; i < 4; ++i) windows[16 + offset + i] = static_cast<uint8_t>(id >> (8 * i));
    id += 4;
  }
  ScRedirRpc_SetPointerIds(ScRedirRpc_PointerIds::kWindows);
  Bytes encoded = EncodeRec(rec);
  ScRedirRpc_SetPointerIds(ScRedirRpc_PointerIds::kSequential);
  EXPECT_EQ(encoded, windows);
  EXPECT_EQ(DecodeRec<R>(windows, [&](R& r) { EXPECT_EQ(EncodeRec(r), vector); }), RPC_S_OK);
}

TEST(RecordVectors, EncodeAndDecodeByteExactWithEitherPointerIds) {
  ExpectVector("EstablishContext_Call", kEstablishContextCall, EstablishContext_Call{2});
  ExpectVector("SetAttrib_Call ids 1 0 2", kSetAttribCallIds,
               SetAttrib_Call{{{4, kCtx4}, 4, nullptr}, 0x00090303, 2, kAttr}, {4, 24});
  ExpectVector("ConnectW_Call empty name", kConnectWCallEmptyName,
               ConnectW_Call{kEmptyName, {{4, kCtxB}, 2, 3}}, {0, 8});
  ReaderStateW states[2] = {{kNameA, {}}, {kNameB, {0x10, 0, 3, {0x3B, 0x02, 0x14}}}};
  ExpectVector("GetStatusChangeW_Call", kGetStatusChangeWCall,
               GetStatusChangeW_Call{{4, kCtxG}, 0xFFFFFFFF, 2, states}, {4, 16, 32, 84});
  ExpectVector("Transmit_Return", kTransmitReturn, Transmit_Return{0, nullptr, 2, kResp});
  uint8_t c[] = {0xC1, 0xC2, 0xC3, 0xC4}, hd[] = {0xD1, 0xD2, 0xD3, 0xD4};
  ExpectVector("Connect_Return", kConnectReturn, Connect_Return{0, {{4, c}, 4, hd}, 2});
}

// A payload long enough for every limit plus one.
uint8_t* Payload() {
  static std::vector<uint8_t> bytes(kMaxIoBufferBytes + 1, 0x5A);
  return bytes.data();
}

// Replaces the first or last little-endian occurrence of `from` among the
// body's aligned 32-bit words.
Bytes Patch(Bytes b, uint32_t from, uint32_t to, bool last) {
  size_t hit = 0;
  for (size_t off = 16; off + 4 <= b.size(); off += 4) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(b[off + i]) << (8 * i);
    if (v == from && (hit == 0 || last)) hit = off;
  }
  EXPECT_NE(hit, 0u);
  for (int i = 0; hit && i < 4; ++i) b[hit + i] = static_cast<uint8_t>(to >> (8 * i));
  return b;
}

// One limited field: `make(v)` is a record carrying `v` in it, `max` the
// largest legal value.
template <class R, class Make>
void ExpectLimit(const char* what, uint32_t max, Make make) {
  auto decodeRoundTrip = [](const Bytes& b) {
    return DecodeRec<R>(b, [&](R& r) { EXPECT_EQ(EncodeRec(r), b); });
  };
  uint32_t status = 1;
  Bytes atMax = EncodeRec(make(max), &status);
  EXPECT_EQ(status, RPC_S_OK) << what;
  EXPECT_EQ(decodeRoundTrip(atMax), RPC_S_OK) << what;

  EncodeRec(make(max + 1), &status);
  EXPECT_EQ(status, RPC_S_INVALID_ARG) << what << " encode";
  // Inline value too large, and (where the count comes again) only the
  // deferred one: both refused before any allocation.
  for (bool last : {false, true})
    EXPECT_EQ(decodeRoundTrip(Patch(atMax, max, max + 1, last)), RPC_S_INVALID_ARG)
        << what << (last ? " last" : " first");
}
// A row of the limit table: record type, field, largest legal value and the
// record's initialiser with the field's value as `v`.
#define LIMIT(R, field, max, ...) \
  ExpectLimit<R>(#R "." field, max, [&](uint32_t v) { return R{__VA_ARGS__}; })

TEST(RecordLimits, LargestLegalRoundTripsAndOnePastFailsBothWays) {
  LogCapture quiet;
  // Separate arrays per case: the cbAtr cases change an element.
  ReaderStateW states[kMaxReaderStates + 1] = {};
  ReaderStateW atrStates[2] = {};
  ReaderState_Return rstates[2] = {};
  LIMIT(ListReaders_Call, "cBytes", 0x10000, {0, nullptr}, v, Payload(), 0, 0);
  LIMIT(ListReaders_Return, "cBytes", 0x10000, 0, v, Payload());
  LIMIT(Connect_Return, "cbContext", 16, 0, {{v, Payload()}, 4, kCtxB}, 1);
  LIMIT(Connect_Return, "cbHandle", 16, 0, {{4, kCtx4}, v, Payload()}, 1);
  LIMIT(Control_Call, "cbInBufferSize", 0x10400, Card(), 0x42000C00, v, Payload(), 0, 0);
  LIMIT(GetAttrib_Return, "cbAttrLen", 0x10000, 0, v, Payload());
  LIMIT(SetAttrib_Call, "cbAttrLen", 0x10000, Card(), 0x00090303, v, Payload());
  LIMIT(Status_Return, "cBytes", 0x10000, 0, v, Payload(), 6, 2, {0x3B}, 2);
  LIMIT(Status_Return, "cbAtrLen", 32, 0, 0, nullptr, 6, 2, {0x3B}, v);
  LIMIT(Transmit_Call, "cbSendLength", 0x10400, Card(), {2, 0, nullptr}, v, Payload(), nullptr, 0,
        258);
  LIMIT(Transmit_Return, "cbRecvLength", 0x10400, 0, nullptr, v, Payload());
  LIMIT(GetStatusChangeW_Call, "cReaders", 11, {4, kCtx4}, 1000, v, states);
  LIMIT(GetStatusChangeW_Call, "ReaderStateW.cbAtr", 36, {4, kCtx4}, 1000, 2,
        (atrStates[1] = {kNameA, {0, 0, v, {0x3B}}}, atrStates));
  LIMIT(GetStatusChange_Return, "ReaderState_Return.cbAtr", 36, 0, 2,
        (rstates[1] = {0, 0, v, {0x3B}}, rstates));
}
#undef LIMIT

TEST(RecordEdges, DecodingOddButLegalShapes) {
  // Context id present with count 0: a null block, not the id.
  auto nullBlock = [](EstablishContext_Return& r) {
    EXPECT_EQ(r.Context.pbContext, nullptr);
    EXPECT_EQ(r.Context.cbContext, 0u);
  };
  EXPECT_EQ(DecodeRec<EstablishContext_Return>(
                WithHeaders(Hex("00 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00")), nullBlock),
            RPC_S_OK);

  // pioRecvPci with extra bytes: they follow its two integers unannounced,
  // and come back from decoding to the same encoding.
  uint8_t extra[] = {0xE1, 0xE2, 0xE3};
  SCardIO_Request pci{1, 3, extra};
  Bytes withPci = EncodeRec(Transmit_Return{0, &pci, 2, kResp});
  auto again = [&](Transmit_Return& r) { EXPECT_EQ(EncodeRec(r), withPci); };
  EXPECT_EQ(DecodeRec<Transmit_Return>(withPci, again), RPC_S_OK);

  // Announced extra bytes with nothing to write them from.
  SCardIO_Request hollow{1, 3, nullptr};
  uint32_t status = 0;
  EncodeRec(Transmit_Call{Card(), {2, 0, nullptr}, 2, kResp, &hollow, 0, 258}, &status);
  EXPECT_EQ(status, RPC_S_INVALID_ARG);
}

using Decoder = uint32_t (*)(const Bytes&);

TEST(RecordEdges, FailuresWithTheirStatusAndMessage) {
  Bytes unpadded = kTransmitReturn;  // body without its final padding
  unpadded.resize(unpadded.size() - 2);
  unpadded[8] = 22;
  const struct {
    const char* what;
    Decoder decode;
    Bytes bytes;
    uint32_t status;
    const char* message;  // bounds message expected, or null
  } cases[] = {
      // Body ends right after cbContext: 16 runs out of bytes, 17 is refused
      // before its pointer id is read.
      {"context 16, then nothing", DecodeStatus<Connect_Return>,
       WithHeaders(Hex("00 00 00 00 10 00 00 00")), RPC_S_BUFFER_TOO_SMALL, nullptr},
      {"context 17", DecodeStatus<Connect_Return>, WithHeaders(Hex("00 00 00 00 11 00 00 00")),
       RPC_S_INVALID_ARG, nullptr},
      {"string with actualCount 0", DecodeStatus<ConnectW_Call>,
       WithHeaders(Hex("01 00 00 00 00 00 00 00 00 00 00 00 02 00 00 00"
                       "03 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00")),
       RPC_S_OUT_OF_MEMORY, nullptr},
      {"byte array longer than the body", DecodeStatus<ListReaders_Return>,
       WithHeaders(Hex("00 00 00 00 00 01 00 00 01 00 00 00 00 01 00 00")), RPC_S_BUFFER_TOO_SMALL,
       "At pos 16, need 256 more bytes, but only have 16 total"},
      {"reader-state array longer than the body", DecodeStatus<GetStatusChange_Return>,
       WithHeaders(Hex("00 00 00 00 09 00 00 00 01 00 00 00 09 00 00 00")), RPC_S_BUFFER_TOO_SMALL,
       "At pos 16, need 432 more bytes, but only have 16 total"},
      {"body without its final padding", DecodeStatus<Transmit_Return>, unpadded,
       RPC_S_BUFFER_TOO_SMALL, "At pos 22, need 2 more bytes, but only have 22 total"},
  };
  for (const auto& c : cases) {
    LogCapture log;
    EXPECT_EQ(c.decode(c.bytes), c.status) << c.what;
    if (c.message) {
      EXPECT_TRUE(LogCapture::Has(c.message)) << c.what;
    }
  }
}

TEST(RecordEdges, FreeOnAnEncodingHandleLeavesCallerBlocks) {
  uint8_t* buf = nullptr;
  uint32_t len = 0;
  ScRedirRpc_Handle* h = nullptr;
  ASSERT_EQ(MesEncodeDynBufferHandleCreate(&buf, &len, &h), 0u);
  Transmit_Return r{0, nullptr, 2, kResp};  // kResp is static: freeing it would crash
  Transmit_Return_Encode(h, &r);
  Transmit_Return_Free(h, &r);
  EXPECT_EQ(r.pbRecvBuffer, kResp);
  MesHandleFree(h);
  g_free(buf);
}

// Every return vector and a few encoded records, cut short at every length
// (each refused with 122) or with one byte changed: never a read outside
// the buffer, never a leak (ASan build).
TEST(HostileBuffers, EveryTruncationFailsAndEveryMutationIsSafe) {
  uint8_t atr[4] = {0x3B, 0x02, 0x14, 0x50};
  ReaderState_Return st[2] = {{1, 2, 4, {0x3B}}, {3, 4, 36, {0x3B}}};
  SCardIO_Request pci{1, 2, atr};
  const struct {
    const char* what;
    Bytes bytes;
    Decoder decode;
  } samples[] = {
      {"EstablishContext_Call", kEstablishContextCall, DecodeStatus<EstablishContext_Call>},
      {"SetAttrib_Call", kSetAttribCallIds, DecodeStatus<SetAttrib_Call>},
      {"ConnectW_Call", kConnectWCallEmptyName, DecodeStatus<ConnectW_Call>},
      {"GetStatusChangeW_Call", kGetStatusChangeWCall, DecodeStatus<GetStatusChangeW_Call>},
      {"Transmit_Return", kTransmitReturn, DecodeStatus<Transmit_Return>},
      {"Transmit_Return BE", kTransmitReturnBigEndian, DecodeStatus<Transmit_Return>},
      {"Connect_Return", kConnectReturn, DecodeStatus<Connect_Return>},
      {"Status_Return", EncodeRec(Status_Return{0, 4, atr, 6, 2, {0x3B}, 4}),
       DecodeStatus<Status_Return>},
      {"GetStatusChange_Return", EncodeRec(GetStatusChange_Return{0, 2, st}),
       DecodeStatus<GetStatusChange_Return>},
      {"Transmit_Return pci", EncodeRec(Transmit_Return{0, &pci, 4, atr}),
       DecodeStatus<Transmit_Return>},
      {"Control_Return", EncodeRec(Control_Return{0, 4, atr}), DecodeStatus<Control_Return>},
  };
  LogCapture quiet;
  for (const auto& s : samples) {
    ASSERT_EQ(s.decode(s.bytes), RPC_S_OK) << s.what;
    bool big = s.bytes[1] == 0x00;
    for (size_t body = 0; body + 16 < s.bytes.size(); ++body) {
      Bytes cut(s.bytes.begin(), s.bytes.begin() + static_cast<long>(16 + body));
      for (int i = 0; i < 4; ++i)
        cut[8 + i] = static_cast<uint8_t>(body >> (8 * (big ? 3 - i : i)));
      EXPECT_EQ(s.decode(cut), RPC_S_BUFFER_TOO_SMALL) << s.what << " body " << body;
    }
    for (size_t i = 16; i < s.bytes.size(); ++i) {
      for (uint8_t v : {0x00, 0x01, 0x7F, 0x80, 0xFF}) {
        Bytes m = s.bytes;
        m[i] = v;
        uint32_t status = s.decode(m);
        EXPECT_TRUE(status == RPC_S_OK || status == RPC_S_INVALID_ARG ||
                    status == RPC_S_BUFFER_TOO_SMALL || status == RPC_S_OUT_OF_MEMORY)
            << s.what << " byte " << i << " = " << int(v) << " status " << status;
        debugEnabled = true;  // the traced walk comes to the same end
        EXPECT_EQ(s.decode(m), status) << s.what << " traced, byte " << i << " = " << int(v);
        debugEnabled = false;
      }
    }
  }
}

// Gives every field a record's description names a value: integers distinct
// (within their limits), every pointer a small block of its own.
struct Filler {
  uint32_t next = 1;
  std::vector<std::shared_ptr<void>> blocks;
  template <class T>
  T* Own(uint32_t n) {
    std::shared_ptr<T[]> p(new T[n]{});
    blocks.push_back(p);
    return p.get();
  }
  bool U32(uint32_t& v, const char*, uint32_t max = rpc::kNoLimit) {
    v = std::min(next++, max);
    return true;
  }
  bool I32(int32_t& v, const char*) {
    v = -static_cast<int32_t>(next++);
    return true;
  }
  bool Fixed(uint8_t* b, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(next + i);
    ++next;
    return true;
  }
  bool Bytes(uint32_t& count, uint8_t*& data, const char*, uint32_t = 0, bool = false) {
    count = 3;
    data = Own<uint8_t>(count);
    return Fixed(data, count);
  }
  bool Str(uint16_t*& s) {
    s = Own<uint16_t>(2);
    s[0] = static_cast<uint16_t>('A' + next++ % 26);
    return true;
  }
  bool RecvPci(SCardIO_Request*& io) {
    io = Own<SCardIO_Request>(1);
    io->dwProtocol = next++;
    return Bytes(io->cbExtraBytes, io->pbExtraBytes, "");
  }
  template <class E>
  bool Array(uint32_t& count, E*& elems, const char*, uint32_t, uint32_t) {
    count = 2;
    elems = Own<E>(count);
    return rpc::Fields(*this, elems[0]) && rpc::Fields(*this, elems[1]);
  }
};

// Counts the pointers a description names and how many of them are set.
struct Pointers {
  int total = 0, set = 0;
  void See(const void* p) {
    ++total;
    set += p != nullptr;
  }
  bool U32(uint32_t&, const char*, uint32_t = 0) { return true; }
  bool I32(int32_t&, const char*) { return true; }
  bool Fixed(uint8_t*, uint32_t) { return true; }
  bool Bytes(uint32_t&, uint8_t*& data, const char*, uint32_t = 0, bool = false) {
    See(data);
    return true;
  }
  bool Str(uint16_t*& s) {
    See(s);
    return true;
  }
  bool RecvPci(SCardIO_Request*& io) {
    See(io);
    if (io != nullptr) See(io->pbExtraBytes);
    return true;
  }
  template <class E>
  bool Array(uint32_t& count, E*& elems, const char*, uint32_t, uint32_t) {
    See(elems);
    for (uint32_t i = 0; elems != nullptr && i < count; ++i) rpc::Fields(*this, elems[i]);
    return true;
  }
};

template <class R>
Pointers Census(R& rec) {
  Pointers p;
  rpc::Fields(p, rec);
  return p;
}

// Every record with every field its description names filled in: the
// decoded record sets every pointer the original set and re-encodes to the
// same bytes, and Free clears every one of them (the ASan run sees a block
// that a description leaves out as a leak).
template <class R>
void FilledRoundTrip(const char* what) {
  R rec{};
  Filler fill;
  rpc::Fields(fill, rec);
  uint32_t status = 1;
  const Bytes wire = EncodeRec(rec, &status);
  ASSERT_EQ(status, RPC_S_OK) << what;
  const Pointers sent = Census(rec);
  ScRedirRpc_Handle* h = nullptr;
  ASSERT_EQ(MesDecodeBufferHandleCreate(wire.data(), static_cast<uint32_t>(wire.size()), &h), 0u);
  R back;
  Ops<R>::Decode(h, &back);
  EXPECT_EQ(ScRedirRpc_ErrorCode(), RPC_S_OK) << what;
  const Pointers got = Census(back);
  EXPECT_EQ(got.total, sent.total) << what;
  EXPECT_EQ(got.set, sent.total) << what;
  EXPECT_EQ(EncodeRec(back), wire) << what;
  Ops<R>::Free(h, &back);
  EXPECT_EQ(Census(back).set, 0) << what;
  MesHandleFree(h);
}

TEST(RecordDescriptions, EveryRecordFilledRoundTripsAndFreesAllItsPointers) {
#define RPC_ROUND_TRIP(R) FilledRoundTrip<R>(#R);
  SCREDIR_RPC_CALL_RECORDS(RPC_ROUND_TRIP)
  SCREDIR_RPC_RETURN_RECORDS(RPC_ROUND_TRIP)
#undef RPC_ROUND_TRIP
}

}  // namespace
}  // namespace rpc_test
