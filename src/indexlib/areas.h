// The bytes of the two areas an entry may point at: a block bitmap and a
// packed block list (their layout is in tarvex/index.h).
#pragma once

#include <cstdint>
#include <vector>

namespace indexlib {

// A bitmap over num_blocks blocks; a block past them widens it.
std::vector<uint8_t> bitmap(const std::vector<uint32_t>& blocks, int32_t num_blocks);
// A packed list of the blocks, in order.
std::vector<uint8_t> block_list(const std::vector<uint32_t>& blocks);

// The same, of the blocks [b, e), written over out: bitmap_bytes(num_blocks)
// zero bytes for a bitmap (every block below num_blocks), list_bytes(e - b)
// zero bytes for a list.
void put_bitmap(const uint16_t* b, const uint16_t* e, uint8_t* out);
void put_block_list(const uint16_t* b, const uint16_t* e, uint8_t* out);

}  // namespace indexlib
