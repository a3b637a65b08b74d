#include "store.h"

#include <algorithm>
#include <array>
#include <atomic>

#include "common.h"
#include "indexlib/huge_pages.h"

namespace builder {

namespace {

// A 64-bit mix of a key: its top bits pick the shard, its low bits the slot.
inline uint64_t mix(uint64_t k) {
    k ^= k >> 33;
    k *= 0xFF51AFD7ED558CCDull;
    k ^= k >> 33;
    k *= 0xC4CEB9FE1A85EC53ull;
    k ^= k >> 33;
    return k;
}

}  // namespace

// A shard: its words (ids in the order first added) and a log of the blocks
// merged into it, each a marker (bit 31 set, the block) and its words' ids.
struct WordStore::Shard {
    std::mutex m;
    std::vector<uint32_t> index = std::vector<uint32_t>(1 << 10, 0);   // 0 empty, else tag << 24 | id + 1
    Chunked<uint64_t> keys;
    Chunked<uint32_t> log;
    std::vector<uint32_t> count;   // while finishing: blocks of each word, then its place

    static constexpr uint32_t max_id = (1u << 24) - 2;

    // Looks each key up, adds it when new, and logs it. The lookups of the
    // next keys are fetched ahead: the index and the keys are far larger
    // than the caches.
    void merge(uint32_t block, const uint64_t* keys_in, const uint64_t* end) {
        log.push_back(0x80000000u | block);
        constexpr size_t ahead = 8;
        const size_t n = static_cast<size_t>(end - keys_in);
        for (size_t i = 0; i < std::min(n, ahead); i++)
            __builtin_prefetch(&index[mix(keys_in[i]) & (index.size() - 1)]);
        for (size_t i = 0; i < n; i++) {
            if (i + ahead < n)
                __builtin_prefetch(&index[mix(keys_in[i + ahead]) & (index.size() - 1)]);
            if (i + ahead / 2 < n) {
                const uint64_t m = mix(keys_in[i + ahead / 2]);
                const uint32_t v = index[m & (index.size() - 1)];
                if (v != 0)
                    __builtin_prefetch(&keys[(v & 0xFFFFFF) - 1]);
            }
            const uint64_t key = keys_in[i], m = mix(key);
            const auto tag = static_cast<uint32_t>(m >> 48) & 0xFF;
            const size_t mask = index.size() - 1;
            for (size_t s = m & mask;; s = (s + 1) & mask) {
                uint32_t v = index[s];
                if (v == 0) {
                    const size_t id = keys.size();
                    // Far past any index that fits 2 GiB: 64 shards of 16 million words.
                    if (id > max_id)
                        fail("the index would be larger than 2 GiB, the limit of its offsets");
                    keys.push_back(key);
                    index[s] = tag << 24 | static_cast<uint32_t>(id + 1);
                    log.push_back(static_cast<uint32_t>(id));
                    if (keys.size() * 2 > index.size())
                        grow();
                    break;
                }
                if (v >> 24 == tag && keys[(v & 0xFFFFFF) - 1] == key) {
                    log.push_back((v & 0xFFFFFF) - 1);
                    break;
                }
            }
        }
    }

    void grow() {
        std::vector<uint32_t> bigger(index.size() * 2, 0);
        const size_t mask = bigger.size() - 1;
        for (size_t id = 0; id < keys.size(); id++) {
            const uint64_t m = mix(keys[id]);
            size_t s = m & mask;
            while (bigger[s] != 0)
                s = (s + 1) & mask;
            bigger[s] = (static_cast<uint32_t>(m >> 48) & 0xFF) << 24 | static_cast<uint32_t>(id + 1);
        }
        index.swap(bigger);
    }

