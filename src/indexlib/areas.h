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

}  // namespace indexlib
