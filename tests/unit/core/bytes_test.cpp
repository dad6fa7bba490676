#include "core/bytes.h"

#include <gtest/gtest.h>

namespace sonvale {
namespace {

TEST(ByteReaderTest, ReadsEachByteOrder) {
  const Bytes data = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b};
  ByteReader r(data);
  EXPECT_EQ(*r.u16be(), 0x0102);
  EXPECT_EQ(*r.u16le(), 0x0403);
  EXPECT_EQ(*r.u32be(), 0x05060708u);
  EXPECT_EQ(r.offset(), 8u);
  EXPECT_EQ(r.remaining(), 3u);
  EXPECT_EQ(*r.u8(), 0x09);
}

TEST(ByteReaderTest, FailedReadConsumesNothing) {
  const Bytes data = {0xaa, 0xbb, 0xcc};
  ByteReader r(data);
  EXPECT_FALSE(r.u32be());
  EXPECT_FALSE(r.u32le());
  EXPECT_FALSE(r.bytes(4));
  EXPECT_FALSE(r.skip(4));
  EXPECT_EQ(r.offset(), 0u);
  EXPECT_EQ(*r.u16le(), 0xbbaa);
  EXPECT_FALSE(r.u16be());
  EXPECT_EQ(*r.u8(), 0xcc);
  EXPECT_TRUE(r.empty());
  EXPECT_FALSE(r.u8());
}

TEST(ByteReaderTest, SixtyFourBitLoads) {
  const Bytes data = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xfe, 0, 0, 0, 0, 0, 0, 0, 0x80};
  ByteReader r(data);
  EXPECT_EQ(*r.i64le(), static_cast<std::int64_t>(0xfeffffffffffffffULL));
  EXPECT_EQ(*r.u64be(), 0x0000000000000080ULL);
}

TEST(ByteWriterTest, RoundTripsThroughReader) {
  ByteWriter w;
  w.u8(7).u16be(0xbeef).u16le(0xbeef).u32be(0xdeadbeef).u32le(0xdeadbeef).u64be(1).u64le(2).text("ok");
  const Bytes expected = {7,    0xbe, 0xef, 0xef, 0xbe, 0xde, 0xad, 0xbe, 0xef, 0xef, 0xbe,
                          0xad, 0xde, 0,    0,    0,    0,    0,    0,    0,    1,    2,
                          0,    0,    0,    0,    0,    0,    0,    'o',  'k'};
  EXPECT_EQ(w.view(), expected);
}

}  // namespace
}  // namespace sonvale
