// Pins the index-writing library's output byte for byte for one small index,
// so that the reader and the writer cannot drift apart together.
#include <cstdio>
#include <initializer_list>
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

// The expected bytes, written out piece by piece with the numbers the format
// puts there (not through the library's own encoders, which this pins).
struct Pieces {
    std::vector<uint8_t> bytes;
    Pieces& u32(uint32_t v) {
        for (int i = 0; i < 4; i++)
            bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
    Pieces& raw(std::initializer_list<uint8_t> v) {
        bytes.insert(bytes.end(), v);
        return *this;
    }
    // A name record: parent (int16), the name, its NUL.
    Pieces& record(uint16_t parent, const std::string& name) {
        raw({static_cast<uint8_t>(parent), static_cast<uint8_t>(parent >> 8)});
        bytes.insert(bytes.end(), name.begin(), name.end());
        return raw({0});
    }
    Pieces& zeros_to(size_t end) {
        bytes.resize(end, 0);
        return *this;
    }
};

std::vector<uint8_t> golden_bytes() {
    Pieces p;
    // Header, 80 bytes.
    p.u32(0x78767274)  //  0 magic "trvx"
        .u32(80)       //  4 header_size
        .u32(598)      //  8 filesize
        .u32(4)        // 12 num_words
        .u32(2)        // 16 num_dirs
        .u32(3)        // 20 num_files
        .u32(2)        // 24 num_blocks
        .u32(29)       // 28 strings_size
        .u32(7)        // 32 hash_prime
        .u32(28)       // 36 hash_table_size
        .u32(1)        // 40 bytes_per_bitmap
        .u32(6)        // 44 filelists_size
        .u32(1)        // 48 bitmaps_size
        .u32(144)      // 52 block_table_offset
        .u32(164)      // 56 dir_table_offset
        .u32(152)      // 60 file_table_offset
        .u32(87)       // 64 strings_offset
        .u32(116)      // 68 hash_table_offset
        .u32(80)       // 72 filelists_offset
        .u32(86);      // 76 bitmaps_offset
    // 80: the block list {1, 0, 1}: 12-bit values 3 (the count), 1, 0, 1.
    p.raw({0x03, 0x10, 0x00, 0x00, 0x10, 0x00});
    // 86: the bitmap of blocks 0 and 1.
    p.raw({0x03});
    // 87: name records, the directories' first.
    p.record(0, "disc").record(1, "sub").record(1, "a.txt").record(2, "b").record(0, "c");
    // 116: the hash table, 7 slots.
    p.u32(0x3a000056)   // 0 "b": a bitmap, rehash6 58, at 86
        .u32(0xd4000050)   // 1 "c": a list, rehash6 20, at 80
        .u32(0x438d9001)   // 2 "abc": one block, rehash16 14553, block 1
        .u32(0)
        .u32(0)
        .u32(0)
        .u32(0xa3000001);  // 6 "a": two blocks, rehash6 35, blocks 1 and 0
    // 144: the block table; 152: the file table (records at 100, 108, 112);
    // 164: the directory table (no record for the root).
    p.u32(0).u32(2);
    p.u32(100).u32(108).u32(112);
    p.u32(0).u32(87).u32(94);
    // Zeros to 598, so that the bitmap's 512-byte window ends at the file's end.
    p.zeros_to(598);
    return p.bytes;
}

const std::string golden_hex = hex(golden_bytes());

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
