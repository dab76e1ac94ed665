// The Windows pipe transport against named pipes that stand in for the driver's PIPE0 and PIPE1.

#include "win32/overlapped_pipe.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "devlink/commands.h"
#include "devlink/link.h"
#include "emulator/virtual_engine.h"
#include "fake_setupapi.h"
#include "win32/setupapi_platform.h"

namespace kq {
namespace {

using Clock = std::chrono::steady_clock;
using win32::OpenOverlappedPipe;

// "\\.\pipe\kq-test-PID-N": a folder-like prefix of its own for each use.
std::string UniquePipeBase() {
    static std::atomic<int> next{0};
    return "\\\\.\\pipe\\kq-test-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(++next);
}

HANDLE NewInstance(const std::string& name, DWORD bufferSize = 4096) {
    return CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                            PIPE_UNLIMITED_INSTANCES, bufferSize, bufferSize, 0, nullptr);
}

// Waits for an overlapped operation on the server's side or for stop; false on stop.
bool Await(HANDLE pipe, OVERLAPPED& overlapped, HANDLE stop, DWORD* count = nullptr) {
    HANDLE events[] = {overlapped.hEvent, stop};
    if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
        CancelIoEx(pipe, &overlapped);
        DWORD ignored = 0;
        GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
        return false;
    }
    DWORD moved = 0;
    const bool ok = GetOverlappedResult(pipe, &overlapped, &moved, FALSE);
    if (count) *count = moved;
    return ok;
}

// The server's side of one pipe: every client that opens it is handed to serve, one at a time.
// A new instance listens before a client is served, so the next open never finds none.
class PipeServer {
  public:
    using Serve = std::function<void(HANDLE pipe, HANDLE stop)>;

    PipeServer(std::string name, Serve serve) : name_(std::move(name)), serve_(std::move(serve)) {
        stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        listening_ = NewInstance(name_);
        thread_ = std::thread([this] { Run(); });
    }
    ~PipeServer() {
        SetEvent(stop_);
        thread_.join();
        CloseHandle(stop_);
    }
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;

  private:
    void Run() {
        HANDLE pipe = listening_;
        for (;;) {
            OVERLAPPED overlapped{};
            overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            bool connected = ConnectNamedPipe(pipe, &overlapped);
            if (!connected) {
                const DWORD error = GetLastError();
                connected = error == ERROR_PIPE_CONNECTED ||
                            (error == ERROR_IO_PENDING && Await(pipe, overlapped, stop_));
            }
            CloseHandle(overlapped.hEvent);
            if (!connected) {
                CloseHandle(pipe);
                return;
            }
            HANDLE next = NewInstance(name_);
            serve_(pipe, stop_);
            DisconnectNamedPipe(pipe);
            CloseHandle(pipe);
            pipe = next;
        }
    }

    std::string name_;
    Serve serve_;
    HANDLE stop_;
    HANDLE listening_;
    std::thread thread_;
};

// Reads one message from the client; empty when it closed or on stop.
std::vector<uint8_t> ReadMessage(HANDLE pipe, HANDLE stop) {
    std::vector<uint8_t> bytes(4096);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD count = 0;
    bool ok = ReadFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &overlapped);
    if (ok || GetLastError() == ERROR_IO_PENDING) ok = Await(pipe, overlapped, stop, &count);
    CloseHandle(overlapped.hEvent);
    bytes.resize(ok ? count : 0);
    return bytes;
}

void WriteMessage(HANDLE pipe, const std::vector<uint8_t>& bytes, HANDLE stop) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &overlapped) ||
        GetLastError() == ERROR_IO_PENDING) {
        Await(pipe, overlapped, stop);
    }
    CloseHandle(overlapped.hEvent);
}

// Until the client closes its end (a read on ours then fails) or stop.
void AwaitClose(HANDLE pipe, HANDLE stop) {
    while (!ReadMessage(pipe, stop).empty()) {
    }
}

