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
    rehash6 = static_cast<int32_t>(check6(r));
    rehash16 = static_cast<int32_t>(check16(r));
    return h % static_cast<uint32_t>(hdr.hash_prime);
}

uint32_t find_entry() {
    uint32_t prime = static_cast<uint32_t>(hdr.hash_prime);
    uint32_t k = hash2(word);
    uint16_t t = 0;
    // A table crowded with other words' entries is legal; after as many probes
    // as there are slots the word counts as not indexed.
    for (uint32_t probes = 0; probes < prime; probes++) {
        unsigned char b[4];
        CHECK(Read_at(hdr.hash_table_offset + 4 * static_cast<int64_t>(k), b, 4, 1) == 4,
              "read(fd, &x, 4) == 4");
        uint32_t x;
        memcpy(&x, b, 4);
        if (x == 0)
            return 0;
        if (entry_accepts(x, static_cast<uint32_t>(rehash6), static_cast<uint32_t>(rehash16)))
            return x;
        k = (k + static_cast<uint32_t>(rehash6) + t) % prime;
        t++;
    }
    return 0;
}

// Every block is known before the first is searched, so that block expansion
// can read ahead across them; the checks all come before any block's output,
// as they would one block at a time.
int64_t search(uint32_t x) {
    uint32_t kind = entry_kind(x);
    uint32_t offset = entry_offset(x);
    int32_t blocks[max_blocks];
    int32_t n = 0;
    if (kind == 1) {
        blocks[n++] = static_cast<int32_t>(x & 0xFFF);
    } else if (kind == 2) {
        blocks[n++] = static_cast<int32_t>(x & 0xFFF);
        blocks[n++] = static_cast<int32_t>((x >> 12) & 0xFFF);
    } else {
        unsigned char p[block_window];
        int32_t got = Read_at(offset, p, block_window, 0);
        if (kind == 0) {
            CHECK(hdr.num_blocks <= max_blocks, "hdr.num_blocks <= 4096");
            int32_t need = (hdr.num_blocks + 7) / 8;
            CHECK(got >= need, "bitmap inside the file");
            for (int32_t b = 0; b < hdr.num_blocks; b++)
                if (p[b / 8] >> (b % 8) & 1)
                    blocks[n++] = b;
        } else {
            CHECK(got >= 2, "block list inside the file");
            uint32_t count = unpack12(p, 0);
            CHECK(count <= max_list_count, "n <= 340");
            CHECK(got >= static_cast<int32_t>(list_bytes(count)), "block list inside the file");
            for (uint32_t i = 1; i <= count; i++)
                blocks[n++] = static_cast<int32_t>(unpack12(p, i));
        }
    }
    plan_blocks(blocks, n);
    int64_t total = 0;
    for (int32_t i = 0; i < n; i++)
        total += search_block(blocks[i]);
    return total;
}
