// The frame codec, both ways: any payload survives framing, and any received bytes either fail
// to unpack or are exactly the frame of what they unpack to.

#include <algorithm>
#include <array>

#include "devlink/codec.h"
#include "fuzz_support.h"

using namespace kq;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> input(data, size);

    // The input as a payload.
    const auto frame = BuildFrame(input);
    KQ_FUZZ_CHECK(frame.has_value() == (size <= kMaxPayload));
    if (frame) {
        KQ_FUZZ_CHECK(frame->size() == size + kFrameOverhead);
        KQ_FUZZ_CHECK(Crc16(*frame) == 0);
        const auto payload = UnpackFrame(*frame);
        KQ_FUZZ_CHECK(payload && std::ranges::equal(*payload, input));
        // A single flipped bit anywhere, the length field included, is always caught.
        if (size > 0) {
            std::vector<uint8_t> damaged = *frame;
            const size_t bit = (input[0] * 257u + size) % (damaged.size() * 8);
            damaged[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
            KQ_FUZZ_CHECK(!UnpackFrame(damaged));
        }
    }

    // The input as received bytes.
    if (const auto payload = UnpackFrame(input)) {
        KQ_FUZZ_CHECK(payload->size() + kFrameOverhead == size);
        KQ_FUZZ_CHECK(Crc16(input) == 0);
        const auto again = BuildFrame(*payload);
        KQ_FUZZ_CHECK(again && std::ranges::equal(*again, input));
    }

    // The fixed fields of a block request and the little-endian helpers.
    if (const auto block = ParseBlockHeader(input)) {
        KQ_FUZZ_CHECK(size >= kBlockHeaderSize);
        const auto header =
            BlockHeader(static_cast<CommandCode>(input[0]), block->address, block->length);
        KQ_FUZZ_CHECK(std::ranges::equal(header, input.first(kBlockHeaderSize)));
    } else {
        KQ_FUZZ_CHECK(size < kBlockHeaderSize);
    }
    if (size >= 4) {
        std::array<uint8_t, 4> out{};
        PutLe32(out, GetLe32(input));
        KQ_FUZZ_CHECK(std::ranges::equal(out, input.first(4)));
    }

    if (size >= 2) {
        const auto mode = static_cast<uint8_t>(FlipModeFromFlags(input[0], input[1]));
        const bool x = input[0] == 1, y = input[1] == 1;
        const bool flags = input[0] <= 1 && input[1] <= 1;
        KQ_FUZZ_CHECK(mode == (flags ? 1 + x + 2 * y : 1));
    }
    KQ_FUZZ_CHECK(IsApplicationModeAnswer(input) ==
                  (size == 3 && input[0] == 'A' && input[1] == 'P' && input[2] == 'P'));
    return 0;
}
