// The builder's word store: what comes out of blocks added in any order, on
// any number of threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "tarvex-index/store.h"

namespace {

using builder::Words;
using builder::WordStore;

struct Case {
    std::vector<std::vector<uint64_t>> blocks;   // by block as collected
    std::vector<uint32_t> remap;
};

// Blocks of keys drawn from a pool, some keys twice in a block, some blocks
// empty; blocks remapped in order, as naming does, skipping the empty ones.
Case make_case(uint32_t n_blocks, size_t pool, size_t per_block, uint32_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<uint64_t> keys(pool);
    for (auto& k : keys)
        k = rng();
    keys[0] = 0;   // a key of all zero bits is a key like any other
    Case c;
    c.blocks.resize(n_blocks);
    c.remap.assign(n_blocks, 0);
    uint32_t next = 0;
    for (uint32_t b = 0; b < n_blocks; b++) {
        if (b % 7 == 3)
            continue;
        c.remap[b] = next++;
        std::set<uint64_t> in;
        for (size_t i = 0; i < per_block; i++)
            in.insert(keys[rng() % (i % 3 == 0 ? 16 : pool)]);
        c.blocks[b].assign(in.begin(), in.end());
        std::shuffle(c.blocks[b].begin(), c.blocks[b].end(), rng);
        if (b % 5 == 1 && !c.blocks[b].empty())
            c.blocks[b].push_back(c.blocks[b][0]);
    }
    return c;
}

uint32_t bucket_of(uint64_t key, uint32_t blocks) { return std::min<uint32_t>(blocks, 5) * 8 + (key >> 61); }

Words take(const Case& c, const std::vector<uint32_t>& add_order, int threads) {
    WordStore store;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++)
        pool.emplace_back([&, t] {
            for (size_t i = static_cast<size_t>(t); i < add_order.size(); i += static_cast<size_t>(threads))
                store.add_block(add_order[i], c.blocks[add_order[i]]);
        });
    for (auto& th : pool)
        th.join();
    store.gather(c.remap, threads);
    return store.take_words(48, bucket_of, threads);
}

TEST(WordStore, EveryWordWithItsBlocksAscendingEachOnce) {
    const Case c = make_case(300, 20000, 400, 1);
    std::vector<uint32_t> order(c.blocks.size());
    for (uint32_t b = 0; b < order.size(); b++)
        order[b] = b;
    const Words w = take(c, order, 1);

    std::map<uint64_t, std::set<uint16_t>> want;
    std::map<uint64_t, uint32_t> times;   // blocks, a block again for a repeat in it
    for (uint32_t b = 0; b < c.blocks.size(); b++)
        for (uint64_t k : c.blocks[b]) {
            want[k].insert(static_cast<uint16_t>(c.remap[b]));
            times[k]++;
        }
    ASSERT_EQ(w.size(), want.size());
    ASSERT_EQ(w.start.size(), w.size() + 1);
    ASSERT_EQ(w.start.back(), w.blocks.size());
    uint32_t last_bucket = 0;
    for (size_t i = 0; i < w.size(); i++) {
        const auto it = want.find(w.key[i]);
        ASSERT_NE(it, want.end());
        const std::vector<uint16_t> blocks(w.blocks.begin() + w.start[i], w.blocks.begin() + w.start[i + 1]);
        EXPECT_EQ(blocks, std::vector<uint16_t>(it->second.begin(), it->second.end()));
        const uint32_t bucket = bucket_of(w.key[i], times[w.key[i]]);
        EXPECT_GE(bucket, last_bucket);
        last_bucket = bucket;
    }
}

TEST(WordStore, SameWordsForAnyThreadsAndOrder) {
    const Case c = make_case(500, 50000, 300, 2);
    std::vector<uint32_t> order(c.blocks.size());
    for (uint32_t b = 0; b < order.size(); b++)
        order[b] = b;
    const Words one = take(c, order, 1);
    std::mt19937 rng(3);
    for (int threads : {2, 3, 8}) {
        std::shuffle(order.begin(), order.end(), rng);
        const Words w = take(c, order, threads);
        EXPECT_EQ(w.key, one.key) << threads;
        EXPECT_EQ(w.start, one.start) << threads;
        EXPECT_EQ(w.blocks, one.blocks) << threads;
    }
}

TEST(WordStore, NoBlocks) {
    WordStore store;
    store.gather({}, 2);
    EXPECT_EQ(store.words(), 0u);
    const Words w = store.take_words(8, bucket_of, 2);
    EXPECT_EQ(w.size(), 0u);
    EXPECT_EQ(w.start, std::vector<uint32_t>{0});
}

}  // namespace
