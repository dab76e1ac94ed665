#include <gtest/gtest.h>

#include <cstring>

#include "devlink/link.h"
#include "scripted_platform.h"

namespace kq {
namespace {

using test::Bytes;

const std::string kPath = MakeInterfacePath(0xC251, 0x1706, kEngineInstance, EngineInterfaceClass);

class FrameTest : public ::testing::Test {
  protected:
    FrameTest() : link(platform, &sleeper) {
        platform.entries.push_back({kPath});
        link.setDevicePath(kPath);
    }
    test::ScriptedPlatform platform;
    CountingSleeper sleeper;
    DeviceLink link;
};

TEST_F(FrameTest, SendsTheWorkedFrames) {
    const std::vector<std::pair<std::vector<uint8_t>, std::vector<uint8_t>>> cases = {
        {Bytes({0xFE}), Bytes({0x05, 0x00, 0xFE, 0x82, 0x43})},
        {Bytes({0x01, 0x01}), Bytes({0x06, 0x00, 0x01, 0x01, 0x7E, 0x06})},
        {Bytes({0x09, 0x00, 0x02}), Bytes({0x07, 0x00, 0x09, 0x00, 0x02, 0x01, 0xD0})},
        {Bytes({0x41, 0x50, 0x50}), Bytes({0x07, 0x00, 0x41, 0x50, 0x50, 0xE5, 0x9A})},
    };
    for (const auto& [payload, frame] : cases) {
        EXPECT_TRUE(link.SendFrame(payload.data(), static_cast<uint32_t>(payload.size()), 50));
    }
    const uint8_t none = 0;
    EXPECT_TRUE(link.SendFrame(&none, 0, 50));
    const auto written = platform.written();
    ASSERT_EQ(written.size(), 5u);
    for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(written[i], cases[i].second) << i;
    EXPECT_EQ(written[4], Bytes({0x04, 0x00, 0x98, 0x03}));
    EXPECT_EQ(platform.ops()[0].pipePath, kPath + "\\PIPE0");
}

TEST_F(FrameTest, RefusesWhatCannotBeFramed) {
    std::vector<uint8_t> big(kMaxPayload + 1, 0xAA);
    EXPECT_FALSE(link.SendFrame(big.data(), kMaxPayload + 1, 50));
    EXPECT_FALSE(link.SendFrame(nullptr, 1, 50));
    EXPECT_TRUE(platform.ops().empty());
    big.pop_back();
    EXPECT_TRUE(link.SendFrame(big.data(), kMaxPayload, 50));
    EXPECT_EQ(platform.written().at(0).size(), 65535u);
}

TEST_F(FrameTest, ReceivesAnAnswerOfTheExpectedLength) {
    platform.answers.push_back(Bytes({0x07, 0x00, 0x41, 0x50, 0x50, 0xE5, 0x9A}));
    uint8_t answer[3] = {};
    ASSERT_TRUE(link.ReceiveFrame(answer, 3, 50));
    EXPECT_EQ(std::memcmp(answer, "APP", 3), 0);
    EXPECT_EQ(platform.ops().at(0).pipePath, kPath + "\\PIPE1");
}

TEST_F(FrameTest, RejectedAnswersLeaveTheBufferUntouched) {
    const auto good = Bytes({0x07, 0x00, 0x41, 0x50, 0x50, 0xE5, 0x9A});
    std::vector<std::vector<uint8_t>> bad;
    for (size_t bit = 16; bit < good.size() * 8; ++bit) {  // every bit of payload and CRC
        auto flipped = good;
        flipped[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        bad.push_back(flipped);
    }
    bad.push_back(Bytes({0x00, 0x07, 0x41, 0x50, 0x50, 0xE5, 0x9A}));  // length high byte first
    bad.push_back(Bytes({0x07, 0x00, 0x41, 0x50, 0x50, 0xE5}));        // short
    bad.push_back({});                                                 // nothing came
    for (const auto& answer : bad) {
        platform.answers.push_back(answer);
        uint8_t buffer[3] = {0xEE, 0xEE, 0xEE};
        EXPECT_FALSE(link.ReceiveFrame(buffer, 3, 50))
            << WireTrace::Hex(answer.data(), answer.size());
        EXPECT_EQ(buffer[0], 0xEE);
        EXPECT_EQ(buffer[2], 0xEE);
    }
    // The same good answer read as a 4-byte payload: 7 bytes arrive where 8 were expected.
    platform.answers.push_back(good);
    uint8_t four[4] = {};
    EXPECT_FALSE(link.ReceiveFrame(four, 4, 50));
    EXPECT_FALSE(link.ReceiveFrame(nullptr, 3, 50));
}

TEST_F(FrameTest, PipesWithoutAnEngineMoveNothing) {
    link.setDevicePath("");
    uint8_t buffer[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(link.PipeWrite(buffer, 8, 50), 0);
    EXPECT_EQ(link.PipeRead(buffer, 8, 50), 0);
    EXPECT_EQ(buffer[0], 1);
    link.setDevicePath(kPath + std::string(300, 'x'));  // too long for a pipe path
    EXPECT_EQ(link.PipeWrite(buffer, 8, 50), 0);
    EXPECT_TRUE(platform.ops().empty());
}

TEST_F(FrameTest, AReadReportsTheBytesThatCame) {
    platform.answers.push_back(Bytes({0x07, 0x00, 0x41, 0x50, 0x50, 0xE5, 0x9A}));
    uint8_t buffer[8];
    EXPECT_EQ(link.PipeRead(buffer, 8, 50), 7);
}

}  // namespace
}  // namespace kq
