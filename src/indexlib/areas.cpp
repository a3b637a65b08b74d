#include "areas.h"

#include "tarvex/index.h"

namespace indexlib {

std::vector<uint8_t> bitmap(const std::vector<uint32_t>& blocks, int32_t num_blocks) {
    std::vector<uint8_t> bytes(static_cast<size_t>(bitmap_bytes(num_blocks)));
    for (uint32_t b : blocks) {
        if (b / 8 >= bytes.size())
            bytes.resize(b / 8 + 1);
        bytes[b / 8] |= static_cast<uint8_t>(1u << (b % 8));
    }
    return bytes;
}

namespace {

// Value k of a packed 12-bit stream, into zero bytes.
void put12(uint8_t* bytes, uint32_t k, uint32_t v) {
    const uint32_t j = k * 12 / 8;
    v &= 0xFFF;
    if (k & 1) {
        bytes[j] |= static_cast<uint8_t>(v << 4);
        bytes[j + 1] |= static_cast<uint8_t>(v >> 4);
    } else {
        bytes[j] |= static_cast<uint8_t>(v);
        bytes[j + 1] |= static_cast<uint8_t>(v >> 8);
    }
}

}  // namespace

std::vector<uint8_t> block_list(const std::vector<uint32_t>& blocks) {
    // One spare byte: the reader of an odd value touches the byte after it.
    std::vector<uint8_t> bytes(list_bytes(static_cast<uint32_t>(blocks.size())));
    put12(bytes.data(), 0, static_cast<uint32_t>(blocks.size()));
    for (size_t i = 0; i < blocks.size(); i++)
        put12(bytes.data(), static_cast<uint32_t>(i + 1), blocks[i]);
    return bytes;
}

void put_bitmap(const uint16_t* b, const uint16_t* e, uint8_t* out) {
    for (; b < e; b++)
        out[*b / 8] |= static_cast<uint8_t>(1u << (*b % 8));
}

void put_block_list(const uint16_t* b, const uint16_t* e, uint8_t* out) {
    put12(out, 0, static_cast<uint32_t>(e - b));
    for (uint32_t i = 1; b < e; b++, i++)
        put12(out, i, *b);
}

}  // namespace indexlib
