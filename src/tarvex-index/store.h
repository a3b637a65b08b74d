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

// A vector in fixed chunks of 1 MiB: no copy as it grows, and a chunk is
// given back to the system when dropped.
template <class T>
class Chunked {
public:
    static constexpr size_t bits = sizeof(T) == 8 ? 17 : sizeof(T) == 4 ? 18 : 16, chunk = size_t{1} << bits;
    void push_back(T v) {
        if ((size_ & (chunk - 1)) == 0)
            chunks_.emplace_back(new T[chunk]);
        chunks_[size_ >> bits][size_ & (chunk - 1)] = v;
        size_++;
    }
    T& operator[](size_t i) { return chunks_[i >> bits][i & (chunk - 1)]; }
    const T& operator[](size_t i) const { return chunks_[i >> bits][i & (chunk - 1)]; }
    size_t size() const { return size_; }
    void clear() {
        chunks_.clear();
        chunks_.shrink_to_fit();
        size_ = 0;
    }
    // Drops the chunks wholly below i, once nothing below i is read again.
    void drop_below(size_t i) {
        for (size_t c = 0; c < (i >> bits) && c < chunks_.size(); c++)
            chunks_[c].reset();
    }

private:
    std::vector<std::unique_ptr<T[]>> chunks_;
    size_t size_ = 0;
};

// Every distinct word of the tree with its blocks, in compact form: word w's
// blocks, ascending, are blocks[start[w]] up to blocks[start[w + 1]].
struct Words {
    std::vector<uint64_t> key;
    std::vector<uint32_t> start{0};
    std::vector<uint16_t> blocks;
    size_t size() const { return key.size(); }
    uint32_t count(size_t w) const { return start[w + 1] - start[w]; }
};

// Collects the blocks' words from any number of threads. The words are kept
// in shards by key, each under a lock of its own; what comes out does not
// depend on the threads or their timing.
class WordStore {
public:
    static constexpr int shard_bits = 6;
    WordStore();
    ~WordStore();
    // Adds the distinct keys of block b (as collected). Thread-safe.
    void add_block(uint32_t block, const std::vector<uint64_t>& keys);
    // Distinct words so far.
    size_t words() const;
    using BucketOf = std::function<uint32_t(uint64_t, uint32_t)>;
    // Turns the store into Words; the store is spent. Words come out by the
    // bucket that bucket_of(key, number of blocks) gives (below buckets),
    // and within a bucket in an order fixed by their keys; block b as
    // collected becomes remap[b].
    Words take_words(uint32_t buckets, const BucketOf& bucket_of, const std::vector<uint32_t>& remap, int threads);

private:
    struct Shard;
    std::vector<std::unique_ptr<Shard>> shards_;

    // The phases of take_words.
    std::vector<uint32_t> bucket_starts(uint32_t buckets, const BucketOf& bucket_of, int threads);
    Words place_keys(uint32_t buckets, const BucketOf& bucket_of, std::vector<uint32_t> at, int threads);
    void fill_blocks(Words& out, const std::vector<uint32_t>& remap, int threads);
};

}  // namespace builder
