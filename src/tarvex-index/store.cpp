#include "store.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <new>

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

inline int shard_of(uint64_t key) { return static_cast<int>(mix(key) >> (64 - WordStore::shard_bits)); }

// Far past any index that fits 2 GiB: 64 shards of 16 million words.
constexpr uint32_t max_shard_words = (1u << 24) - 1;

[[noreturn]] void too_large() { fail("the index would be larger than 2 GiB, the limit of its offsets"); }

constexpr size_t huge_page = size_t{2} << 20;

}  // namespace

// Room for keys as blocks come in: chunks that are filled from the front and
// never move, so that a thread copies its block's keys in without the lock.
struct WordStore::Room {
    static constexpr size_t chunk = size_t{1} << 19;   // keys: 4 MiB
    struct Free {
        void operator()(uint64_t* p) const { ::operator delete(p, std::align_val_t{huge_page}); }
    };
    std::vector<std::unique_ptr<uint64_t[], Free>> chunks;
    uint64_t* at = nullptr;
    size_t left = 0;

    static std::unique_ptr<uint64_t[], Free> make(size_t n) {
        auto* p = static_cast<uint64_t*>(::operator new(n * sizeof(uint64_t), std::align_val_t{huge_page}));
        indexlib::advise_huge(p, n * sizeof(uint64_t));
        return std::unique_ptr<uint64_t[], Free>(p);
    }
    uint64_t* take(size_t n) {
        if (n > left) {
            // A large part gets room of its own, and the chunk stays open.
            if (n > chunk / 8) {
                chunks.push_back(make(n));
                return chunks.back().get();
            }
            chunks.push_back(make(chunk));
            at = chunks.back().get();
            left = chunk;
        }
        uint64_t* p = at;
        at += n;
        left -= n;
        return p;
    }
};

// A block's keys, by shard: shard s's are at[s + 1] - at[s] keys in the part
// of s's group, from at[s] - at[the group's first shard] on.
struct WordStore::Block {
    uint64_t* part[n_groups] = {};
    uint32_t at[n_shards + 1] = {};
    uint64_t* keys(int s) const {
        const int g = s / group_shards;
        return part[g] + (at[s] - at[g * group_shards]);
    }
    uint32_t size(int s) const { return at[s + 1] - at[s]; }
};

// A shard's words once gathered (ids in the order first met).
struct WordStore::Shard {
    std::vector<uint64_t> key;
    // Each word's blocks, counting a block again for each repeat in it (the
    // order by bucket takes them so); once placed, its place.
    std::vector<uint32_t> count;
    std::vector<uint32_t> repeats;   // a word's id for each repeat
    std::vector<uint32_t> ids;     // each block's words, block by block in remapped order
    std::vector<uint32_t> seg;     // where each block's words begin in ids
};

// A thread's table for gathering one shard after another.
struct WordStore::Scratch {
    struct Slot {
        uint64_t key;
        uint32_t id1;   // 0 empty, else id + 1
        uint16_t last;   // the last block it was met in (blocks come in ascending)
        uint16_t more;   // its blocks - 1
    };
    std::vector<Slot> table;
    size_t expect = 0;   // words of the shard before: shards are alike in size

    void grow() {
        std::vector<Slot> bigger(table.size() * 2, Slot{});
        const size_t mask = bigger.size() - 1;
        for (const Slot& sl : table) {
            if (sl.id1 == 0)
                continue;
            size_t p = mix(sl.key) & mask;
            while (bigger[p].id1 != 0)
                p = (p + 1) & mask;
            bigger[p] = sl;
        }
        table.swap(bigger);
    }
};

WordStore::WordStore() {
    for (int g = 0; g < n_groups; g++)
        rooms_.push_back(std::make_unique<Room>());
}

WordStore::~WordStore() = default;

void WordStore::add_block(uint32_t block, const uint64_t* keys, size_t n) {
    if (n == 0)
        return;
    if (n > UINT32_MAX)
        too_large();
    Block b;
    for (size_t i = 0; i < n; i++)
        b.at[shard_of(keys[i]) + 1]++;
    for (int s = 0; s < n_shards; s++)
        b.at[s + 1] += b.at[s];
    {
        std::lock_guard<std::mutex> g(m_);
        for (int gr = 0; gr < n_groups; gr++)
            b.part[gr] = rooms_[static_cast<size_t>(gr)]->take(b.at[(gr + 1) * group_shards] - b.at[gr * group_shards]);
        if (block >= blocks_.size())
            blocks_.resize(block + 1);
        blocks_[block] = b;
    }
    std::array<uint64_t*, n_shards> to;
    for (int s = 0; s < n_shards; s++)
        to[static_cast<size_t>(s)] = b.keys(s);
    for (size_t i = 0; i < n; i++)
        *to[static_cast<size_t>(shard_of(keys[i]))]++ = keys[i];
}