TEST(OverlappedPipeTest, AnAbsentPipeIsAbsent) {
    OpenResult why;
    EXPECT_EQ(OpenOverlappedPipe(UniquePipeBase() + "\\PIPE0", &why), nullptr);
    EXPECT_EQ(why.error, OpenError::Absent) << why.detail;
}

TEST(OverlappedPipeTest, APipeHeldByAnotherIsBusy) {
    const std::string name = UniquePipeBase() + "\\PIPE0";
    HANDLE only =
        CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 64, 64, 0, nullptr);
    ASSERT_NE(only, INVALID_HANDLE_VALUE);
    auto first = OpenOverlappedPipe(name, nullptr);
    ASSERT_NE(first, nullptr);
    OpenResult why;
    EXPECT_EQ(OpenOverlappedPipe(name, &why), nullptr);
    EXPECT_EQ(why.error, OpenError::Busy) << why.detail;
    first.reset();
    CloseHandle(only);
}

TEST(OverlappedPipeTest, AReadGivesUpAtItsDeadline) {
    const std::string name = UniquePipeBase() + "\\PIPE1";
    PipeServer server(name, AwaitClose);
    auto pipe = OpenOverlappedPipe(name, nullptr);
    ASSERT_NE(pipe, nullptr);
    uint8_t buffer[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    const auto start = Clock::now();
    EXPECT_EQ(pipe->Read(buffer, sizeof buffer, 100), 0);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(90));
    EXPECT_LT(waited, std::chrono::milliseconds(1500));
    EXPECT_EQ(pipe->LastTransferError(), "no transfer within 100 ms");
    EXPECT_EQ(buffer[0], 0xEE) << "nothing was read into the buffer";
}

TEST(OverlappedPipeTest, AReadTakesWhatOneTransferBrings) {
    const std::string name = UniquePipeBase() + "\\PIPE1";
    const std::vector<uint8_t> frame{0x07, 0x00, 'A', 'P', 'P', 0xE5, 0x9A};
    PipeServer server(name, [&](HANDLE p, HANDLE stop) {
        WriteMessage(p, frame, stop);
        AwaitClose(p, stop);
    });
    auto pipe = OpenOverlappedPipe(name, nullptr);
    ASSERT_NE(pipe, nullptr);
    uint8_t buffer[8] = {};
    ASSERT_EQ(pipe->Read(buffer, sizeof buffer, 1000), 7);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 7), frame);
    EXPECT_EQ(pipe->LastTransferError(), "");
}

TEST(OverlappedPipeTest, AWriteIsTakenAndFlushed) {
    const std::string name = UniquePipeBase() + "\\PIPE0";
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<uint8_t> received;
    PipeServer server(name, [&](HANDLE p, HANDLE stop) {
        auto bytes = ReadMessage(p, stop);
        {
            std::lock_guard lock(mutex);
            received = std::move(bytes);
            arrived.notify_all();
        }
        // Connected until the client closes, as a driver's pipe is: its flush must not fail.
        AwaitClose(p, stop);
    });
    auto pipe = OpenOverlappedPipe(name, nullptr);
    ASSERT_NE(pipe, nullptr);
    const uint8_t frame[] = {0x05, 0x00, 0xFE, 0x82, 0x43};
    EXPECT_EQ(pipe->Write(frame, sizeof frame, 1000), 5);
    pipe->Flush();
    EXPECT_EQ(pipe->LastTransferError(), "");
    pipe.reset();
    std::unique_lock lock(mutex);
    arrived.wait_for(lock, std::chrono::seconds(5), [&] { return !received.empty(); });
    EXPECT_EQ(received, std::vector<uint8_t>(frame, frame + sizeof frame));
}

