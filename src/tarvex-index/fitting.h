// Fitting the areas: each entry naming 3 blocks or more gets a bitmap or a
// block list, and all of them must lie in the first 16 MiB (their offsets
// are 24 bits). When they do not fit, some entries are widened: given a
// superset of their blocks, coarsened over neighbouring blocks, so that
// entries come to share areas, chosen to slow searches the least; the words
// of few blocks keep theirs as long as any other entry can give.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "indexlib/layout.h"
#include "placement.h"
#include "store.h"

namespace builder {

struct Widening {
    size_t words = 0;          // words whose entry names more blocks than placed
    double before = 0, after = 0;   // their candidate bytes, before and after
};

// Settles each area entry's kind and its bitmap or list, so that all of them
// end by area_limit (16 MiB; less for tests), widening entries when they do
// not fit. The answer is the same for any number of threads.
indexlib::AreaPieces fit_areas(Table& table, const Words& words, const std::vector<int64_t>& block_bytes,
                               uint32_t area_limit, int threads, Widening& widened);

}  // namespace builder
