// Word hashing and postings: the hash that places a word in the index's hash
// table, the probe that finds its entry, and the expansion of the entry into
// the blocks to search.
#pragma once

#include <cstdint>

// The word hash proper, shared with the index writer: h picks the first slot
// (h mod hash_prime), r gives the check codes (rehash6 = r mod 61, rehash16 =
// r mod 65521). Every step and width is part of the index format.
inline void hash_word(const char* str, uint32_t* hp, uint32_t* rp) {
    const auto* s = reinterpret_cast<const unsigned char*>(str);
    uint32_t h = s[0] ? s[0] * 65536u + s[1] * 256u : 0;
    uint32_t r = h;
    for (uint32_t i = 0; s[i]; i++) {
        uint32_t c = s[i];
        // A shift of 0 at every 32nd byte makes the XOR clear h there.
        h = h + (c << (i % 32)) + c;
        h = h ^ (h >> (i % 32));
    }
    for (uint32_t i = 0; s[i]; i++) {
        h = (h << 4) + s[i];
        uint32_t g = h & 0xF0000000u;
        h ^= g;
        h ^= g >> 24;
        r ^= h;
    }
    *hp = h;
    *rp = r;
}

inline uint32_t check6(uint32_t r) { return r % 61; }
inline uint32_t check16(uint32_t r) { return r % 65521; }

extern int32_t rehash6;
extern int32_t rehash16;

// First slot of s's probe; sets rehash6 and rehash16.
uint32_t hash2(const char* s);

// The entry of word in the hash table, or 0 when the word is not indexed.
uint32_t find_entry();

// Searches every block that entry x names; returns the lines printed.
int64_t search(uint32_t x);
