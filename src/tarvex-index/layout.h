// The layout: blocks, names, placement of the words in the hash table, the
// area budget, and the index's bytes.
//
// Blocks are planned from the files' sizes before they are read (each takes
// an equal share of the bytes still to come); a planned block none of whose
// files is indexed is dropped. Words are placed by the search's probe rule,
// words of fewer blocks first. Bitmaps and block lists must lie in the first
// 16 MiB (their offsets are 24 bits): when they do not fit, some entries are
// given a superset of their blocks, coarsened over neighbouring blocks, so
// that entries come to share areas, chosen to slow searches the least; the
// words of few blocks keep theirs as long as any other entry can give.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "indexlib/indexwriter.h"
#include "walk.h"
#include "words.h"

namespace builder {

// ---- blocks and names ---------------------------------------------------------

// The first file of each planned block, at most want blocks.
std::vector<uint32_t> plan_blocks(const std::vector<FileEntry>& files, int32_t want);

// The index's names and blocks once the files have been read.
struct Named {
    indexlib::Index index;              // dirs, files and blocks set
    std::vector<uint32_t> remap;        // planned block -> block of the index
    std::vector<int64_t> block_bytes;   // bytes of each block's files
    int64_t bytes = 0;                  // bytes of all indexed files
    size_t binary = 0, unreadable = 0;
};

// Name records for the indexed files (status file_indexed): the stored
// prefix's directories, then every directory that holds an indexed file,
// numbered as first met. A name over 297 bytes, a path over 1023 bytes as
// stored, or more than 32767 directories end the run.
Named name_files(const Tree& tree, const std::vector<uint32_t>& plan, const std::vector<uint8_t>& status,
                 const std::vector<int64_t>& bytes);

// ---- placement ------------------------------------------------------------------

// The table's first size: the first prime past twice the words, or past
// hash_slots when given (testing).
uint32_t first_prime(size_t words, uint32_t hash_slots);
// The order words are placed in: fewer blocks first, then by first slot.
uint32_t order_buckets(uint32_t prime);
uint32_t order_bucket(uint64_t key, uint32_t blocks, uint32_t prime);

// The hash table as placed. Entries of kinds 1 and 2 are final; an entry
// naming 3 blocks or more has kind 0, the claimer's r6 and, in bits 23-0, its
// area number (big_area: look in big) until the areas are fitted.
struct Table {
    static constexpr uint32_t big_area = 0xFFFFFF;
    uint32_t prime = 0;
    std::vector<uint32_t> entry;
    std::vector<uint8_t> r6;   // the claimer's r6; bit 7 set where some word's lookup ends
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
};

// Places every word so that the search's probe of it ends on an entry naming
// all of its blocks; a word whose probe meets an entry it would accept shares
// it. A table too small (hash_slots) grows to the next prime.
Table place(const Words& words, uint32_t prime, int threads);

// ---- the area budget --------------------------------------------------------------

struct Widening {
    size_t words = 0;          // words whose entry names more blocks than placed
    double before = 0, after = 0;   // their candidate bytes, before and after
};

// Settles each area entry's kind and its bitmap or list, so that all of them
// end by area_limit (16 MiB; less for tests), widening entries when they do
// not fit.
indexlib::AreaPieces fit_areas(Table& table, const Words& words, const std::vector<int64_t>& block_bytes,
                               uint32_t area_limit, Widening& widened);

// ---- the index ------------------------------------------------------------------------

// The search's lookup of every word over the laid-out bytes must name all of
// its blocks: "" or the first word (in order) that fails, with why.
std::string check_placed(const std::vector<uint8_t>& bytes, const Words& words, int threads);

}  // namespace builder
