#include "devlink/link.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "scripted_platform.h"

namespace kq {
namespace {

using test::Bytes;

const std::string kPath = MakeInterfacePath(0xC251, 0x1706, kEngineInstance, EngineInterfaceClass);
const auto kAppAnswer = Bytes({0x07, 0x00, 0x41, 0x50, 0x50, 0xE5, 0x9A});

class LinkTest : public ::testing::Test {
  protected:
    LinkTest() : link(platform, &sleeper) {
        platform.entries.push_back({kPath});
        link.setDevicePath(kPath);
    }
    test::ScriptedPlatform platform;
    CountingSleeper sleeper;
    DeviceLink link;
};

TEST_F(LinkTest, FramesGoOutOnTheCommandPipeAndAnswersComeFromTheAnswerPipe) {
    auto transaction = link.Begin();
    EXPECT_TRUE(transaction.SendFrame(Bytes({0xFE}), 1000));
    platform.answers.push_back(kAppAnswer);
    uint8_t answer[3] = {};
    ASSERT_TRUE(transaction.ReceiveFrame(answer, 1000));
    EXPECT_EQ(std::string(answer, answer + 3), "APP");
    const auto ops = platform.ops();
    ASSERT_EQ(ops.size(), 2u);
    EXPECT_EQ(ops[0].pipePath, kPath + "\\PIPE0");
    EXPECT_EQ(ops[0].bytes, Bytes({0x05, 0x00, 0xFE, 0x82, 0x43}));
    EXPECT_EQ(ops[1].pipePath, kPath + "\\PIPE1");
    EXPECT_EQ(ops[1].bytes.size(), 7u) << "a 3-byte answer is read as one 7-byte transfer";
    EXPECT_EQ(platform.flushes, std::vector<std::string>{kPath + "\\PIPE0"}) << "reads never flush";
}

TEST_F(LinkTest, RejectedAnswersLeaveTheBufferUntouched) {
    auto transaction = link.Begin();
    const std::vector<std::vector<uint8_t>> bad = {
        Bytes({0x07, 0x00, 0x41, 0x50, 0x50, 0xE5, 0x9B}),  // CRC
        Bytes({0x00, 0x07, 0x41, 0x50, 0x50, 0xE5, 0x9A}),  // length high byte first
        Bytes({0x07, 0x00, 0x41, 0x50, 0x50, 0xE5}),        // short
        {},                                                 // nothing came
    };
    for (const auto& answer : bad) {
        platform.answers.push_back(answer);
        uint8_t buffer[3] = {0xEE, 0xEE, 0xEE};
        EXPECT_FALSE(transaction.ReceiveFrame(buffer, 50))
            << WireTrace::Hex(answer.data(), answer.size());
        EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 3), Bytes({0xEE, 0xEE, 0xEE}));
    }
    // A good answer read as a 4-byte payload: 7 bytes arrive where 8 were expected.
    platform.answers.push_back(kAppAnswer);
    uint8_t four[4] = {};
    EXPECT_FALSE(transaction.ReceiveFrame(four, 50));
}

TEST_F(LinkTest, WhatCannotBeFramedIsNotSent) {
    auto transaction = link.Begin();
    std::vector<uint8_t> big(kMaxPayload + 1, 0xAA);
    EXPECT_FALSE(transaction.SendFrame(big, 50));
    EXPECT_TRUE(platform.ops().empty());
    std::vector<uint8_t> huge(kMaxPayload + 1);
    EXPECT_FALSE(transaction.ReceiveFrame(huge, 50));
    EXPECT_TRUE(platform.ops().empty());
}

TEST_F(LinkTest, PipesWithoutAnEngineMoveNothing) {
    link.setDevicePath("");
    uint8_t buffer[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    {
        auto transaction = link.Begin();
        EXPECT_EQ(transaction.PipeWrite(buffer, 50), 0);
        EXPECT_EQ(transaction.PipeRead(buffer, 50), 0);
        EXPECT_EQ(buffer[0], 1);
    }
    link.setDevicePath(kPath + std::string(300, 'x'));  // too long for a pipe path
    EXPECT_EQ(link.Begin().PipeWrite(buffer, 50), 0);
    EXPECT_TRUE(platform.ops().empty());
}

TEST_F(LinkTest, AReadReportsTheBytesThatCame) {
    platform.answers.push_back(kAppAnswer);
    uint8_t buffer[8];
    EXPECT_EQ(link.Begin().PipeRead(buffer, 50), 7);
}

// DevicePath is replaced under the transactions' lock: a search waits for a running exchange.
TEST_F(LinkTest, FindDeviceWaitsForTheRunningTransaction) {
    std::atomic<bool> found{false};
    std::thread searcher;
    {
        auto transaction = link.Begin();
        searcher = std::thread([&] { found = link.FindDevice(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(found.load());
        EXPECT_TRUE(transaction.SendFrame(Bytes({0xFE}), 50));
    }
    searcher.join();
    EXPECT_TRUE(found.load());
    EXPECT_EQ(link.devicePath(), kPath);
}

}  // namespace
}  // namespace kq
