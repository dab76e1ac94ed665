// The command set against an engine that answers whatever the input says. Input: operations,
// each a byte that picks it and then its arguments; every pipe the link opens takes one more
// byte that decides the transfer (the pipe does not open, moves nothing, moves part, or for an
// answer: a valid frame, a damaged one, one of another length, raw bytes), and answer payloads
// are read from the input too.
//
// Invariants: no crash; every frame sent is a valid frame of the operation's request; an answer
// is read only after its request went out whole; an operation that reports success had its
// requests written whole and, where it has one, a valid answer of the right length, whose bytes
// are what it handed over; a failed read leaves the caller's buffer as it was.

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devlink/commands.h"
#include "fuzz_support.h"

using namespace kq;

namespace {

struct Event {
    bool write = false;
    bool opened = false;
    uint32_t asked = 0;  // bytes the transfer was for
    int32_t moved = 0;
    int timeoutMs = 0;
    std::vector<uint8_t> bytes;  // written, or read
};

class FuzzPlatform final : public DevicePlatform {
  public:
    explicit FuzzPlatform(fuzz::FuzzInput& in) : in_(in) {}

    fuzz::FuzzInput& in() { return in_; }
    std::vector<Event> events;

    std::vector<InterfaceEntry> ListInterfaces(const Guid&) override { return {}; }
    std::optional<std::string> ReadProperty(const InterfaceEntry&, DeviceProperty) override {
        return std::nullopt;
    }
    OpenResult TestOpen(const InterfaceEntry&) override { return {OpenError::Absent, "none"}; }
    std::unique_ptr<PipeHandle> OpenPipe(std::string_view pipePath, OpenResult* why) override;

  private:
    fuzz::FuzzInput& in_;
};

class FuzzPipe final : public PipeHandle {
  public:
    FuzzPipe(FuzzPlatform& platform, uint8_t decision) : platform_(platform), decision_(decision) {}

    int32_t Write(const uint8_t* data, uint32_t count, int timeoutMs) override {
        uint32_t moved = count;
        if (decision_ % 16 == 1) moved = 0;
        if (decision_ % 16 == 2 && count > 0) moved = count - 1;
        platform_.events.push_back({true, true, count, static_cast<int32_t>(moved), timeoutMs,
                                    std::vector<uint8_t>(data, data + count)});
        return static_cast<int32_t>(moved);
    }

