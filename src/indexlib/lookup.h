// The search's lookup run over an index's bytes in memory, without the
// tool's process exits: for the tests, and for the builder's checks of what
// it wrote.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tarvex/index.h"

namespace indexlib {

// The blocks the search would search for text, in order, or an error text.
struct Lookup {
    std::vector<uint32_t> blocks;
    std::string error;
};
Lookup lookup(const std::vector<uint8_t>& bytes, const std::string& text);

// The search's probe over laid-out bytes whose structures are known to be
// sound (lay_out's own, or checked), for words given by their hash values:
// what a builder and a checker run for every word of a tree.
class EntryReader {
public:
    explicit EntryReader(const std::vector<uint8_t>& bytes);
    // The entry the probe of a word with hash values h and r stops at, or 0.
    uint32_t entry(uint32_t h, uint32_t r) const;
    // Does entry x name block b? (A membership test: a bitmap's one bit, not
    // the whole expansion.)
    bool names(uint32_t x, uint32_t b) const;
    // Does entry x name every block from b to e (ascending)? A block list is
    // walked once beside them where it is ascending too.
    bool names_all(uint32_t x, const uint16_t* b, const uint16_t* e) const;
    // Fetch ahead what entry(h, ...) and names(x, b) will read first.
    void fetch_entry(uint32_t h) const { __builtin_prefetch(bytes_ + hash_at_ + 4 * int64_t{h % prime_}); }
    void fetch_names(uint32_t x, uint32_t b) const;

private:
    const uint8_t* bytes_;
    uint32_t prime_;
    int64_t hash_at_;
};

}  // namespace indexlib
