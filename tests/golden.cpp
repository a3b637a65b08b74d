// Pins the index-writing library's output byte for byte for one small index,
// so that the reader and the writer cannot drift apart together.
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "indexlib/areas.h"
#include "indexlib/layout.h"
#include "support.h"

namespace {

using namespace indexlib;

// Two directories, three files in two blocks, and one entry of each kind in
// a table of 7 slots: "abc" (slot 2, one block), "a" (slot 6, two blocks),
// "b" (slot 0, a bitmap) and "c" (slot 1, a block list).
Index golden_index() {
    Index index;
    index.dirs = {{0, "disc"}, {1, "sub"}};
    index.files = {{1, "a.txt"}, {2, "b"}, {0, "c"}};
    index.blocks = {0, 2};
    index.slots.assign(7, 0);
    index.slots[2] = one_block_entry(14553, 1);
    index.slots[6] = two_block_entry(35, 1, 0);
    index.slots[0] = bitmap_entry(58);
    index.slots[1] = list_entry(20);
    index.areas = {{true, bitmap({0, 1}, 2), 0}, {false, block_list({1, 0, 1}), 1}};
    index.num_words = 4;
    return index;
}

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char b[4];
    for (size_t i = 0; i < bytes.size(); i++) {
        snprintf(b, sizeof(b), "%02x", bytes[i]);
        out += b;
        if (i % 32 == 31)
            out += '\n';
    }
    return out;
}

// Header (magic "trvx", 598 bytes, 7 slots, 2 blocks), the list {1, 0, 1} at
// 80, the bitmap {0, 1} at 86, name records from 87, hash table at 116, block
// table at 144, file table at 152, directory table at 164, zeros to 598 so
// that the bitmap's 512-byte window ends at the file's end.
const char golden_hex[] =
    "747276785000000056020000040000000200000003000000020000001d000000\n"
    "070000001c00000001000000060000000100000090000000a400000098000000\n"
    "5700000074000000500000005600000003100000100003000064697363000100\n"
    "737562000100612e7478740002006200000063005600003a500000d401908d43\n"
    "000000000000000000000000010000a30000000002000000640000006c000000\n"
    "7000000000000000570000005e00000000000000000000000000000000000000\n"
    "0000000000000000000000000000000000000000000000000000000000000000\n"
    "0000000000000000000000000000000000000000000000000000000000000000\n"
    "0000000000000000000000000000000000000000000000000000000000000000\n"
    "0000000000000000000000000000000000000000000000000000000000000000\n"
    "0000000000000000000000000000000000000000000000000000000000000000\n"
    "0000000000000000000000000000000000000000000000000000000000000000\n"
    "0000000000000000000000000000000000000000000000000000000000000000\n"
    "0000000000000000000000000000000000000000000000000000000000000000\n"
    "0000000000000000000000000000000000000000000000000000000000000000\n"
    "0000000000000000000000000000000000000000000000000000000000000000\n"
    "0000000000000000000000000000000000000000000000000000000000000000\n"
    "0000000000000000000000000000000000000000000000000000000000000000\n"
    "00000000000000000000000000000000000000000000";

TEST(Golden, SmallIndexIsPinnedByteForByte) {
    Image im = lay_out(golden_index());
    ASSERT_EQ(im.error, "");
    EXPECT_EQ(hex(im.bytes), golden_hex);
}

TEST(Golden, TheSearchReadsTheSameLayout) {
    // The same index, its names pointing at real files, searched by the real
    // binary through every kind of entry.
    testing_support::TempDir dir;
    Index index = golden_index();
    index.dirs[0].name = dir.path.substr(1) + "/disc";
    index.files[2].name = dir.path.substr(1) + "/c";
    const std::string a = dir.path + "/disc/a.txt", b = dir.path + "/disc/sub/b", c = dir.path + "/c";
    for (const std::string& f : {a, b, c})
        testing_support::write_text(f, "abc a b c\n");
    testing_support::write_index(dir.path, lay_out(index).bytes);
    const std::string line = ": abc a b c\n";
    struct Row {
        const char* word;
        std::string out;
    } rows[] = {
        {"abc", c + line},
        {"a", c + line + a + line + b + line},
        {"b", a + line + b + line + c + line},
        {"c", c + line + a + line + b + line + c + line},
    };
    for (const Row& row : rows) {
        testing_support::Result r = testing_support::run_tarvex(dir.path, {row.word});
        EXPECT_EQ(r.out, row.out) << row.word;
        EXPECT_EQ(r.status, 0) << row.word;
    }
}

}  // namespace
