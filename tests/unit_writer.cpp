#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "index.h"
#include "indexlib/areas.h"
#include "indexlib/bytes.h"
#include "indexlib/layout.h"
#include "indexlib/lookup.h"
#include "indexlib/place.h"
#include "indexlib/primes.h"
#include "indexlib/words.h"

namespace {

using indexlib::block_list;

TEST(BlockList, PacksTwelveBitValuesLowBitsFirst) {
    EXPECT_EQ(block_list({1, 2, 3}), (std::vector<uint8_t>{0x03, 0x10, 0x00, 0x02, 0x30, 0x00}));
    EXPECT_EQ(block_list({}), (std::vector<uint8_t>{0x00, 0x00}));
    EXPECT_EQ(block_list({4095}), (std::vector<uint8_t>{0x01, 0xF0, 0xFF}));
}

TEST(BlockList, UnpacksWhatItPacks) {
    std::vector<uint32_t> blocks;
    for (uint32_t b = 0; b < max_list_count; b++)
        blocks.push_back((b * 2654435761u) % 4096);
    std::vector<uint8_t> bytes = block_list(blocks);
    ASSERT_EQ(bytes.size(), list_bytes(max_list_count));
    ASSERT_LE(bytes.size(), static_cast<size_t>(block_window));
    EXPECT_EQ(unpack12(bytes.data(), 0), max_list_count);
    for (uint32_t i = 0; i < blocks.size(); i++)
        ASSERT_EQ(unpack12(bytes.data(), i + 1), blocks[i]) << i;
}

TEST(Bitmap, SetsBitBOfByteBDiv8) {
    EXPECT_EQ(indexlib::bitmap({0, 9, 15}, 16), (std::vector<uint8_t>{0x01, 0x82}));
    EXPECT_EQ(indexlib::bitmap({}, 9).size(), 2u);
}

TEST(Entries, EncodeTheirFields) {
    EXPECT_EQ(one_block_entry(14553, 7), 0x40000000u | 14553u << 12 | 7u);
    EXPECT_EQ(two_block_entry(34, 5, 2), 0x80000000u | 34u << 24 | 2u << 12 | 5u);
    EXPECT_EQ(entry_kind(list_entry(1)), 3u);
    EXPECT_EQ(entry_kind(bitmap_entry(1)), 0u);
    EXPECT_TRUE(entry_accepts(one_block_entry(14553, 7), 0, 14553));
    EXPECT_FALSE(entry_accepts(one_block_entry(14553, 7), 34, 14554));
    EXPECT_TRUE(entry_accepts(two_block_entry(34, 5, 2), 34, 0));
}

TEST(Primes, NextPrime) {
    EXPECT_EQ(indexlib::next_prime(0), 2u);
    EXPECT_EQ(indexlib::next_prime(90), 97u);
    EXPECT_EQ(indexlib::next_prime(97), 97u);
    EXPECT_FALSE(indexlib::is_prime(1));
}

TEST(Words, RunsOfWordBytesLowerCasedInAsciiOnly) {
    EXPECT_EQ(indexlib::words_of("Hello, wide_World 42x caf\xc3\xa9!"),
              (std::vector<std::string>{"hello", "wide_world", "42x", "caf\xc3\xa9"}));
    EXPECT_EQ(indexlib::words_of(std::string(256, 'a') + " ok " + std::string(255, 'b')),
              (std::vector<std::string>{"ok", std::string(255, 'b')}));
}

// For every word, the lookup over the laid-out bytes names all its blocks.
// With crowded set, prime grows from the given size to the first table the
// words fit in, so that the table is as full as placement allows.
void expect_complete(const std::vector<indexlib::Word>& words, uint32_t prime, int32_t num_blocks,
                     bool crowded = false) {
    indexlib::Index index;
    index.blocks.resize(static_cast<size_t>(num_blocks));
    for (int32_t b = 0; b < num_blocks; b++) {
        index.blocks[static_cast<size_t>(b)] = b;
        index.files.push_back({0, "f" + std::to_string(b)});
    }
    indexlib::Placement placed = indexlib::place_words(words, prime, index);
    while (crowded && !placed.ok) {
        prime = indexlib::next_prime(prime + 1);
        placed = indexlib::place_words(words, prime, index);
    }
    ASSERT_TRUE(placed.ok);
    if (crowded) {
        EXPECT_GT(placed.shared, 0u);
    }
    indexlib::Image im = indexlib::lay_out(index);
    ASSERT_EQ(im.error, "");
    for (const indexlib::Word& w : words) {
        indexlib::Lookup found = indexlib::lookup(im.bytes, w.text);
        ASSERT_EQ(found.error, "") << w.text;
        std::set<uint32_t> named(found.blocks.begin(), found.blocks.end());
        for (uint32_t b : w.blocks)
            ASSERT_TRUE(named.count(b)) << w.text << " misses block " << b;
    }
}

std::vector<indexlib::Word> random_words(size_t n, int32_t num_blocks, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<indexlib::Word> words;
    std::set<std::string> seen;
    while (words.size() < n) {
        std::string text;
        for (size_t len = 1 + rng() % 8; len > 0; len--)
            text.push_back(static_cast<char>('a' + rng() % 26));
        if (!seen.insert(text).second)
            continue;
        std::set<uint32_t> blocks;
        // Mostly one or two blocks, sometimes many, so all four kinds occur.
        size_t count = rng() % 4 == 0 ? 3 + rng() % static_cast<unsigned>(num_blocks) : 1 + rng() % 2;
        while (blocks.size() < std::min<size_t>(count, static_cast<size_t>(num_blocks)))
            blocks.insert(rng() % static_cast<unsigned>(num_blocks));
        words.push_back({text, std::vector<uint32_t>(blocks.begin(), blocks.end())});
    }
    return words;
}

TEST(PlaceWords, EveryLookupCoversItsWordInAHalfFullTable) {
    expect_complete(random_words(400, 600, 1), indexlib::next_prime(800), 600);
}

TEST(PlaceWords, SharedEntriesInACrowdedTableStayComplete) {
    // Far more words than slots: check codes collide and entries are shared.
    expect_complete(random_words(500, 40, 2), 61, 40, true);
    expect_complete(random_words(300, 4096, 3), 61, 4096, true);
}

TEST(PlaceWords, FailsWhenATableIsFull) {
    indexlib::Index index;
    index.blocks = {0};
    std::vector<indexlib::Word> words = random_words(50, 1, 4);
    EXPECT_FALSE(indexlib::place_words(words, 2, index).ok);
}

// Asking for pages early must never change what they hold, whatever the
// range's alignment, its size (the small ones are left alone) or the threads.
TEST(Populate, KeepsWhatTheBytesHold) {
    constexpr size_t size = size_t{9} << 20;
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; i++)
        bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    const struct {
        size_t from, length;
        int threads;
    } cases[] = {
        {0, size, 1}, {1, size - 1, 2}, {4095, size - 8191, 3}, {12345, (size_t{4} << 20) + 1, 2},
        {100, 4096, 2}, {0, 0, 2}, {3, size - 5, 0},
    };
    for (const auto& c : cases) {
        indexlib::populate(bytes.data() + c.from, c.length, c.threads);
        for (size_t i = 0; i < size; i++)
            ASSERT_EQ(bytes[i], static_cast<uint8_t>(i * 7 + 3)) << c.from << "+" << c.length << " at " << i;
    }
}

}  // namespace
