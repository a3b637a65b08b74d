// Shared bitmaps and lists, and the 16 MiB bound on where they may lie.
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "index.h"
#include "indexlib/areas.h"
#include "indexlib/layout.h"
#include "indexlib/lookup.h"
#include "indexlib/place.h"
#include "indexlib/primes.h"
#include "support.h"

namespace {

indexlib::Index blocks_of_one_file(int32_t n) {
    indexlib::Index index;
    for (int32_t b = 0; b < n; b++) {
        index.blocks.push_back(b);
        index.files.push_back({0, "f" + std::to_string(b)});
    }
    return index;
}

std::vector<uint32_t> range(uint32_t from, uint32_t to) {
    std::vector<uint32_t> out;
    for (uint32_t b = from; b < to; b++)
        out.push_back(b);
    return out;
}

TEST(ShareAreas, EqualBlockSetsPointAtOneAreaAndLookupsStayWhole) {
    const std::vector<indexlib::Word> words = {
        {"alpha", {1, 3, 5}}, {"beta", {1, 3, 5}}, {"gamma", range(0, 60)},
        {"delta", range(0, 60)}, {"omega", {2, 3, 4}}};
    for (bool share : {false, true}) {
        indexlib::Index index = blocks_of_one_file(100);
        ASSERT_TRUE(indexlib::place_words(words, 101, index).ok);
        ASSERT_EQ(index.areas.size(), 5u);
        index.share_areas = share;
        indexlib::Image im = indexlib::lay_out(index);
        ASSERT_EQ(im.error, "");
        std::set<int32_t> offsets(im.area_offset.begin(), im.area_offset.end());
        EXPECT_EQ(offsets.size(), share ? 3u : 5u);
        EXPECT_EQ(im.hdr.filelists_size, share ? 2 * 6 : 3 * 6);
        EXPECT_EQ(im.hdr.bitmaps_size, share ? 13 : 2 * 13);
        for (const indexlib::Word& w : words) {
            indexlib::Lookup found = indexlib::lookup(im.bytes, w.text);
            EXPECT_EQ(found.error, "") << w.text;
            EXPECT_EQ(found.blocks, w.blocks) << w.text << (share ? " shared" : "");
        }
    }
}

TEST(ShareAreas, AListNeverSharesABitmapsBytes) {
    indexlib::Index index = blocks_of_one_file(48);
    index.slots.assign(7, 0);
    std::vector<uint8_t> bytes = indexlib::block_list({1, 2, 3});
    ASSERT_EQ(bytes.size(), 6u);  // as long as a bitmap of 48 blocks
    index.slots[1] = list_entry(0);
    index.slots[2] = bitmap_entry(0);
    index.areas = {{false, bytes, 1}, {true, bytes, 2}};
    index.share_areas = true;
    indexlib::Image im = indexlib::lay_out(index);
    ASSERT_EQ(im.error, "");
    EXPECT_NE(im.area_offset[0], im.area_offset[1]);
}

TEST(LayOut, AreasPast16MiBAreRefusedUnlessTheyShare) {
    indexlib::Index index = blocks_of_one_file(4096);
    const uint32_t n = (max_area_offset / block_window) + 1;  // one 512-byte bitmap too many
    index.slots.assign(n, 0);
    std::vector<uint8_t> all(block_window, 0xFF);
    for (uint32_t k = 0; k < n; k++) {
        index.slots[k] = bitmap_entry(k % 61);
        index.areas.push_back({true, all, k});
    }
    EXPECT_EQ(indexlib::lay_out(index).error, "bitmaps and block lists run past 16 MiB");
    index.share_areas = true;
    indexlib::Image im = indexlib::lay_out(index);
    EXPECT_EQ(im.error, "");
    EXPECT_EQ(im.hdr.bitmaps_size, block_window);
}

}  // namespace