    // Renumbers the words in key order and counts each one's blocks.
    void sort_by_key() {
        std::vector<uint32_t>().swap(index);
        const size_t n = keys.size();
        std::vector<std::pair<uint64_t, uint32_t>> order(n);
        for (size_t id = 0; id < n; id++)
            order[id] = {keys[id], static_cast<uint32_t>(id)};
        std::sort(order.begin(), order.end());
        std::vector<uint32_t> renumber(n);
        for (size_t i = 0; i < n; i++) {
            keys[i] = order[i].first;
            renumber[order[i].second] = static_cast<uint32_t>(i);
        }
        std::vector<std::pair<uint64_t, uint32_t>>().swap(order);
        count.assign(n, 0);
        for (size_t i = 0; i < log.size(); i++) {
            uint32_t& v = log[i];
            if (v & 0x80000000u)
                continue;
            v = renumber[v];
            count[v]++;
        }
    }
};

WordStore::WordStore() {
    for (int s = 0; s < (1 << shard_bits); s++)
        shards_.push_back(std::make_unique<Shard>());
}

WordStore::~WordStore() = default;

void WordStore::add_block(uint32_t block, const std::vector<uint64_t>& keys) {
    constexpr int n_shards = 1 << shard_bits;
    thread_local std::vector<uint64_t> sorted;
    std::array<uint32_t, n_shards + 1> at{};
    for (uint64_t k : keys)
        at[(mix(k) >> (64 - shard_bits)) + 1]++;
    for (int s = 0; s < n_shards; s++)
        at[s + 1] += at[s];
    sorted.resize(keys.size());
    std::array<uint32_t, n_shards> fill;
    std::copy(at.begin(), at.end() - 1, fill.begin());
    for (uint64_t k : keys)
        sorted[fill[mix(k) >> (64 - shard_bits)]++] = k;
    // Shards that are busy are come back to; the last ones are waited for.
    std::array<int, n_shards> todo;
    int left = 0;
    for (int s = 0; s < n_shards; s++)
        if (at[s + 1] > at[s])
            todo[left++] = s;
    while (left > 0) {
        int kept = 0;
        for (int i = 0; i < left; i++) {
            Shard& sh = *shards_[todo[i]];
            bool last_round = kept == 0 && i == left - 1;
            if (last_round) {
                sh.m.lock();
            } else if (!sh.m.try_lock()) {
                todo[kept++] = todo[i];
                continue;
            }
            sh.merge(block, sorted.data() + at[todo[i]], sorted.data() + at[todo[i] + 1]);
            sh.m.unlock();
        }
        left = kept;
    }
}

size_t WordStore::words() const {
    size_t n = 0;
    for (const auto& s : shards_)
        n += s->keys.size();
    return n;
}

// Each word's place in the order: by bucket, then shard by shard in key
// order. Each shard counts its words per bucket, so that it knows where its
// words of each bucket begin and places them on its own: at[s * buckets + b]
// is where shard s's words of bucket b begin.
std::vector<uint32_t> WordStore::bucket_starts(uint32_t buckets, const BucketOf& bucket_of, int threads) {
    const int n_shards = static_cast<int>(shards_.size());
    const size_t nb = buckets;
    std::vector<uint32_t> at(static_cast<size_t>(n_shards) * nb, 0);
    std::atomic<int> next{0};
    parallel(threads, [&](int) {
        for (int s; (s = next++) < n_shards;) {
            const Shard& sh = *shards_[static_cast<size_t>(s)];
            uint32_t* mine = at.data() + static_cast<size_t>(s) * nb;
            for (size_t id = 0; id < sh.keys.size(); id++)
                mine[bucket_of(sh.keys[id], sh.count[id])]++;
        }
    });
    uint32_t placed = 0;
    for (size_t b = 0; b < nb; b++)
        for (size_t s = 0; s < static_cast<size_t>(n_shards); s++) {
            const uint32_t c = at[s * nb + b];
            at[s * nb + b] = placed;
            placed += c;
        }
    return at;
}

// The words' keys in their places (at as bucket_starts gives it), and
// start[w] their blocks' start; each shard's count[id] becomes its word's
// place. The keys are dropped.
Words WordStore::place_keys(uint32_t buckets, const BucketOf& bucket_of, std::vector<uint32_t> at, int threads) {
    const int n_shards = static_cast<int>(shards_.size());
    const size_t n = words();
    const size_t nb = buckets;
    Words out;
    indexlib::reserve_huge(out.key, n);
    out.key.resize(n);
    indexlib::reserve_huge(out.start, n + 1);
    out.start.assign(n + 1, 0);
    std::atomic<int> next{0};
    parallel(threads, [&](int) {
        for (int s; (s = next++) < n_shards;) {
            Shard& sh = *shards_[static_cast<size_t>(s)];
            uint32_t* mine = at.data() + static_cast<size_t>(s) * nb;
            for (size_t id = 0; id < sh.keys.size(); id++) {
                const uint64_t key = sh.keys[id];
                const uint32_t pos = mine[bucket_of(key, sh.count[id])]++;
                out.key[pos] = key;
                out.start[pos] = sh.count[id];
                sh.count[id] = pos;
            }
            sh.keys.clear();
        }
    });
    std::vector<uint32_t>().swap(at);
    uint64_t total = 0;
    for (size_t w = 0; w <= n; w++) {
        const uint32_t c = out.start[w];
        out.start[w] = static_cast<uint32_t>(total);
        total += c;
    }
    if (total > UINT32_MAX)
        fail("the index would be larger than 2 GiB, the limit of its offsets");
    indexlib::reserve_huge(out.blocks, total);
    out.blocks.resize(total);
    return out;
}

// The blocks, shard by shard from their logs; a shard's words are its own,
// so shards go side by side. The store is spent.
void WordStore::fill_blocks(Words& out, const std::vector<uint32_t>& remap, int threads) {
    const int n_shards = static_cast<int>(shards_.size());
    const size_t n = out.size();
    // start[w] runs to the end of w's blocks meanwhile.
    std::atomic<int> next{0};
    parallel(threads, [&](int) {
        for (int s; (s = next++) < n_shards;) {
            Shard& sh = *shards_[static_cast<size_t>(s)];
            uint16_t block = 0;
            for (size_t i = 0; i < sh.log.size(); i++) {
                const uint32_t v = sh.log[i];
                if (v & 0x80000000u) {
                    block = static_cast<uint16_t>(remap[v & 0x7FFFFFFFu]);
                } else {
                    out.blocks[out.start[sh.count[v]]++] = block;
                }
                if ((i & (Chunked<uint32_t>::chunk - 1)) == Chunked<uint32_t>::chunk - 1)
                    sh.log.drop_below(i + 1);
            }
            sh.log.clear();
            std::vector<uint32_t>().swap(sh.count);
        }
    });
    shards_.clear();
    for (size_t w = n; w > 0; w--)
        out.start[w] = out.start[w - 1];
    out.start[0] = 0;
}

namespace {

// Blocks came in the order the threads merged them: sorts each word's. The
// same key twice in one block (two texts of equal hash values) is the one
// repeat there can be; repeats are dropped.
void sort_blocks(Words& out, int threads) {
    const size_t n = out.size();
    std::atomic<bool> repeats{false};
    std::atomic<size_t> next_range{0};
    const size_t range = 1 << 16;
    parallel(threads, [&](int) {
        for (size_t from; (from = next_range.fetch_add(range)) < n;) {
            for (size_t w = from; w < std::min(n, from + range); w++) {
                uint16_t* b = out.blocks.data() + out.start[w];
                uint16_t* e = out.blocks.data() + out.start[w + 1];
                if (e - b < 2)
                    continue;
                if (e - b < 24) {
                    for (uint16_t* i = b + 1; i < e; i++)
                        for (uint16_t* j = i; j > b && j[-1] > j[0]; j--)
                            std::swap(j[-1], j[0]);
                } else {
                    std::sort(b, e);
                }
                if (std::adjacent_find(b, e) != e)
                    repeats = true;
            }
        }
    });
    if (repeats) {
        size_t to = 0;
        for (size_t w = 0; w < n; w++) {
            const size_t from = out.start[w], end = out.start[w + 1];
            out.start[w] = static_cast<uint32_t>(to);
            for (size_t i = from; i < end; i++)
                if (i == from || out.blocks[i] != out.blocks[i - 1])
                    out.blocks[to++] = out.blocks[i];
        }
        out.start[n] = static_cast<uint32_t>(to);
        // Few repeats: the array keeps its room rather than being copied.
        out.blocks.resize(to);
    }
}

}  // namespace

Words WordStore::take_words(uint32_t buckets, const BucketOf& bucket_of, const std::vector<uint32_t>& remap,
                            int threads) {
    const int n_shards = static_cast<int>(shards_.size());
    std::atomic<int> next{0};
    parallel(threads, [&](int) {
        for (int s; (s = next++) < n_shards;)
            shards_[static_cast<size_t>(s)]->sort_by_key();
    });
    Words out = place_keys(buckets, bucket_of, bucket_starts(buckets, bucket_of, threads), threads);
    fill_blocks(out, remap, threads);
    sort_blocks(out, threads);
    return out;
}

}  // namespace builder
