// A placer of words in the hash table by the search's probe rule, for the
// tests and the fuzz seeds: simple and thorough rather than fast (the builder
// has its own).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "layout.h"

namespace indexlib {

// A word and the blocks it occurs in (ascending, no repeats).
struct Word {
    std::string text;
    std::vector<uint32_t> blocks;
};

struct Placement {
    bool ok = false;
    uint32_t entries = 0;       // occupied slots
    uint32_t shared = 0;        // words whose lookup ends on another word's entry
    uint32_t lists = 0, maps = 0;
};

// Words in compact form: word w's text is the NUL-terminated string at
// text.data() + text_at[w]; its blocks, ascending and without repeats, are
// blocks[start[w]] up to blocks[start[w + 1]].
struct WordSet {
    std::vector<char> text;
    std::vector<uint32_t> text_at;
    std::vector<uint32_t> start{0};
    std::vector<uint16_t> blocks;
    size_t size() const { return text_at.size(); }
    const char* word(size_t w) const { return text.data() + text_at[w]; }
    void add(const std::string& word, const std::vector<uint32_t>& word_blocks);
};

// Fills index.slots (hash_prime slots) and index.areas so that the search's
// probe of every word ends on an entry naming all of its blocks. A word whose
// probe meets an entry it would accept shares that entry, which then names
// both words' blocks. Fails (ok false) when some probe exhausts its bound: the
// table is too small.
Placement place_words(const std::vector<Word>& words, uint32_t hash_prime, Index& index);
Placement place_words(const WordSet& words, uint32_t hash_prime, Index& index);

}  // namespace indexlib