// Shard s's keys, block by block, into its words: a key met again in the
// same block (two texts of equal hash values) counts once.
void WordStore::gather_shard(int s, Scratch& scr) {
    Shard& sh = shards_[static_cast<size_t>(s)];
    size_t total = 0;
    for (uint32_t b : order_)
        total += blocks_[b].size(s);
    if (total > UINT32_MAX)
        too_large();
    sh.ids.resize(total);
    sh.seg.resize(order_.size() + 1);
    sh.seg[0] = 0;
    size_t cap = 1 << 10;
    while (cap < 2 * std::max(scr.expect, total / 4))
        cap *= 2;
    scr.table.assign(cap, Scratch::Slot{});
    uint32_t n = 0;
    size_t w = 0;
    uint32_t* ids = sh.ids.data();
    for (size_t i = 0; i < order_.size(); i++) {
        const Block& blk = blocks_[order_[i]];
        const uint64_t* keys = blk.keys(s);
        const uint32_t len = blk.size(s);
        const uint16_t rb = remapped_[i];
        constexpr uint32_t ahead = 8;
        size_t mask = scr.table.size() - 1;
        for (uint32_t j = 0; j < len; j++) {
            if (j + ahead < len)
                __builtin_prefetch(&scr.table[mix(keys[j + ahead]) & mask]);
            const uint64_t key = keys[j];
            for (size_t p = mix(key) & mask;; p = (p + 1) & mask) {
                Scratch::Slot& sl = scr.table[p];
                if (sl.id1 == 0) {
                    if (n == max_shard_words)
                        too_large();
                    sl = Scratch::Slot{key, ++n, rb, 0};
                    ids[w++] = n - 1;
                    if (size_t{n} * 2 > scr.table.size()) {
                        scr.grow();
                        mask = scr.table.size() - 1;
                    }
                    break;
                }
                if (sl.key == key) {
                    if (sl.last != rb) {
                        sl.last = rb;
                        sl.more++;
                        ids[w++] = sl.id1 - 1;
                    } else {
                        sh.repeats.push_back(sl.id1 - 1);
                    }
                    break;
                }
            }
        }
        sh.seg[i + 1] = static_cast<uint32_t>(w);
    }
    sh.ids.resize(w);
    sh.key.resize(n);
    sh.count.resize(n);
    for (const Scratch::Slot& sl : scr.table)
        if (sl.id1 != 0) {
            sh.key[sl.id1 - 1] = sl.key;
            sh.count[sl.id1 - 1] = uint32_t{sl.more} + 1;
        }
    for (uint32_t id : sh.repeats)
        sh.count[id]++;
    scr.expect = n;
}

void WordStore::gather(const std::vector<uint32_t>& remap, int threads) {
    for (uint32_t b = 0; b < blocks_.size(); b++)
        if (blocks_[b].at[n_shards] > 0)
            order_.push_back(b);
    std::stable_sort(order_.begin(), order_.end(), [&](uint32_t a, uint32_t b) { return remap[a] < remap[b]; });
    for (uint32_t b : order_)
        remapped_.push_back(static_cast<uint16_t>(remap[b]));
    shards_.resize(n_shards);
    std::atomic<int> next{0};
    std::array<std::atomic<int>, n_groups> unfinished;
    for (auto& u : unfinished)
        u = group_shards;
    parallel(threads, [&](int) {
        Scratch scratch;
        for (int s; (s = next++) < n_shards;) {
            gather_shard(s, scratch);
            if (--unfinished[static_cast<size_t>(s / group_shards)] == 0)
                rooms_[static_cast<size_t>(s / group_shards)].reset();
        }
    });
    rooms_.clear();
    std::vector<Block>().swap(blocks_);
}

size_t WordStore::words() const {
    size_t n = 0;
    for (const auto& s : shards_)
        n += s.key.size();
    return n;
}

