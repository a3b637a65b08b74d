// Placing the words in the hash table, and checking the laid-out index
// against them.
//
// Words are placed by the search's probe rule, words of fewer blocks first:
// each claims the first empty slot of its probe, or shares the first entry
// there that would accept it, which then names both words' blocks.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "store.h"

namespace builder {

using Span = std::pair<const uint16_t*, const uint16_t*>;

inline Span word_blocks(const Words& words, size_t w) {
    return {words.blocks.data() + words.start[w], words.blocks.data() + words.start[w + 1]};
}

// The table's first size: the first prime past twice the words, or past
// hash_slots when given (testing).
uint32_t first_prime(size_t words, uint32_t hash_slots);
// The order words are placed in: fewer blocks first, then by first slot.
uint32_t order_buckets(uint32_t prime);
uint32_t order_bucket(uint64_t key, uint32_t blocks, uint32_t prime);

// The hash table as placed. Entries of kinds 1 and 2 are final; an entry
// naming 3 blocks or more has kind 0, the claimer's rehash6 and, in the
// offset's bits, its area number (big_area: look in big) until the areas are
// fitted.
struct Table {
    static constexpr uint32_t big_area = 0xFFFFFF;
    uint32_t prime = 0;
    std::vector<uint32_t> entry;
    // The claiming word's rehash6; bit 7 set where some word's lookup ends.
    std::vector<uint8_t> claimer_rehash6;
    struct Area {
        static constexpr uint32_t is_merged = 0x80000000u;
        uint32_t names;   // the word whose blocks it names, or is_merged | its set in merged
        uint32_t words;   // words whose lookup ends here
    };
    std::vector<Area> areas;
    std::vector<std::vector<uint16_t>> merged;
    std::unordered_map<uint32_t, uint32_t> big;
    size_t shared = 0;   // words whose lookup ends on an entry that other words' lookups end on too
    uint32_t area_of(uint32_t slot) const;
    // The blocks area a names.
    Span area_blocks(const Area& a, const Words& words) const;
};

// A round of checking checks only the words whose probe meets a slot
// changed since they were placed or last checked; true: every word, each
// round (the reference in tests).
extern bool check_every_word;

// Places every word so that the search's probe of it ends on an entry naming
// all of its blocks; a word whose probe meets an entry it would accept shares
// it. A table too small (hash_slots) grows to the next prime.
Table place(const Words& words, uint32_t prime, int threads);

// The search's lookup of every word over the laid-out bytes must name all of
// its blocks: "" or the first word (in order) that fails, with why.
std::string check_placed(const std::vector<uint8_t>& bytes, const Words& words, int threads);

}  // namespace builder