TEST(OverlappedPipeTest, AWriteNobodyTakesGivesUpAtItsDeadline) {
    const std::string name = UniquePipeBase() + "\\PIPE0";
    // No buffer on the server's side and nobody reading: the write cannot complete.
    HANDLE server = NewInstance(name, 0);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    auto pipe = OpenOverlappedPipe(name, nullptr);
    ASSERT_NE(pipe, nullptr);
    const std::vector<uint8_t> big(256 * 1024, 0x55);
    const auto start = Clock::now();
    const int32_t written = pipe->Write(big.data(), static_cast<uint32_t>(big.size()), 100);
    const auto waited = Clock::now() - start;
    EXPECT_LT(written, static_cast<int32_t>(big.size()));
    EXPECT_GE(waited, std::chrono::milliseconds(90));
    EXPECT_EQ(pipe->LastTransferError(), "no transfer within 100 ms");
    pipe.reset();
    CloseHandle(server);
}

// A virtual engine behind two named pipes, served the way the driver's pipes behave for the
// link: requests arrive on PIPE0, the pending answer leaves on PIPE1.
class PipeEngine {
  public:
    explicit PipeEngine(EngineSettings settings = {})
        : base(UniquePipeBase()),
          engine(std::move(settings)),
          requests_(base + "\\PIPE0",
                    [this](HANDLE p, HANDLE stop) {
                        const auto bytes = ReadMessage(p, stop);
                        if (bytes.empty()) return;
                        {
                            std::lock_guard lock(mutex_);
                            engine.Receive(bytes.data(), bytes.size());
                            answered_.notify_all();
                        }
                        AwaitClose(p, stop);
                    }),
          answers_(base + "\\PIPE1", [this](HANDLE p, HANDLE stop) {
              std::vector<uint8_t> answer;
              {
                  std::unique_lock lock(mutex_);
                  answered_.wait_for(lock, std::chrono::milliseconds(500),
                                     [this] { return engine.HasAnswer(); });
                  answer = engine.TakeAnswer(4096);
              }
              if (!answer.empty()) WriteMessage(p, answer, stop);
              AwaitClose(p, stop);
          }) {}

    const std::string base;
    VirtualEngine engine;

  private:
    std::mutex mutex_;
    std::condition_variable answered_;
    PipeServer requests_;
    PipeServer answers_;
};

class PipeLinkTest : public ::testing::Test {
  protected:
    PipeLinkTest()
        : platform(std::make_unique<test::FakeSetupApi>(), OpenOverlappedPipe), link(platform) {
        link.DevicePresent = 1;
    }

    win32::SetupApiPlatform platform;
    DeviceLink link;
    CommandSet commands{link};
};

TEST_F(PipeLinkTest, CommandsTravelOverTheDriversPipes) {
    PipeEngine pipes;
    link.setDevicePath(pipes.base);
    EXPECT_EQ(commands.QueryDeviceMode(), DeviceMode::Application);
    ASSERT_TRUE(commands.SetLedCurrent(65));
    uint8_t current = 0;
    ASSERT_TRUE(commands.GetLedCurrent(current));
    EXPECT_EQ(current, 65);
    EXPECT_EQ(pipes.engine.current(), 65);
    EXPECT_EQ(pipes.engine.frames().front(), (std::vector<uint8_t>{0x05, 0x00, 0xFE, 0x82, 0x43}));
}

TEST_F(PipeLinkTest, AnEngineThatDoesNotAnswerCostsTheReadsDeadline) {
    EngineSettings mute;
    mute.mode = EngineMode::Mute;
    PipeEngine pipes(mute);
    link.setDevicePath(pipes.base);
    const auto start = Clock::now();
    EXPECT_EQ(commands.QueryDeviceMode(), DeviceMode::Other);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(pipes.engine.requestCount(), 1u);
}

TEST_F(PipeLinkTest, WithoutPipesNothingIsSent) {
    link.setDevicePath(UniquePipeBase());
    EXPECT_FALSE(commands.SetLedCurrent(65));
    EXPECT_EQ(commands.QueryDeviceMode(), DeviceMode::Other);
}

}  // namespace
}  // namespace kq