// Each word's place in the order: by bucket, then shard by shard in key
// order. Each shard counts its words per bucket, so that it knows where its
// words of each bucket begin and places them on its own: at[s * buckets + b]
// is where shard s's words of bucket b begin.
std::vector<uint32_t> WordStore::bucket_starts(uint32_t buckets, const BucketOf& bucket_of, int threads) {
    const size_t nb = buckets;
    std::vector<uint32_t> at(size_t{n_shards} * nb, 0);
    std::atomic<int> next{0};
    parallel(threads, [&](int) {
        for (int s; (s = next++) < n_shards;) {
            const Shard& sh = shards_[static_cast<size_t>(s)];
            uint32_t* mine = at.data() + static_cast<size_t>(s) * nb;
            for (size_t id = 0; id < sh.key.size(); id++)
                mine[bucket_of(sh.key[id], sh.count[id])]++;
        }
    });
    uint32_t placed = 0;
    for (size_t b = 0; b < nb; b++)
        for (size_t s = 0; s < size_t{n_shards}; s++) {
            const uint32_t c = at[s * nb + b];
            at[s * nb + b] = placed;
            placed += c;
        }
    return at;
}

// The words' keys in their places (at as bucket_starts gives it), and
// start[w] their blocks' start; each shard's count[id] becomes its word's
// place. A shard's words are put in order by bucket, then key, on their own.
Words WordStore::place_keys(uint32_t buckets, const BucketOf& bucket_of, std::vector<uint32_t> at, int threads) {
    const size_t n = words();
    const size_t nb = buckets;
    Words out;
    indexlib::reserve_huge(out.key, n);
    out.key.resize(n);
    indexlib::reserve_huge(out.start, n + 1);
    out.start.assign(n + 1, 0);
    std::atomic<int> next{0};
    parallel(threads, [&](int) {
        std::vector<uint32_t> end(nb), bucket;
        std::vector<std::pair<uint64_t, uint32_t>> sorted;
        for (int s; (s = next++) < n_shards;) {
            Shard& sh = shards_[static_cast<size_t>(s)];
            const size_t words = sh.key.size();
            std::fill(end.begin(), end.end(), 0);
            bucket.resize(words);
            for (size_t id = 0; id < words; id++) {
                const uint32_t b = bucket_of(sh.key[id], sh.count[id]);
                bucket[id] = b;
                end[b]++;
            }
            uint32_t sum = 0;
            for (uint32_t& e : end) {
                sum += e;
                e = sum - e;
            }
            sorted.resize(words);
            for (size_t id = 0; id < words; id++)
                sorted[end[bucket[id]]++] = {sh.key[id], static_cast<uint32_t>(id)};
            // The blocks proper, each once.
            for (uint32_t id : sh.repeats)
                sh.count[id]--;
            // Now end[b] is where bucket b's words end; each bucket's few
            // words in key order.
            uint32_t from = 0;
            for (size_t b = 0; b < nb; b++) {
                auto* first = sorted.data() + from;
                auto* last = sorted.data() + end[b];
                if (last - first > 16) {
                    std::sort(first, last);
                } else {
                    for (auto* i = first + 1; i < last; i++)
                        for (auto* j = i; j > first && j[-1].first > j[0].first; j--)
                            std::swap(j[-1], j[0]);
                }
                uint32_t* mine = at.data() + static_cast<size_t>(s) * nb + b;
                for (auto* i = first; i < last; i++) {
                    const uint32_t pos = (*mine)++;
                    out.key[pos] = i->first;
                    out.start[pos] = sh.count[i->second];
                    sh.count[i->second] = pos;
                }
                from = end[b];
            }
            std::vector<uint64_t>().swap(sh.key);
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
        too_large();
    indexlib::reserve_huge(out.blocks, total);
    out.blocks.resize(total);
    return out;
}

// The blocks, shard by shard: a shard's words are its own, so shards go side
// by side, and its blocks come in ascending, so each word's come out in
// order. The store is spent.
void WordStore::fill_blocks(Words& out, int threads) {
    const size_t n = out.size();
    // start[w] runs to the end of w's blocks meanwhile.
    std::atomic<int> next{0};
    parallel(threads, [&](int) {
        for (int s; (s = next++) < n_shards;) {
            Shard& sh = shards_[static_cast<size_t>(s)];
            for (size_t i = 0; i < remapped_.size(); i++) {
                const uint16_t block = remapped_[i];
                for (uint32_t j = sh.seg[i]; j < sh.seg[i + 1]; j++)
                    out.blocks[out.start[sh.count[sh.ids[j]]]++] = block;
            }
            sh = Shard{};
        }
    });
    shards_.clear();
    for (size_t w = n; w > 0; w--)
        out.start[w] = out.start[w - 1];
    out.start[0] = 0;
}

Words WordStore::take_words(uint32_t buckets, const BucketOf& bucket_of, int threads) {
    Words out = place_keys(buckets, bucket_of, bucket_starts(buckets, bucket_of, threads), threads);
    fill_blocks(out, threads);
    return out;
}

}  // namespace builder