    int32_t Read(uint8_t* data, uint32_t count, int timeoutMs) override {
        fuzz::FuzzInput& in = platform_.in();
        std::vector<uint8_t> bytes;
        const auto framed = [&](size_t payloadSize) {
            std::vector<uint8_t> payload(payloadSize);
            const auto given = in.Bytes(payloadSize);
            std::copy(given.begin(), given.end(), payload.begin());
            return BuildFrame(payload).value_or(std::vector<uint8_t>{});
        };
        const size_t expected = count >= kFrameOverhead ? count - kFrameOverhead : 0;
        switch (decision_ % 16) {
            case 1:  // nothing came
                break;
            case 2: {  // noise
                const auto noise = in.Bytes(in.U16());
                bytes.assign(noise.begin(), noise.end());
                break;
            }
            case 3: {  // one bit damaged
                bytes = framed(expected);
                const size_t bit = in.U32() % (bytes.size() * 8 + 1);
                if (bit < bytes.size() * 8) bytes[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
                break;
            }
            case 4:  // a frame of another length
                bytes = framed(in.Byte());
                break;
            case 5:  // the length field high byte first
                bytes = framed(expected);
                if (bytes.size() >= 2) std::swap(bytes[0], bytes[1]);
                break;
            default:
                bytes = framed(expected);
                break;
        }
        if (bytes.size() > count) bytes.resize(count);
        std::copy(bytes.begin(), bytes.end(), data);
        platform_.events.push_back(
            {false, true, count, static_cast<int32_t>(bytes.size()), timeoutMs, bytes});
        return static_cast<int32_t>(bytes.size());
    }

  private:
    FuzzPlatform& platform_;
    uint8_t decision_;
};

std::unique_ptr<PipeHandle> FuzzPlatform::OpenPipe(std::string_view pipePath, OpenResult* why) {
    const uint8_t decision = in_.Byte();
    if (decision % 16 == 0) {
        events.push_back({pipePath.ends_with(kCommandPipe), false});
        if (why) *why = {OpenError::Busy, "held by another program"};
        return nullptr;
    }
    return std::make_unique<FuzzPipe>(*this, decision);
}

using Bytes = std::vector<uint8_t>;

// What an operation is to send and read.
struct Expect {
    std::vector<Bytes> requests;
    std::optional<size_t> answer;  // answer payload length, when the operation reads one
    int timeoutMs = 0;
};

// Checks the transfers of one operation and returns the answer payload when the last transfer
// was a valid answer of the expected length.
std::optional<Bytes> CheckTransfers(const std::vector<Event>& events, const Expect& expect) {
    size_t writes = 0;
    bool lastWriteWhole = false;
    size_t reads = 0;
    for (const Event& e : events) {
        KQ_FUZZ_CHECK(!e.opened || e.timeoutMs == expect.timeoutMs);
        if (e.write) {
            lastWriteWhole = false;
            if (!e.opened) continue;
            KQ_FUZZ_CHECK(writes < expect.requests.size());
            const auto payload = UnpackFrame(e.bytes);
            KQ_FUZZ_CHECK(payload && std::ranges::equal(*payload, expect.requests[writes]));
            ++writes;
            lastWriteWhole = e.moved == static_cast<int32_t>(e.asked);
        } else {
            KQ_FUZZ_CHECK(expect.answer.has_value());
            KQ_FUZZ_CHECK(lastWriteWhole);  // never an answer to a request that did not go out
            KQ_FUZZ_CHECK(++reads == 1);
            KQ_FUZZ_CHECK(!e.opened || e.asked == *expect.answer + kFrameOverhead);
        }
    }
    if (events.empty() || events.back().write || !events.back().opened) return std::nullopt;
    const Event& last = events.back();
    if (last.moved != static_cast<int32_t>(*expect.answer + kFrameOverhead)) return std::nullopt;
    const auto payload = UnpackFrame(last.bytes);
    if (!payload) return std::nullopt;
    return Bytes(payload->begin(), payload->end());
}

// Every request went out whole and nothing was read.
bool AllSent(const std::vector<Event>& events, const Expect& expect) {
    size_t whole = 0;
    for (const Event& e : events) {
        if (e.write && e.opened && e.moved == static_cast<int32_t>(e.asked)) ++whole;
        if (!e.write) return false;
    }
    return whole == expect.requests.size();
}

// An operation without an answer: success exactly when its requests went out whole.
void CheckSent(const std::vector<Event>& events, const Expect& expect, bool ok) {
    CheckTransfers(events, expect);
    KQ_FUZZ_CHECK(ok == AllSent(events, expect));
}

constexpr uint8_t kSentinel = 0xA5;

// An operation with an answer: success exactly when a valid answer came, and then out holds it
// (as handOver changes it); after a failure out is as it was.
void CheckAnswered(const std::vector<Event>& events, const Expect& expect, bool ok,
                   const Bytes& out, void (*handOver)(Bytes&) = nullptr) {
    auto answer = CheckTransfers(events, expect);
    KQ_FUZZ_CHECK(ok == answer.has_value());
    if (ok) {
        if (handOver) handOver(*answer);
        KQ_FUZZ_CHECK(out == *answer);
    } else {
        KQ_FUZZ_CHECK(std::ranges::all_of(out, [](uint8_t b) { return b == kSentinel; }));
    }
}

Bytes Concat(std::initializer_list<std::span<const uint8_t>> parts) {
    Bytes out;
    for (auto part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes Padded(fuzz::FuzzInput& in, size_t size) {
    Bytes out(size, 0x5A);
    const auto given = in.Bytes(size);
    std::copy(given.begin(), given.end(), out.begin());
    return out;
}

// A block length: mostly small, sometimes up to and past what a frame can carry.
uint32_t BlockLength(fuzz::FuzzInput& in) {
    const uint8_t pick = in.Byte();
    if (pick < 200) return pick;
    if (pick < 250) return in.U16() % 4096;
    return static_cast<uint32_t>(kMaxPayload - 16 + in.Byte() % 32);
}

// A buffer's address for the operation; an empty vector may have none, an empty block still has
// a place to go.
uint8_t* Place(Bytes& buffer) {
    static uint8_t nowhere;
    return buffer.empty() ? &nowhere : buffer.data();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput in(data, size);
    FuzzPlatform platform(in);
    CountingSleeper sleeper;
    DeviceLink link(platform, &sleeper);
    link.trace().Open("/dev/null");  // the trace formats every hostile byte too
    link.setDevicePath("fuzz");
    link.DevicePresent = 1;
    CommandSet commands(link);

    while (!in.empty()) {
        platform.events.clear();
        const auto slept = sleeper.total().count();
        const auto code = [](CommandCode c) { return static_cast<uint8_t>(c); };
        switch (in.Byte() % 16) {
            case 0: {
                const uint8_t value = in.Byte();
                const bool ok = commands.SetLedCurrent(value);
                CheckSent(platform.events,
                          {{{code(CommandCode::LedCurrent), 0x00, value}}, {}, 100}, ok);
                break;
            }
            case 1: {
                const Expect expect{{{code(CommandCode::LedCurrent), 0x01}}, 1, 50};
                uint8_t out = kSentinel;
                const bool ok = commands.GetLedCurrent(out);
                const auto answer = CheckTransfers(platform.events, expect);
                KQ_FUZZ_CHECK(ok == answer.has_value());
                KQ_FUZZ_CHECK(out == (ok ? (*answer)[0] : 0));
                break;
            }
            case 2: {
                const uint8_t on = in.Byte();
                const bool ok = commands.SetLedSwitch(on);
                CheckSent(platform.events, {{{code(CommandCode::LedSwitch), on}}, {}, 50}, ok);
                break;
            }
            case 3: {
                const bool on = in.Bool();
                const uint8_t state = on ? 1 : 2;
                const bool ok = commands.SetPower(on);
                CheckSent(platform.events, {{{code(CommandCode::PowerSwitch), state}}, {}, 1000},
                          ok);
                break;
            }
            case 4: {
                const uint8_t x = in.Byte() % 3, y = in.Byte() % 3;
                const auto mode = static_cast<uint8_t>(FlipModeFromFlags(x, y));
                const bool ok = commands.SetFlip(x, y);
                CheckSent(platform.events, {{{code(CommandCode::Flip), 0x00, mode}}, {}, 50}, ok);
                break;
            }
            case 5: {
                const Expect expect{{{code(CommandCode::ProductId), 0x00}}, 8, 1000};
                Bytes out(8, kSentinel);
                const bool ok = commands.GetProductId(out.data());
                // Byte 7 is handed over modulo 12.
                CheckAnswered(platform.events, expect, ok, out, [](Bytes& id) { id[7] %= 12; });
                break;
            }
            case 6: {
                const bool ok = commands.StartLoader();
                CheckSent(platform.events, {{{code(CommandCode::LoaderStart)}}, {}, 2000}, ok);
                break;
            }
            case 7: {
                const Expect expect{{{code(CommandCode::BlockSize)}}, 4, 1000};
                const uint32_t blockSize = commands.GetBlockSize();
                const auto answer = CheckTransfers(platform.events, expect);
                KQ_FUZZ_CHECK(blockSize == (answer ? GetLe32(*answer) : 0));
                break;
            }
            case 8: {
                const uint32_t address = in.U32(), length = BlockLength(in);
                const auto header = BlockHeader(CommandCode::BlockRead, address, length);
                const Expect expect{{Bytes(header.begin(), header.end())}, length, 2000};
                Bytes out(length, kSentinel);
                const bool ok = commands.ReadBlock(address, length, Place(out));
                CheckAnswered(platform.events, expect, ok, out);
                KQ_FUZZ_CHECK(sleeper.total().count() - slept == (ok ? 20000 : 0));
                break;
            }
            case 9: {
                const uint32_t address = in.U32(), length = BlockLength(in);
                Bytes block = Padded(in, length);
                const auto write = BlockHeader(CommandCode::BlockWrite, address, length);
                const auto read = BlockHeader(CommandCode::BlockRead, address, length);
                const Expect expect{
                    {Concat({write, block}), Bytes(read.begin(), read.end())}, length, 2000};
                const bool ok = commands.WriteBlockVerified(address, length, Place(block));
                const auto answer = CheckTransfers(platform.events, expect);
                // Verified means read back equal, after both requests went out whole.
                KQ_FUZZ_CHECK(ok == (answer && *answer == block));
                const bool firstSent =
                    !platform.events.empty() && platform.events[0].write &&
                    platform.events[0].opened &&
                    platform.events[0].moved == static_cast<int32_t>(platform.events[0].asked);
                KQ_FUZZ_CHECK(sleeper.total().count() - slept == (firstSent ? 60000 : 0));
                break;
            }
            case 10: {
                const bool ok = commands.FinishUpgrade();
                CheckSent(platform.events, {{{code(CommandCode::UpgradeEnd)}}, {}, 2000}, ok);
                break;
            }
            case 11: {
                const Expect expect{{{code(CommandCode::Mode)}}, 3, 1000};
                Bytes out(3, kSentinel);
                const bool ok = commands.GetMode(out.data());
                CheckAnswered(platform.events, expect, ok, out);
                break;
            }
            case 12: {
                link.DevicePresent = in.Byte() % 4 == 0 ? 0 : 1;
                const Expect expect{{{code(CommandCode::Mode)}}, 3, 1000};
                const DeviceMode mode = commands.QueryDeviceMode();
                const auto answer = CheckTransfers(platform.events, expect);
                if (link.DevicePresent == 0) {
                    KQ_FUZZ_CHECK(mode == DeviceMode::None && platform.events.empty());
                } else {
                    const bool app = answer && IsApplicationModeAnswer(*answer);
                    KQ_FUZZ_CHECK(mode == (app ? DeviceMode::Application : DeviceMode::Other));
                }
                break;
            }
            case 13: {
                const uint8_t command = in.Byte();
                const uint8_t shape = in.Byte();
                // Now and then no argument buffer, or more arguments than a frame carries.
                const uint32_t argLength = shape < 8 ? kMaxPayload - 2 + shape : in.Byte();
                const Bytes args = Padded(in, argLength);
                const bool nullArgs = shape == 8 && argLength > 0;
                const uint32_t answerLength = in.Byte() % 16;
                const bool nullAnswer = shape == 9 && answerLength > 0;
                const int timeoutMs = in.U16();
                Bytes out(answerLength, kSentinel);
                const Expect expect{
                    {Concat({std::span(&command, 1), args})},
                    answerLength ? std::optional<size_t>(answerLength) : std::nullopt,
                    timeoutMs};
                const bool ok =
                    commands.Transact(command, nullArgs ? nullptr : args.data(), argLength,
                                      nullAnswer ? nullptr : out.data(), answerLength, timeoutMs);
                if (nullArgs || argLength + 1 > kMaxPayload) {
                    KQ_FUZZ_CHECK(!ok && platform.events.empty());
                } else if (answerLength == 0) {
                    KQ_FUZZ_CHECK(ok == AllSent(platform.events, expect));
                } else if (nullAnswer) {
                    KQ_FUZZ_CHECK(!ok);
                } else {
                    CheckAnswered(platform.events, expect, ok, out);
                }
                break;
            }
            case 14: {
                // An engine path the pipes cannot be opened under.
                static const std::string kPaths[] = {"fuzz", "", std::string(kMaxPipePath, 'p')};
                link.setDevicePath(kPaths[in.Byte() % 3]);
                break;
            }
            case 15: {
                const uint32_t ms = in.U32();
                commands.DelayMilliseconds(ms);
                KQ_FUZZ_CHECK(sleeper.total().count() - slept == (ms & 0xFFFF) * 1000LL);
                KQ_FUZZ_CHECK(platform.events.empty());
                break;
            }
        }
    }
    return 0;
}
