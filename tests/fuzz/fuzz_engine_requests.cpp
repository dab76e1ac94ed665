// The virtual engine's request handling. Input: one byte of settings (start mode, a CRC fault,
// a dropped request), then requests, each a 16-bit little-endian length and that many bytes,
// each followed by one byte that says whether the answer is read. Every request is sent as it
// is: whole frames, broken frames and plain noise alike.

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "devlink/codec.h"
#include "emulator/virtual_engine.h"
#include "fuzz_support.h"

using namespace kq;

namespace {

// The answer payload a request gets from the engine in the mode it had when the request came;
// nullopt when it gets none. Requests that are answered change nothing the answer shows.
std::optional<std::vector<uint8_t>> ExpectedAnswer(std::span<const uint8_t> p,
                                                   const VirtualEngine& engine, EngineMode mode) {
    const bool app = mode == EngineMode::App;
    switch (static_cast<CommandCode>(p[0])) {
        case CommandCode::LedCurrent:
            if (app && p.size() >= 2 && p[1] == static_cast<uint8_t>(LedCurrentOp::Get)) {
                return std::vector<uint8_t>{engine.current()};
            }
            return std::nullopt;
        case CommandCode::ProductId: {
            const auto& id = engine.settings().productId;
            return std::vector<uint8_t>(id.begin(), id.end());
        }
        case CommandCode::BlockSize: {
            std::vector<uint8_t> size(4);
            PutLe32(size, engine.settings().blockSize);
            return size;
        }
        case CommandCode::Mode: {
            const auto& answer = app ? kApplicationModeAnswer : VirtualEngine::kLoaderModeAnswer;
            return std::vector<uint8_t>(answer.begin(), answer.end());
        }
        case CommandCode::BlockRead: {
            const auto block = ParseBlockHeader(p);
            if (!block || p.size() != kBlockHeaderSize || block->length > kMaxPayload) {
                return std::nullopt;
            }
            const auto memory = app ? engine.loaderRam() : engine.flash();
            if (block->address > memory.size() || block->length > memory.size() - block->address) {
                return std::nullopt;
            }
            const auto first = memory.begin() + block->address;
            return std::vector<uint8_t>(first, first + block->length);
        }
        default:
            return std::nullopt;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput in(data, size);
    const uint8_t setup = in.Byte();
    EngineSettings settings;
    settings.mode = static_cast<EngineMode>(setup % 3);
    if (setup & 0x04) settings.crcFaults.insert((setup >> 4) + 1u);
    if (setup & 0x08) settings.dropFaults.insert((setup >> 5) + 1u);
    VirtualEngine engine(settings);

    uint64_t number = 0;
    while (!in.empty()) {
        const auto request = in.Bytes(in.U16());
        const bool read = in.Bool();
        const EngineMode mode = engine.mode();
        const size_t writesBefore = engine.blockWrites().size();
        const auto effect = engine.Receive(request.data(), request.size());
        ++number;

        const auto payload = UnpackFrame(request);
        const bool heard = mode != EngineMode::Mute && !settings.dropFaults.count(number) &&
                           payload && !payload->empty();
        const auto expected = heard ? ExpectedAnswer(*payload, engine, mode) : std::nullopt;
        KQ_FUZZ_CHECK(engine.HasAnswer() == expected.has_value());

        // A block write that was taken lies inside its memory and holds what was sent.
        const auto writes = engine.blockWrites();
        KQ_FUZZ_CHECK(writes.size() <= writesBefore + 1);
        if (writes.size() > writesBefore) {
            const auto [address, length] = writes.back();
            const auto memory = mode == EngineMode::App ? engine.loaderRam() : engine.flash();
            KQ_FUZZ_CHECK(address <= memory.size() && length <= memory.size() - address);
            KQ_FUZZ_CHECK(std::equal(memory.begin() + address, memory.begin() + address + length,
                                     payload->begin() + kBlockHeaderSize, payload->end()));
        }

        if (read) {
            const auto answer = engine.TakeAnswer(kMaxPayload + kFrameOverhead);
            KQ_FUZZ_CHECK(!engine.HasAnswer());
            KQ_FUZZ_CHECK(answer.empty() == !expected.has_value());
            if (expected) {
                const auto answerPayload = UnpackFrame(answer);
                // A CRC fault damages exactly the answer to its request, and only that one.
                KQ_FUZZ_CHECK(answerPayload.has_value() != (settings.crcFaults.count(number) > 0));
                KQ_FUZZ_CHECK(answer.size() == expected->size() + kFrameOverhead);
                KQ_FUZZ_CHECK(!answerPayload || std::ranges::equal(*answerPayload, *expected));
            }
        }
        if (effect == VirtualEngine::Effect::Reboot) engine.Restart();
    }
    KQ_FUZZ_CHECK(engine.flash().size() == VirtualEngine::kFlashSize);
    KQ_FUZZ_CHECK(engine.loaderRam().size() == VirtualEngine::kRamSize);
    KQ_FUZZ_CHECK(engine.requestCount() == number);
    return 0;
}
