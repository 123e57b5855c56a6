#include "lib/base/byte_reader.h"

#include <gtest/gtest.h>

#include "lib/base/byte_writer.h"

namespace {

TEST(ByteReader, ReadPastEndFailsAndLeavesCursor) {
  const uint8_t bytes[] = {0xAA, 0xBB, 0xCC};
  base::ByteReader r(bytes, sizeof bytes);
  uint32_t v = 0x12345678;
  EXPECT_FALSE(r.ReadU32Le(v));
  EXPECT_EQ(v, 0x12345678u);
  EXPECT_EQ(r.position(), 0u);
  uint8_t out[4] = {};
  EXPECT_FALSE(r.ReadBytes(out, 4));
  EXPECT_FALSE(r.Skip(SIZE_MAX));  // must not wrap around
  EXPECT_FALSE(r.ReadSpan(SIZE_MAX).has_value());
  uint16_t w;
  ASSERT_TRUE(r.ReadU16Le(w));
  EXPECT_EQ(w, 0xBBAA);
  EXPECT_EQ(r.remaining(), 1u);
}

TEST(ByteReader, SubReaderIsBoundedByItsLength) {
  const uint8_t bytes[] = {1, 2, 3, 4, 5};
  base::ByteReader r(bytes, sizeof bytes);
  auto sub = r.ReadSubReader(2);
  ASSERT_TRUE(sub.has_value());
  uint32_t v;
  EXPECT_FALSE(sub->ReadU32Le(v));
  EXPECT_EQ(r.remaining(), 3u);
}

TEST(ByteReader, ReadUntilWithAndWithoutDelimiter) {
  const char text[] = "key=value";
  base::ByteReader r(text, sizeof text - 1);
  bool found = false;
  EXPECT_EQ(r.ReadUntil('=', &found), "key");
  EXPECT_TRUE(found);
  EXPECT_EQ(r.ReadUntil('\n', &found), "value");
  EXPECT_FALSE(found);
  EXPECT_TRUE(r.empty());
}

TEST(ByteReader, CheckedMulRefusesOverflow) {
  EXPECT_FALSE(base::CheckedMul(SIZE_MAX / 2 + 1, 2).has_value());
  EXPECT_EQ(base::CheckedMul(3, 4).value(), 12u);
}

// Both byte orders, written and read, against the bytes themselves.
TEST(ByteWriter, WritesAndTheReaderReadsBothByteOrders) {
  const std::vector<uint8_t> bytes = {0x34, 0x12, 0xDE, 0xAD, 0xBE, 0xEF, 0xBE, 0xBA, 0xFE, 0xCA};
  base::ByteWriter w;
  w.WriteU16Le(0x1234);
  w.WriteU32Be(0xDEADBEEF);
  w.WriteU32Le(0);
  w.PatchU32Le(6, 0xCAFEBABE);
  EXPECT_EQ(w.bytes(), bytes);
  base::ByteReader r(bytes);
  uint16_t a;
  uint32_t b, c;
  ASSERT_TRUE(r.ReadU16Le(a) && r.ReadU32Be(b) && r.ReadU32Le(c));
  EXPECT_EQ(a, 0x1234);
  EXPECT_EQ(b, 0xDEADBEEFu);
  EXPECT_EQ(c, 0xCAFEBABEu);
  EXPECT_TRUE(r.empty());
}

}  // namespace
