// The virtual engine's request handling. Input: one byte of settings (start mode, a CRC fault,
// a dropped request), then requests, each a 16-bit little-endian length and that many bytes,
// each followed by one byte that says whether the answer is read. Every request is sent as it
// is: whole frames, broken frames and plain noise alike.
//
// Beside the engine runs a model of its two memories, so that each answer is checked against
// what the memories must hold and the memories are compared once at the end.

#include <algorithm>
#include <array>
#include <optional>
#include <utility>
#include <vector>

#include "devlink/codec.h"
#include "emulator/virtual_engine.h"
#include "fuzz_support.h"

using namespace kq;

namespace {

using Bytes = std::vector<uint8_t>;

struct Model {
    Bytes ram = Bytes(VirtualEngine::kRamSize, 0x00);
    Bytes flash = Bytes(VirtualEngine::kFlashSize, 0xFF);
    std::vector<std::pair<uint32_t, uint32_t>> writes;

    // The application writes to and reads from RAM, the loader flash.
    Bytes& memory(EngineMode mode) { return mode == EngineMode::App ? ram : flash; }
};

// The block a request addresses when it lies wholly inside memory.
std::optional<BlockRange> Inside(std::span<const uint8_t> p, const Bytes& memory) {
    const auto block = ParseBlockHeader(p);
    if (!block || block->address > memory.size() ||
        block->length > memory.size() - block->address) {
        return std::nullopt;
    }
    return block;
}

// Applies a request the engine heard to the model; returns the answer payload it must give,
// nullopt when it gives none.
std::optional<Bytes> Expected(std::span<const uint8_t> p, const VirtualEngine& engine,
                              EngineMode mode, Model& model) {
    const bool app = mode == EngineMode::App;
    Bytes& memory = model.memory(mode);
    switch (static_cast<CommandCode>(p[0])) {
        case CommandCode::LedCurrent:
            if (app && p.size() >= 2 && p[1] == static_cast<uint8_t>(LedCurrentOp::Get)) {
                return Bytes{engine.current()};
            }
            return std::nullopt;
        case CommandCode::ProductId: {
            const auto& id = engine.settings().productId;
            return Bytes(id.begin(), id.end());
        }
        case CommandCode::BlockSize: {
            Bytes size(4);
            PutLe32(size, engine.settings().blockSize);
            return size;
        }
        case CommandCode::Mode: {
            const auto& answer = app ? kApplicationModeAnswer : VirtualEngine::kLoaderModeAnswer;
            return Bytes(answer.begin(), answer.end());
        }
        case CommandCode::BlockWrite:
            if (const auto block = Inside(p, memory);
                block && block->length == p.size() - kBlockHeaderSize) {
                std::copy(p.begin() + kBlockHeaderSize, p.end(), memory.begin() + block->address);
                model.writes.emplace_back(block->address, block->length);
            }
            return std::nullopt;
        case CommandCode::BlockRead:
            if (const auto block = Inside(p, memory);
                block && p.size() == kBlockHeaderSize && block->length <= kMaxPayload) {
                const auto first = memory.begin() + block->address;
                return Bytes(first, first + block->length);
            }
            return std::nullopt;
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
    Model model;

    uint64_t number = 0;
    while (!in.empty()) {
        const auto request = in.Bytes(in.U16());
        const bool read = in.Bool();
        const EngineMode mode = engine.mode();
        const auto effect = engine.Receive(request.data(), request.size());
        ++number;

        const auto payload = UnpackFrame(request);
        const bool heard = mode != EngineMode::Mute && !settings.dropFaults.count(number) &&
                           payload && !payload->empty();
        const auto expected = heard ? Expected(*payload, engine, mode, model) : std::nullopt;
        KQ_FUZZ_CHECK(engine.HasAnswer() == expected.has_value());

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
    // Only block writes that fit were taken, and the memories kept their sizes.
    KQ_FUZZ_CHECK(engine.blockWrites() == model.writes);
    KQ_FUZZ_CHECK(engine.loaderRam() == model.ram);
    KQ_FUZZ_CHECK(engine.flash() == model.flash);
    KQ_FUZZ_CHECK(engine.requestCount() == number);
    return 0;
}
