// Placing words in crowded tables, where entries grow and capture or release
// other words' probes over many rounds: the rounds that check only the words
// a change can concern must leave the very table, counts included, that
// checking every word each round leaves.
#include <algorithm>
#include <gtest/gtest.h>
#include <random>
#include <vector>

#include "tarvex-index/placement.h"
#include "tarvex-index/words.h"
#include "tarvex/hash.h"

namespace {

using builder::Table;
using builder::Words;

// n words over the given blocks, most in one or two blocks, some in many;
// in placing order. Their check codes come from few values, so that probes
// meet entries that accept them: entries grow, and a grown entry of one
// block takes the 6-bit check code, capturing and releasing other probes.
// The first chain words share their probe's path but not their 16-bit check
// code: the last of them ends far along it.
Words some_words(size_t n, size_t chain, uint32_t blocks, uint32_t prime, unsigned seed) {
    std::mt19937_64 rng(seed);
    struct W {
        uint32_t bucket;
        uint64_t key;
        std::vector<uint16_t> blocks;
    };
    std::vector<W> ws(n);
    for (size_t i = 0; i < n; i++) {
        W& w = ws[i];
        const auto r = static_cast<uint32_t>(i < chain ? 5 + 61 * i : rng() % 8 + 65521 * (rng() % 65000));
        w.key = (i < chain ? uint64_t{777} << 32 : rng() << 32) | r;
        const unsigned kind = rng() % 10;
        const uint32_t count = kind < 5 ? 1 : kind < 8 ? 2 : 3 + static_cast<uint32_t>(rng() % 40);
        while (w.blocks.size() < count) {
            w.blocks.push_back(static_cast<uint16_t>(rng() % blocks));
            std::sort(w.blocks.begin(), w.blocks.end());
            w.blocks.erase(std::unique(w.blocks.begin(), w.blocks.end()), w.blocks.end());
        }
        w.bucket = builder::order_bucket(w.key, count, prime);
    }
    std::sort(ws.begin(), ws.end(), [](const W& a, const W& b) { return std::tie(a.bucket, a.key) < std::tie(b.bucket, b.key); });
    Words out;
    for (const W& w : ws) {
        out.key.push_back(w.key);
        out.blocks.insert(out.blocks.end(), w.blocks.begin(), w.blocks.end());
        out.start.push_back(static_cast<uint32_t>(out.blocks.size()));
    }
    return out;
}

Table place(const Words& words, uint32_t prime, int threads, bool every_word) {
    builder::check_every_word = every_word;
    Table t = builder::place(words, prime, threads);
    builder::check_every_word = false;
    return t;
}

TEST(Placement, RoundsOfConcernedWordsLeaveTheTableOfFullRounds) {
    struct Case {
        size_t words, chain;
        uint32_t slots;
        int threads;
    };
    const Case cases[] = {
        {2000, 0, 4001, 1},   // half full
        {3000, 0, 3400, 2},   // crowded: many entries grow
        {3000, 0, 3001, 3},   // full
        {20000, 0, 21000, 2},
        {2000, 800, 4001, 2},   // probes past 255 slots
    };
    for (const Case& c : cases) {
        for (unsigned seed = 1; seed <= 3; seed++) {
            SCOPED_TRACE(testing::Message() << c.words << " words, " << c.slots << " slots, " << c.chain
                                            << " on one path, seed " << seed);
            const uint32_t prime = builder::first_prime(c.words, c.slots);
            const Words words = some_words(c.words, c.chain, 200, prime, seed);
            const Table want = place(words, prime, c.threads, true);
            const Table got = place(words, prime, c.threads, false);
            ASSERT_EQ(got.prime, want.prime);
            EXPECT_EQ(got.entry, want.entry);
            EXPECT_EQ(got.claimer_rehash6, want.claimer_rehash6);
            EXPECT_EQ(got.shared, want.shared);
            ASSERT_EQ(got.areas.size(), want.areas.size());
            for (size_t a = 0; a < got.areas.size(); a++) {
                EXPECT_EQ(got.areas[a].names, want.areas[a].names) << "area " << a;
                EXPECT_EQ(got.areas[a].words, want.areas[a].words) << "area " << a;
            }
            EXPECT_EQ(got.merged, want.merged);
            EXPECT_EQ(got.big, want.big);

            // Every word's probe ends on an entry naming all its blocks.
            for (size_t w = 0; w < words.size(); w++) {
                const probe_stop stop = probe_word(builder::key_h(words.key[w]), builder::key_r(words.key[w]),
                                                   got.prime, [&got](uint32_t k) { return got.entry[k]; });
                ASSERT_GE(stop.slot, 0) << "word " << w;
                ASSERT_NE(stop.entry, 0u) << "word " << w;
            }
        }
    }
}

// A key whose probe starts at slot first (of a table of more slots) with the
// given check codes.
uint64_t key_at(uint32_t first, uint32_t rehash6, uint32_t rehash16) {
    // r = rehash16 + 65521 t with r % 61 == rehash6; 65521 % 61 == 7, and
    // 7 * 35 % 61 == 1.
    const uint32_t t = (rehash6 + 61 * 61 - rehash16 % 61) % 61 * 35 % 61;
    const uint32_t r = rehash16 + 65521 * t;
    return uint64_t{first} << 32 | r;
}

// A word that shared an entry by its 16-bit check code is released when that
// entry grows and takes the 6-bit code of its claimer; it then walks on along
// a path of 300 taken slots and is placed past them. The round that checks
// it again must count where it now ends, though its steps are too many to
// note.
TEST(Placement, AWordReleasedOntoALongPathIsCountedWhereItEnds) {
    const uint32_t prime = builder::first_prime(0, 200000);
    constexpr uint32_t path_rehash6 = 11, other_rehash6 = 5, claimer_rehash6 = 7, shared16 = 777;
    std::vector<uint32_t> path{12345};
    for (uint32_t i = 0; path.size() < 302; i++)
        path.push_back(probe_next(path.back(), path_rehash6, static_cast<uint16_t>(i), prime));
    Words words;
    auto add = [&words](uint64_t key, uint16_t block) {
        words.key.push_back(key);
        words.blocks.push_back(block);
        words.start.push_back(static_cast<uint32_t>(words.blocks.size()));
    };
    // Every slot of the path but the last taken, by words of other paths.
    for (uint32_t i = 0; i < 301; i++)
        if (i == 1)
            add(key_at(path[1], claimer_rehash6, shared16), 5);
        else
            add(key_at(path[i], other_rehash6, 1000 + i), static_cast<uint16_t>(10 + i % 50));
    // Walks the path and shares the entry at its second slot, in block 5 too.
    add(key_at(path[0], path_rehash6, shared16), 5);
    // Shares that entry as well, from another block: the entry grows.
    add(key_at(path[1], claimer_rehash6, shared16), 6);

    const Table want = place(words, prime, 1, true);
    const Table got = place(words, prime, 1, false);
    EXPECT_EQ(got.entry, want.entry);
    EXPECT_EQ(got.claimer_rehash6, want.claimer_rehash6);
    EXPECT_EQ(got.shared, want.shared);
    // The released word ends past the path, on its own entry.
    const probe_stop stop = probe_word(builder::key_h(words.key[301]), builder::key_r(words.key[301]), prime,
                                       [&got](uint32_t k) { return got.entry[k]; });
    EXPECT_EQ(stop.slot, int64_t{path[301]});
    EXPECT_EQ(stop.steps, 301u);
    EXPECT_NE(got.claimer_rehash6[path[301]] & 0x80, 0);
}

}  // namespace
