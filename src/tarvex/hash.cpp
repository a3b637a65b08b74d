#include "hash.h"

#include "candidates.h"
#include "index.h"
#include "tarvex.h"

#include <cstring>

int32_t rehash6;
int32_t rehash16;

uint32_t hash2(const char* s) {
    uint32_t h, r;
    hash_word(s, &h, &r);
    rehash6 = static_cast<int32_t>(rehash6_of(r));
    rehash16 = static_cast<int32_t>(rehash16_of(r));
    return h % static_cast<uint32_t>(hdr.hash_prime);
}

// Slot k's entry; the whole table lies inside the file (open_index).
static uint32_t slot_entry(uint32_t k) {
    unsigned char b[4];
    CHECK(Read_at(hdr.hash_table_offset + 4 * static_cast<int64_t>(k), b, 4, 1) == 4,
          "read(fd, &x, 4) == 4");
    uint32_t x;
    memcpy(&x, b, 4);
    return x;
}

uint32_t find_entry() {
    uint32_t first = hash2(word);
    return probe_walk(first, static_cast<uint32_t>(rehash6), static_cast<uint32_t>(rehash16),
                      static_cast<uint32_t>(hdr.hash_prime), slot_entry)
        .entry;
}

// Every block is known before the first is searched, so that block expansion
// can read ahead across them; the checks all come before any block's output,
// as they would one block at a time.
int64_t search(uint32_t x) {
    unsigned char p[block_window];
    int32_t got = 0;
    if (entry_has_area(x))
        got = Read_at(entry_offset(x), p, block_window, 0);
    int32_t blocks[max_blocks];
    int32_t n = entry_blocks(x, p, got, hdr.num_blocks, blocks);
    CHECK(n != bitmap_too_wide, "hdr.num_blocks <= 4096");
    CHECK(n != bitmap_cut, "bitmap inside the file");
    CHECK(n != list_cut, "block list inside the file");
    CHECK(n != list_too_long, "n <= 340");
    plan_blocks(blocks, n);
    int64_t total = 0;
    for (int32_t i = 0; i < n; i++)
        total += search_block(blocks[i]);
    return total;
}
