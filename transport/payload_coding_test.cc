#include "transport/payload_coding.h"

#include <gmock/gmock.h>

#include <cstring>
#include <vector>

namespace mach {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes U32(uint32_t value) {
  Bytes bytes(4);
  std::memcpy(bytes.data(), &value, 4);
  return bytes;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A string as the payload holds it: its length, its bytes, zeros up to a multiple of four.
Bytes Padded(const std::string& text) {
  return Concat(
      {U32(static_cast<uint32_t>(text.size())), Text(text), Bytes(3 - (text.size() + 3) % 4, 0)});
}

TEST(PayloadCodingTest, StringsArePaddedToFourBytes) {
  PayloadBuffer empty;
  empty.AppendString("");
  EXPECT_EQ(empty.bytes(), Bytes({0, 0, 0, 0}));

  PayloadBuffer five;
  five.AppendString("disk2");
  EXPECT_EQ(five.bytes(), Concat({U32(5), Text("disk2"), Bytes({0, 0, 0})}));
  EXPECT_EQ(five.size(), 4u + 8u);

  PayloadReader reader(five.bytes().data(), five.size());
  std::string text;
  ASSERT_TRUE(reader.ReadString(&text));
  EXPECT_EQ(text, "disk2");
  EXPECT_TRUE(reader.AtEnd());
}

TEST(PayloadCodingTest, DiskNamesWithAndWithoutSlice) {
  PayloadBuffer whole;
  AppendDiskName(whole, mcom::DiskName{1});
  EXPECT_EQ(whole.bytes(), Concat({U32(1), U32(0xFFFFFFFF)}));

  PayloadBuffer slice;
  AppendDiskName(slice, mcom::DiskName{4, 2});
  EXPECT_EQ(slice.bytes(), Concat({U32(4), U32(2)}));
  PayloadReader read_slice(slice.bytes().data(), slice.size());
  EXPECT_EQ(ReadDiskName(read_slice), (mcom::DiskName{4, 2}));

  // Any negative slice reads back as none.
  const Bytes negative = Concat({U32(3), U32(static_cast<uint32_t>(-7))});
  PayloadReader read_negative(negative.data(), negative.size());
  EXPECT_EQ(ReadDiskName(read_negative), (mcom::DiskName{3}));

  // Short and overlong regions are refused.
  PayloadReader short_reader(negative.data(), 6);
  EXPECT_EQ(ReadDiskName(short_reader), std::nullopt);
  const Bytes longer = Concat({negative, U32(0)});
  PayloadReader long_reader(longer.data(), longer.size());
  EXPECT_EQ(ReadDiskName(long_reader), std::nullopt);
}

TEST(PayloadCodingTest, ProgressUpdates) {
  PayloadBuffer fraction;
  AppendProgressUpdate(fraction, 0.25);
  const double quarter = 0.25;
  Bytes expected = U32(0);
  const auto* quarter_bytes = reinterpret_cast<const uint8_t*>(&quarter);
  expected.insert(expected.end(), quarter_bytes, quarter_bytes + 8);  // at offset 4
  EXPECT_EQ(fraction.bytes(), expected);
  PayloadReader read_fraction(fraction.bytes().data(), fraction.size());
  EXPECT_EQ(ReadProgressUpdate(read_fraction), ProgressUpdate(0.25));

  PayloadBuffer text;
  AppendProgressUpdate(text, std::string("Copying"));
  EXPECT_EQ(text.bytes(), Concat({U32(1), U32(7), Text("Copying"), Bytes{0}}));
  PayloadReader read_text(text.bytes().data(), text.size());
  EXPECT_EQ(ReadProgressUpdate(read_text), ProgressUpdate("Copying"));

  // An index other than 0 or 1 has no value.
  const Bytes third = Concat({U32(2), U32(0), U32(0)});
  PayloadReader read_third(third.data(), third.size());
  EXPECT_EQ(ReadProgressUpdate(read_third), std::nullopt);
}

TEST(PayloadCodingTest, ErrorChains) {
  const Error chain("PerformBackup", "failed",
                    Error("ReplicateContainer", "asr failed", Error("asr", "exit 1")));
  PayloadBuffer payload;
  AppendError(payload, chain);
  // Each link: operation, message, and whether a cause follows.
  EXPECT_EQ(payload.bytes(),
            Concat({Padded("PerformBackup"), Padded("failed"), U32(1), Padded("ReplicateContainer"),
                    Padded("asr failed"), U32(1), Padded("asr"), Padded("exit 1"), U32(0)}));
  PayloadReader reader(payload.bytes().data(), payload.size());
  EXPECT_EQ(ReadError(reader), chain);
}

TEST(PayloadCodingTest, ClaimsBeyondTheRegionAreRefused) {
  // A string that claims 100 bytes in a region of 12.
  const Bytes claim = Concat({U32(100), Text("abcdefgh")});
  PayloadReader reader(claim.data(), claim.size());
  std::string text;
  EXPECT_FALSE(reader.ReadString(&text));
  EXPECT_EQ(reader.offset(), 0u);
  // Exactly at the end but without its padding.
  const Bytes unpadded = Concat({U32(5), Text("abcde")});
  PayloadReader unpadded_reader(unpadded.data(), unpadded.size());
  EXPECT_FALSE(unpadded_reader.ReadString(&text));

  // An error cut anywhere is no error.
  PayloadBuffer payload;
  AppendError(payload, Error("op", "message", Error("cause", "text")));
  for (size_t size = 0; size < payload.size(); ++size) {
    PayloadReader cut(payload.bytes().data(), size);
    EXPECT_EQ(ReadError(cut), std::nullopt) << size;
  }
  // A cause flag other than 0 or 1.
  const Bytes flag = Concat({U32(1), Text("a"), Bytes(3, 0), U32(0), U32(2)});
  PayloadReader flag_reader(flag.data(), flag.size());
  EXPECT_EQ(ReadError(flag_reader), std::nullopt);
}

TEST(PayloadCodingTest, CauseChainsAreBounded) {
  auto chain_of = [](int causes) {
    PayloadBuffer payload;
    for (int index = 0; index <= causes; ++index) {
      payload.AppendString("op");
      payload.AppendString("m");
      payload.AppendUInt32(index < causes ? 1 : 0);
    }
    return payload;
  };
  const PayloadBuffer longest = chain_of(kMaxErrorCauses);
  PayloadReader longest_reader(longest.bytes().data(), longest.size());
  std::optional<Error> error = ReadError(longest_reader);
  ASSERT_TRUE(error.has_value());
  int depth = 0;
  for (const Error* link = &*error; link->cause(); link = link->cause().get()) ++depth;
  EXPECT_EQ(depth, kMaxErrorCauses);

  const PayloadBuffer deeper = chain_of(kMaxErrorCauses + 1);
  PayloadReader deeper_reader(deeper.bytes().data(), deeper.size());
  EXPECT_EQ(ReadError(deeper_reader), std::nullopt);
}

}  // namespace
}  // namespace mach