// names_all over a block list walks it once beside the blocks asked for; a
// list out of order, or a block it lacks, must give the answer that asking
// block by block gives.
TEST(EntryReader, NamesAllAgreesWithNamesOneByOne) {
    struct Case {
        std::vector<uint16_t> list, asked;
        bool want;
    };
    const std::vector<Case> cases = {
        {{3, 7, 9, 4000}, {3, 7, 9, 4000}, true},
        {{3, 7, 9, 4000}, {7, 4000}, true},
        {{3, 7, 9, 4000}, {}, true},
        {{3, 7, 9, 4000}, {3, 8}, false},
        {{3, 7, 9, 4000}, {4001}, false},
        {{3, 7, 9, 4000}, {0, 3}, false},
        {{9, 3, 4000, 7}, {3, 7, 9, 4000}, true},   // out of order
        {{9, 3, 4000, 7}, {3, 5}, false},
        {{5}, {5}, true},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes(sizeof(file_header) + 64, 0);
        const uint32_t at = sizeof(file_header);
        indexlib::put_block_list(c.list.data(), c.list.data() + c.list.size(), bytes.data() + at);
        const uint32_t x = list_entry(5) | at;
        const indexlib::EntryReader reader(bytes);
        bool one_by_one = true;
        for (uint16_t b : c.asked)
            one_by_one = one_by_one && reader.names(x, b);
        EXPECT_EQ(one_by_one, c.want);
        EXPECT_EQ(reader.names_all(x, c.asked.data(), c.asked.data() + c.asked.size()), c.want)
            << "list of " << c.list.size() << ", " << c.asked.size() << " asked";
    }
}

// Words whose first slot is next to a place where the table is split
// between threads: the last slot of one part and the first of the next, for
// two and for three parts. Found by trying names in turn.
static std::vector<indexlib::Word> words_at_splits(uint32_t prime) {
    std::set<uint32_t> wanted;
    for (uint64_t n : {2, 3})
        for (uint64_t t = 1; t < n; t++) {
            const auto at = static_cast<uint32_t>(prime * t / n);
            wanted.insert(at - 1);
            wanted.insert(at);
        }
    std::vector<indexlib::Word> out;
    for (uint32_t i = 0; !wanted.empty() && i < 100'000'000; i++) {
        const std::string text = "s" + std::to_string(i);
        if (wanted.erase(testing_support::probe(text, prime).slot))
            out.push_back({text, {i % 5, 20 + i % 11, 40 + i % 19}});
    }
    EXPECT_TRUE(wanted.empty());
    return out;
}

// The builder gives the area entries in slot order and the table's entries
// go in on several threads, each area's offset put in as its slot passes;
// entries in any other order go in one by one. Both give the same file, on
// any number of threads, with a table small or past a million slots, whose
// slots where the threads' parts meet are taken.
TEST(LayOut, AreaEntriesInAnyOrderOnAnyThreadsGiveTheSameBytes) {
    for (uint32_t prime : {indexlib::next_prime(1000), indexlib::next_prime(uint32_t{3} << 20)}) {
        std::vector<indexlib::Word> words;
        for (uint32_t i = 0; i < 300; i++)
            words.push_back({"w" + std::to_string(i), {i % 7, 10 + i % 13, 30 + i % 17}});
        if (prime > 1000)
            for (indexlib::Word& w : words_at_splits(prime))
                words.push_back(std::move(w));
        indexlib::Index index = blocks_of_one_file(64);
        ASSERT_TRUE(indexlib::place_words(words, prime, index).ok);
        indexlib::AreaPieces in_order, reversed;
        for (size_t a = 0; a < index.areas.size(); a++) {
            in_order.add(index.areas[a].bitmap, index.areas[a].bytes);
            in_order.slot_area.emplace_back(index.areas[a].slot, static_cast<uint32_t>(a));
        }
        ASSERT_GT(in_order.slot_area.size(), 100u);
        std::sort(in_order.slot_area.begin(), in_order.slot_area.end());
        reversed = in_order;
        std::reverse(reversed.slot_area.begin(), reversed.slot_area.end());
        const indexlib::Image want = indexlib::lay_out(index);
        ASSERT_EQ(want.error, "");
        for (const indexlib::Word& w : words)
            ASSERT_EQ(indexlib::lookup(want.bytes, w.text).blocks, w.blocks) << w.text;
        for (int threads : {1, 2, 3})
            for (const indexlib::AreaPieces* pieces : {&in_order, &reversed})
                EXPECT_TRUE(indexlib::lay_out(index, *pieces, false, threads).bytes == want.bytes)
                    << "prime " << prime << ", " << threads << " threads"
                    << (pieces == &reversed ? ", areas in reverse" : "");
    }
}
