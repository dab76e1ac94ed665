#include "devlink/codec.h"

#include <gtest/gtest.h>

#include <string_view>

#include "devlink/trace.h"
#include "scripted_platform.h"

// Every expected byte here is written out by hand from the wire format: the codec is shared by
// the link and the virtual engine, so only literals can catch a mistake both sides would share.

namespace kq {
namespace {

using test::Bytes;

TEST(CodecTest, Crc16MatchesItsCheckValue) {
    constexpr std::string_view digits = "123456789";
    EXPECT_EQ(Crc16({reinterpret_cast<const uint8_t*>(digits.data()), digits.size()}), 0xFEE8);
    EXPECT_EQ(Crc16({}), 0);
    EXPECT_EQ(Crc16(Bytes({0x07, 0x00, 0x41, 0x50, 0x50, 0xE5, 0x9A})), 0)
        << "the CRC over a whole frame vanishes";
}

TEST(CodecTest, BuildsTheKnownFrames) {
    const std::vector<std::pair<std::vector<uint8_t>, std::vector<uint8_t>>> cases = {
        {Bytes({0xFE}), Bytes({0x05, 0x00, 0xFE, 0x82, 0x43})},  // Mode
        {Bytes({}), Bytes({0x04, 0x00, 0x98, 0x03})},
        {Bytes({0x01, 0x01}), Bytes({0x06, 0x00, 0x01, 0x01, 0x7E, 0x06})},  // read the current
        {Bytes({0x09, 0x00, 0x02}), Bytes({0x07, 0x00, 0x09, 0x00, 0x02, 0x01, 0xD0})},  // flip X
        {Bytes({0x01, 0x00, 0x32}), Bytes({0x07, 0x00, 0x01, 0x00, 0x32, 0x81, 0xD3})},  // 50
        {Bytes({0x03, 0x02}), Bytes({0x06, 0x00, 0x03, 0x02, 0xF2, 0x0F})},  // power off
        {Bytes({0x02, 0x00}), Bytes({0x06, 0x00, 0x02, 0x00, 0xF4, 0x03})},  // LED off
        {Bytes({0xFC, 0x00, 0x24, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00}),      // 64 bytes at 0x2400
         Bytes({0x0D, 0x00, 0xFC, 0x00, 0x24, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x64, 0x91})},
        {Bytes({0x41, 0x50, 0x50}), Bytes({0x07, 0x00, 0x41, 0x50, 0x50, 0xE5, 0x9A})},  // "APP"
    };
    for (const auto& [payload, frame] : cases) {
        EXPECT_EQ(BuildFrame(payload), frame) << WireTrace::Hex(frame.data(), frame.size());
    }
}

TEST(CodecTest, FramesUpToTheLargestPayload) {
    const std::vector<uint8_t> largest(65531, 0xAA);
    const auto frame = BuildFrame(largest);
    ASSERT_TRUE(frame);
    ASSERT_EQ(frame->size(), 65535u);
    EXPECT_EQ((*frame)[0], 0xFF);
    EXPECT_EQ((*frame)[1], 0xFF);
    EXPECT_FALSE(BuildFrame(std::vector<uint8_t>(65532, 0xAA)));
}

TEST(CodecTest, UnpacksAnAnswer) {
    const auto frame = Bytes({0x07, 0x00, 0x41, 0x50, 0x50, 0xE5, 0x9A});
    const auto payload = UnpackFrame(frame);
    ASSERT_TRUE(payload);
    EXPECT_EQ(std::vector<uint8_t>(payload->begin(), payload->end()), Bytes({0x41, 0x50, 0x50}));
    EXPECT_TRUE(IsApplicationModeAnswer(*payload));
    EXPECT_FALSE(IsApplicationModeAnswer(Bytes({0x41, 0x50, 0x51})));
    EXPECT_FALSE(IsApplicationModeAnswer(Bytes({0x42, 0x4C, 0x44})));
    const auto empty = UnpackFrame(Bytes({0x04, 0x00, 0x98, 0x03}));
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
}

TEST(CodecTest, RejectsDamagedAnswers) {
    const auto good = Bytes({0x07, 0x00, 0x41, 0x50, 0x50, 0xE5, 0x9A});
    for (size_t bit = 0; bit < good.size() * 8; ++bit) {
        auto flipped = good;
        flipped[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        EXPECT_FALSE(UnpackFrame(flipped)) << "bit " << bit;
    }
    EXPECT_FALSE(UnpackFrame(Bytes({0x00, 0x07, 0x41, 0x50, 0x50, 0xE5, 0x9A})))
        << "length field high byte first";
    EXPECT_FALSE(UnpackFrame(Bytes({0x07, 0x00, 0x41, 0x50, 0x50, 0xE5}))) << "a byte short";
    EXPECT_FALSE(UnpackFrame(Bytes({0x07, 0x00, 0x41, 0x50, 0x50, 0xE5, 0x9A, 0x00})))
        << "a byte more than the length field counts";
    EXPECT_FALSE(UnpackFrame(Bytes({0x03, 0x00, 0x00})));
    EXPECT_FALSE(UnpackFrame({}));
}

TEST(CodecTest, FieldsAreLittleEndian) {
    std::vector<uint8_t> out(5, 0xEE);
    PutLe32(out, 0x12345678);
    EXPECT_EQ(out, Bytes({0x78, 0x56, 0x34, 0x12, 0xEE}));
    EXPECT_EQ(GetLe32(Bytes({0x00, 0x04, 0x00, 0x00})), 1024u);
    EXPECT_EQ(GetLe32(Bytes({0x01, 0x02, 0x03, 0xF4})), 0xF4030201u);

    const auto header = BlockHeader(CommandCode::BlockWrite, 0x2400, 4096);
    EXPECT_EQ(std::vector<uint8_t>(header.begin(), header.end()),
              Bytes({0xFB, 0x00, 0x24, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00}));
    const auto range =
        ParseBlockHeader(Bytes({0xFC, 0x00, 0x24, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x99}));
    ASSERT_TRUE(range);
    EXPECT_EQ(range->address, 0x2400u);
    EXPECT_EQ(range->length, 64u);
    EXPECT_FALSE(ParseBlockHeader(Bytes({0xFC, 0x00, 0x24, 0x00, 0x00, 0x40, 0x00, 0x00})));
}

TEST(CodecTest, MapsTheMirrorFlags) {
    EXPECT_EQ(FlipModeFromFlags(0, 0), FlipMode::FlipNone);
    EXPECT_EQ(FlipModeFromFlags(1, 0), FlipMode::FlipX);
    EXPECT_EQ(FlipModeFromFlags(0, 1), FlipMode::FlipY);
    EXPECT_EQ(FlipModeFromFlags(1, 1), FlipMode::FlipXY);
    EXPECT_EQ(FlipModeFromFlags(2, 1), FlipMode::FlipNone) << "2 is not a flag: neither axis";
    EXPECT_EQ(FlipModeFromFlags(1, 255), FlipMode::FlipNone);
    EXPECT_EQ(static_cast<uint8_t>(FlipMode::FlipXY), 4);
}

}  // namespace
}  // namespace kq
