#include "lookup.h"

#include <algorithm>

#include "bytes.h"
#include "tarvex/hash.h"

namespace indexlib {

Lookup lookup(const std::vector<uint8_t>& bytes, const std::string& text) {
    Lookup out;
    auto fail = [&out](const char* why) {
        out.blocks.clear();
        out.error = why;
        return out;
    };
    if (bytes.size() < static_cast<size_t>(header_bytes))
        return fail("header shorter than 80 bytes");
    const file_header h = decode_header(bytes.data());
    const int64_t size = static_cast<int64_t>(bytes.size());
    if (h.header_size != header_bytes || h.filesize != size)
        return fail("header_size or filesize wrong");
    const auto prime = static_cast<uint32_t>(h.hash_prime);
    const int64_t hash_at = h.hash_table_offset;
    if (prime == 0 || hash_at < 0 || hash_at + 4 * int64_t{prime} > size)
        return fail("hash table outside the file");

    uint32_t hw, r;
    hash_word(text.c_str(), &hw, &r);
    const uint32_t x = probe_word(hw, r, prime, [&](uint32_t k) {
                           return get32(bytes, static_cast<size_t>(hash_at + 4 * int64_t{k}));
                       }).entry;
    if (x == 0)
        return out;
    const unsigned char* area = nullptr;
    int64_t got = 0;
    if (entry_has_area(x)) {
        const int64_t at = entry_offset(x);
        got = std::min<int64_t>(block_window, std::max<int64_t>(0, size - at));
        area = bytes.data() + std::min(at, size);
    }
    int32_t blocks[max_blocks];
    const int32_t n = entry_blocks(x, area, got, h.num_blocks, blocks);
    if (n == bitmap_too_wide || n == bitmap_cut)
        return fail("bitmap outside the file");
    if (n < 0)
        return fail("block list outside the file");
    out.blocks.assign(blocks, blocks + n);
    for (uint32_t b : out.blocks)
        if (static_cast<int32_t>(b) >= h.num_blocks)
            return fail("block number beyond the block table");
    return out;
}

EntryReader::EntryReader(const std::vector<uint8_t>& bytes) : bytes_(bytes.data()) {
    const file_header h = decode_header(bytes.data());
    prime_ = static_cast<uint32_t>(h.hash_prime);
    hash_at_ = h.hash_table_offset;
}

uint32_t EntryReader::entry(uint32_t h, uint32_t r) const {
    return probe_word(h, r, prime_, [this](uint32_t k) { return le32(bytes_ + hash_at_ + 4 * int64_t{k}); }).entry;
}

bool EntryReader::names(uint32_t x, uint32_t b) const {
    switch (entry_kind(x)) {
    case kind_one_block:
    case kind_two_blocks:
        for (uint32_t i = 0; i < inline_count(x); i++)
            if (inline_block(x, i) == b)
                return true;
        return false;
    case kind_bitmap:
        return bitmap_has(bytes_ + entry_offset(x), b);
    default: {
        const unsigned char* p = bytes_ + entry_offset(x);
        const uint32_t n = unpack12(p, 0);
        for (uint32_t i = 1; i <= n; i++)
            if (unpack12(p, i) == b)
                return true;
        return false;
    }
    }
}

bool EntryReader::names_all(uint32_t x, const uint16_t* b, const uint16_t* e) const {
    if (entry_kind(x) == kind_list) {
        const unsigned char* p = bytes_ + entry_offset(x);
        const uint32_t n = unpack12(p, 0);
        uint32_t i = 1;
        for (; b != e; b++) {
            while (i <= n && unpack12(p, i) < *b)
                i++;
            if (i > n || unpack12(p, i) != *b)
                break;
        }
        // A list out of order is asked block by block for the rest.
    }
    for (; b != e; b++)
        if (!names(x, *b))
            return false;
    return true;
}

void EntryReader::fetch_names(uint32_t x, uint32_t b) const {
    if (entry_kind(x) == kind_bitmap)
        __builtin_prefetch(bytes_ + entry_offset(x) + b / 8);
    else if (entry_kind(x) == kind_list)
        __builtin_prefetch(bytes_ + entry_offset(x));
}

}  // namespace indexlib
