// Word hashing and postings: the hash that places a word in the index's hash
// table, the probe that finds its entry, and the expansion of the entry into
// the blocks to search. The hash, the probe walk and the expansion are inline
// here so that the index writers and the builder walk exactly as the search.
#pragma once

#include <cstdint>

#include "index.h"

// The word hash proper: h picks the first slot (h mod hash_prime), r gives
// the check codes. Every step and width is part of the index format. Two
// passes over the word's bytes: the first from hash_start, the second from
// where the first ended, r gathering the second's every value. The builder
// runs the same steps over several words in lockstep.
inline uint32_t hash_start(const unsigned char* s) { return s[0] ? s[0] * 65536u + s[1] * 256u : 0; }

// Byte c at place i in the first pass. A shift of 0 at every 32nd byte makes
// the XOR clear h there.
inline uint32_t hash_pass1(uint32_t h, uint32_t c, uint32_t i) {
    h = h + (c << (i % 32)) + c;
    return h ^ (h >> (i % 32));
}

inline uint32_t hash_pass2(uint32_t h, uint32_t c) {
    h = (h << 4) + c;
    const uint32_t g = h & 0xF0000000u;
    h ^= g;
    return h ^ (g >> 24);
}

inline void hash_word(const char* str, uint32_t* hp, uint32_t* rp) {
    const auto* s = reinterpret_cast<const unsigned char*>(str);
    uint32_t h = hash_start(s);
    uint32_t r = h;
    for (uint32_t i = 0; s[i]; i++)
        h = hash_pass1(h, s[i], i);
    for (uint32_t i = 0; s[i]; i++) {
        h = hash_pass2(h, s[i]);
        r ^= h;
    }
    *hp = h;
    *rp = r;
}

// A word's check codes from its r: rehash6 (also the base of the probe's
// step) and rehash16.
inline uint32_t rehash6_of(uint32_t r) { return r % 61; }
inline uint32_t rehash16_of(uint32_t r) { return r % 65521; }

// Where a probe stops: the slot and its entry, 0 for an empty slot; slot -1
// (entry 0) when the walk ran out of probes. steps: the slots passed over
// before it.
struct probe_stop {
    int64_t slot;
    uint32_t entry;
    uint32_t steps;
};

// The slot after k on a probe, t being the steps taken so far.
inline uint32_t probe_next(uint32_t k, uint32_t rehash6, uint16_t t, uint32_t prime) {
    return (k + rehash6 + t) % prime;
}

// The probe of a word from its first slot over a table of prime slots,
// entry_at(k) giving slot k's entry: it stops at an empty slot or at an entry
// that accepts the word. The steps between slots are rehash6, rehash6 + 1,
// ... modulo prime, the step counter wrapping at 65536. A table crowded with
// other words' entries is legal: after as many probes as there are slots the
// word counts as not indexed.
template <class EntryAt>
inline probe_stop probe_walk(uint32_t first, uint32_t rehash6, uint32_t rehash16, uint32_t prime,
                             const EntryAt& entry_at) {
    uint32_t k = first;
    uint16_t t = 0;
    for (uint32_t probes = 0; probes < prime; probes++) {
        const uint32_t x = entry_at(k);
        if (x == 0 || entry_accepts(x, rehash6, rehash16))
            return {k, x, probes};
        k = probe_next(k, rehash6, t, prime);
        t++;
    }
    return {-1, 0, prime};
}

// The probe of a word given by its hash values h and r.
template <class EntryAt>
inline probe_stop probe_word(uint32_t h, uint32_t r, uint32_t prime, const EntryAt& entry_at) {
    return probe_walk(h % prime, rehash6_of(r), rehash16_of(r), prime, entry_at);
}

// What posting expansion finds wrong with an entry's bitmap or list.
constexpr int32_t bitmap_too_wide = -1;  // more than max_blocks blocks to cover
constexpr int32_t bitmap_cut = -2;       // the bitmap runs past the bytes read
constexpr int32_t list_cut = -3;         // the list runs past the bytes read
constexpr int32_t list_too_long = -4;    // a count above max_list_count

// Posting expansion: the blocks entry x names, in search order, into blocks
// (room for max_blocks). Kinds 1 and 2 name theirs inline; kinds 0 and 3 in
// area, the got bytes read at the entry's offset (got may be short of a
// window where the file ends). Returns how many, or one of the faults above.
// The block numbers are not checked against num_blocks.
inline int32_t entry_blocks(uint32_t x, const unsigned char* area, int64_t got, int32_t num_blocks,
                            int32_t* blocks) {
    int32_t n = 0;
    const uint32_t kind = entry_kind(x);
    if (kind == kind_one_block || kind == kind_two_blocks) {
        for (uint32_t i = 0; i < inline_count(x); i++)
            blocks[n++] = static_cast<int32_t>(inline_block(x, i));
    } else if (kind == kind_bitmap) {
        if (num_blocks > max_blocks)
            return bitmap_too_wide;
        if (got < bitmap_bytes(num_blocks))
            return bitmap_cut;
        for (int32_t b = 0; b < num_blocks; b++)
            if (bitmap_has(area, static_cast<uint32_t>(b)))
                blocks[n++] = b;
    } else {
        if (got < 2)
            return list_cut;
        const uint32_t count = unpack12(area, 0);
        if (count > static_cast<uint32_t>(max_list_count))
            return list_too_long;
        if (got < list_bytes(count))
            return list_cut;
        for (uint32_t i = 1; i <= count; i++)
            blocks[n++] = static_cast<int32_t>(unpack12(area, i));
    }
    return n;
}

// The word's check codes, set by hash2.
extern int32_t rehash6;
extern int32_t rehash16;

// First slot of s's probe; sets rehash6 and rehash16.
uint32_t hash2(const char* s);

// The entry of word in the hash table, or 0 when the word is not indexed.
uint32_t find_entry();

// Posting expansion and all that follows: searches every block that entry x
// names, in order; returns the lines printed.
int64_t search(uint32_t x);
