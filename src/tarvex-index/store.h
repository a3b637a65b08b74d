// The store of the tree's words: every distinct word with the blocks it
// occurs in, collected block by block from the reading threads and turned
// into one compact, ordered list.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "words.h"

namespace builder {

// Every distinct word of the tree with its blocks, in compact form: word w's
// blocks, ascending, are blocks[start[w]] up to blocks[start[w + 1]].
struct Words {
    std::vector<uint64_t> key;
    std::vector<uint32_t> start{0};
    std::vector<uint16_t> blocks;
    size_t size() const { return key.size(); }
    uint32_t count(size_t w) const { return start[w + 1] - start[w]; }
};

// Collects the blocks' words from any number of threads; what comes out does
// not depend on the threads or their timing.
//
// While the tree is read, a block's keys are only split by a mix of the key
// and copied into the store: no lookup in a table that has outgrown the
// caches. The words are told apart afterwards in shards, one shard at a time
// on each thread, with a table of that shard's words alone.
class WordStore {
public:
    static constexpr int shard_bits = 6;
    WordStore();
    ~WordStore();
    // Adds the distinct keys of block b (as collected), in any order.
    // Thread-safe; each block is added once.
    void add_block(uint32_t block, const uint64_t* keys, size_t n);
    void add_block(uint32_t block, const std::vector<uint64_t>& keys) { add_block(block, keys.data(), keys.size()); }
    // Once every block is in: finds each shard's distinct words and their
    // blocks, block b as collected becoming remap[b].
    void gather(const std::vector<uint32_t>& remap, int threads);
    // Distinct words, once gathered.
    size_t words() const;
    using BucketOf = std::function<uint32_t(uint64_t, uint32_t)>;
    // Turns the gathered store into Words; the store is spent. Words come
    // out by the bucket that bucket_of(key, number of blocks) gives (below
    // buckets), and within a bucket in an order fixed by their keys.
    Words take_words(uint32_t buckets, const BucketOf& bucket_of, int threads);

private:
    static constexpr int n_shards = 1 << shard_bits;
    // While the tree is read, keys are kept by cell, the top cell_bits of
    // their mix, so that 56 bits of each are left to keep: 7 bytes a key.
    static constexpr int cell_bits = 8, n_cells = 1 << cell_bits, shard_cells = n_cells / n_shards;
    // The cells in groups of two shards, each with room of its own, so that
    // a group's room is used again as soon as its shards are gathered.
    static constexpr int group_bits = 5, n_groups = 1 << group_bits, group_cells = n_cells / n_groups;
    struct Room;
    struct Block;
    struct Shard;
    struct Scratch;
    std::mutex m_;
    std::vector<std::unique_ptr<Room>> groups_;
    std::unique_ptr<Room> spare_;       // chunks of the groups gathered, to be used again
    std::unique_ptr<Room> ids_room_;    // the shards' ids, until their blocks are filled in
    std::unique_ptr<Room> words_room_;  // the shards' keys and counts
    std::vector<Block> blocks_;         // by block as collected
    std::vector<uint32_t> order_;       // the blocks with words, in remapped order
    std::vector<uint16_t> remapped_;    // order_'s blocks as remapped
    std::vector<Shard> shards_;

    void gather_shard(int s, Scratch& scratch);
    // The phases of take_words.
    std::vector<uint32_t> bucket_starts(uint32_t buckets, const BucketOf& bucket_of, int threads);
    void place(Words& out, uint32_t buckets, const BucketOf& bucket_of, std::vector<uint32_t> at, int threads);
    void fill_blocks(Words& out, int threads);
    void fill_keys(Words& out, int threads);
};

}  // namespace builder
