// tarvex-named-blocks INDEX < FILES: for every distinct word of the files
// (one path a line), the blocks the search's lookup in INDEX names; prints
// the words, the mean number of blocks named per word, and the words not
// found at all (a sound index has none). For bench/build-scale, which
// compares the index of one builder with another's.
#include <cstdio>
#include <fcntl.h>
#include <iostream>
#include <string>
#include <unordered_set>
#include <vector>

#include "indexlib/lookup.h"
#include "tarvex-index/words.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: tarvex-named-blocks INDEX < FILES\n");
        return 2;
    }
    std::string s;
    {
        FILE* f = fopen(argv[1], "rb");
        if (!f) {
            perror(argv[1]);
            return 1;
        }
        char buf[1 << 16];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0)
            s.append(buf, n);
        fclose(f);
    }
    const std::vector<uint8_t> bytes(s.begin(), s.end());
    const indexlib::EntryReader probe(bytes);
    const int32_t num_blocks = decode_header(bytes.data()).num_blocks;
    std::unordered_set<uint64_t> keys;
    builder::BlockWords words;
    std::string path;
    while (std::getline(std::cin, path)) {
        words.clear();
        int64_t got = 0;
        if (words.add_file(AT_FDCWD, path, "", got) != builder::file_indexed)
            continue;
        for (uint64_t key : words.keys())
            keys.insert(key);
    }
    double named = 0;
    size_t missing = 0;
    for (uint64_t key : keys) {
        const uint32_t x = probe.entry(builder::key_h(key), builder::key_r(key));
        if (x == 0) {
            missing++;
            continue;
        }
        switch (entry_kind(x)) {
        case kind_one_block:
            named += 1;
            break;
        case kind_two_blocks:
            named += inline_block(x, 0) == inline_block(x, 1) ? 1 : 2;
            break;
        case kind_bitmap:
            for (int32_t i = 0; i < bitmap_bytes(num_blocks); i++)
                named += __builtin_popcount(bytes[entry_offset(x) + static_cast<uint32_t>(i)]);
            break;
        default:
            named += unpack12(bytes.data() + entry_offset(x), 0);
        }
    }
    printf("words %zu, blocks named per word %.3f, not found %zu\n", keys.size(),
           keys.empty() ? 0.0 : named / static_cast<double>(keys.size()), missing);
    return missing == 0 ? 0 : 1;
}
