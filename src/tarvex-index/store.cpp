#include "store.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>

#include "common.h"

namespace builder {

namespace {

// A 64-bit mix of a key, one to one: its top bits pick the cell and so the
// shard, its low bits the slot.
inline uint64_t mix(uint64_t k) {
    k ^= k >> 33;
    k *= 0xFF51AFD7ED558CCDull;
    k ^= k >> 33;
    k *= 0xC4CEB9FE1A85EC53ull;
    k ^= k >> 33;
    return k;
}

// The key of a mix: each step undone (a shift by 33 undoes itself).
inline uint64_t unmix(uint64_t m) {
    m ^= m >> 33;
    m *= 0x9CB4B2F8129337DBull;
    m ^= m >> 33;
    m *= 0x4F74430C22A54005ull;
    m ^= m >> 33;
    return m;
}

static_assert(0xC4CEB9FE1A85EC53ull * 0x9CB4B2F8129337DBull == 1 && 0xFF51AFD7ED558CCDull * 0x4F74430C22A54005ull == 1);

// A mix without its cell, in 7 bytes.
inline void put7(uint8_t* p, uint64_t m) {
    const auto lo = static_cast<uint32_t>(m);
    const auto mid = static_cast<uint16_t>(m >> 32);
    memcpy(p, &lo, 4);
    memcpy(p + 4, &mid, 2);
    p[6] = static_cast<uint8_t>(m >> 48);
}

inline uint64_t get7(const uint8_t* p) {
    uint32_t lo;
    uint16_t mid;
    memcpy(&lo, p, 4);
    memcpy(&mid, p + 4, 2);
    return uint64_t{p[6]} << 48 | uint64_t{mid} << 32 | lo;
}

constexpr size_t entry_bytes = 7;

// Far past any index that fits 2 GiB: 64 shards of 16 million words.
constexpr uint32_t max_shard_words = (1u << 24) - 1;

[[noreturn]] void too_large() { fail("the index would be larger than 2 GiB, the limit of its offsets"); }

using Chunk = std::unique_ptr<uint8_t[]>;

// In small pages: the rooms are filled at many points at once, and a huge
// page begun at each of them would hold tens of megabytes unused.
Chunk make_chunk(size_t bytes) { return Chunk(new uint8_t[bytes]); }

}  // namespace

// Room that is filled from the front in chunks that never move, so that a
// thread fills its part without the lock. Chunks are handed on to be used
// again: memory once faulted in is cheaper than fresh.
struct WordStore::Room {
    static constexpr size_t chunk = size_t{8} << 20;
    std::vector<Chunk> chunks;
    std::vector<Chunk> own;   // large parts, each in room of its own
    uint8_t* at = nullptr;
    size_t left = 0;

    // Room for bytes, 8-byte aligned; spare's chunks are used first.
    uint8_t* take(size_t bytes, Room& spare) {
        bytes = (bytes + 7) & ~size_t{7};
        if (bytes > left) {
            if (bytes > chunk / 2) {
                own.push_back(make_chunk(bytes));
                return own.back().get();
            }
            if (spare.chunks.empty()) {
                chunks.push_back(make_chunk(chunk));
            } else {
                chunks.push_back(std::move(spare.chunks.back()));
                spare.chunks.pop_back();
            }
            at = chunks.back().get();
            left = chunk;
        }
        uint8_t* p = at;
        at += bytes;
        left -= bytes;
        return p;
    }
    // The chunks that were filled go to spare (the one being filled is
    // mostly untouched, as good as fresh); the rest is given back.
    void give_to(Room& spare) {
        for (size_t c = 0; c + 1 < chunks.size(); c++)
            spare.chunks.push_back(std::move(chunks[c]));
        *this = Room{};
    }
};

// A block's keys by cell: cell c's are at[c + 1] - at[c] mixes without their
// cell, in the part of c's group from at[c] - at[the group's first cell] on.
// A shard's cells are side by side.
struct WordStore::Block {
    uint8_t* part[n_groups] = {};
    uint32_t at[n_cells + 1] = {};
    uint8_t* cell(int c) const {
        const int g = c / group_cells;
        return part[g] + entry_bytes * (at[c] - at[g * group_cells]);
    }
};

// A shard's words once gathered (ids in the order first met).
struct WordStore::Shard {
    uint32_t words = 0;
    uint64_t* key = nullptr;
    // Each word's blocks, counting a block again for each repeat in it (the
    // order by bucket takes them so); once placed, its place.
    uint32_t* count = nullptr;
    uint32_t* ids = nullptr;        // each block's words, block by block in remapped order
    std::vector<uint32_t> seg;      // where each block's words begin in ids
    std::vector<uint32_t> repeats;  // a word's id for each repeat
};

// A thread's table for gathering one shard after another.
struct WordStore::Scratch {
    struct Slot {
        uint64_t mix;
        uint32_t id1;    // 0 empty, else id + 1
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
            size_t p = sl.mix & mask;
            while (bigger[p].id1 != 0)
                p = (p + 1) & mask;
            bigger[p] = sl;
        }
        table.swap(bigger);
    }
};

WordStore::WordStore()
    : spare_(std::make_unique<Room>()), ids_room_(std::make_unique<Room>()), words_room_(std::make_unique<Room>()) {
    for (int g = 0; g < n_groups; g++)
        groups_.push_back(std::make_unique<Room>());
}

WordStore::~WordStore() = default;

void WordStore::add_block(uint32_t block, const uint64_t* keys, size_t n) {
    if (n == 0)
        return;
    if (n > UINT32_MAX)
        too_large();
    Block b;
    for (size_t i = 0; i < n; i++)
        b.at[(mix(keys[i]) >> (64 - cell_bits)) + 1]++;
    for (int c = 0; c < n_cells; c++)
        b.at[c + 1] += b.at[c];
    {
        std::lock_guard<std::mutex> g(m_);
        for (int gr = 0; gr < n_groups; gr++)
            b.part[gr] = groups_[static_cast<size_t>(gr)]->take(
                entry_bytes * (b.at[(gr + 1) * group_cells] - b.at[gr * group_cells]), *spare_);
        if (block >= blocks_.size())
            blocks_.resize(block + 1);
        blocks_[block] = b;
    }
    std::array<uint8_t*, n_cells> to;
    for (int c = 0; c < n_cells; c++)
        to[static_cast<size_t>(c)] = b.cell(c);
    for (size_t i = 0; i < n; i++) {
        const uint64_t m = mix(keys[i]);
        uint8_t*& p = to[static_cast<size_t>(m >> (64 - cell_bits))];
        put7(p, m);
        p += entry_bytes;
    }
}

// Shard s's keys, block by block, into its words: a key met again in the
// same block (two texts of equal hash values) counts once.
void WordStore::gather_shard(int s, Scratch& scr) {
    Shard& sh = shards_[static_cast<size_t>(s)];
    const int c0 = s * shard_cells;
    size_t total = 0;
    for (uint32_t b : order_)
        total += blocks_[b].at[c0 + shard_cells] - blocks_[b].at[c0];
    if (total > UINT32_MAX)
        too_large();
    {
        std::lock_guard<std::mutex> g(m_);
        sh.ids = reinterpret_cast<uint32_t*>(ids_room_->take(total * sizeof(uint32_t), *spare_));
    }
    sh.seg.resize(order_.size() + 1);
    sh.seg[0] = 0;
    // The first shard guesses from its entries and grows if it must.
    size_t cap = 1 << 10;
    while (cap < 2 * (scr.expect ? scr.expect : total / 8))
        cap *= 2;
    scr.table.assign(cap, Scratch::Slot{});
    uint32_t n = 0;
    uint32_t w = 0;
    uint32_t* ids = sh.ids;
    // The mix of entry j of the shard's run in a block, its cell told by
    // where the cells begin.
    auto mix_at = [c0](const Block& blk, const uint8_t* run, uint32_t j) {
        const uint32_t a = blk.at[c0] + j;
        const auto c =
            static_cast<uint64_t>(c0 + (a >= blk.at[c0 + 1]) + (a >= blk.at[c0 + 2]) + (a >= blk.at[c0 + 3]));
        return c << (64 - cell_bits) | get7(run + entry_bytes * j);
    };
    static_assert(shard_cells == 4, "mix_at counts four cells");
    for (size_t i = 0; i < order_.size(); i++) {
        const Block& blk = blocks_[order_[i]];
        const uint8_t* run = blk.cell(c0);
        const uint32_t len = blk.at[c0 + shard_cells] - blk.at[c0];
        if (i + 1 < order_.size()) {
            const Block& next = blocks_[order_[i + 1]];
            const uint8_t* from = next.cell(c0);
            const size_t bytes = entry_bytes * (next.at[c0 + shard_cells] - next.at[c0]);
            for (size_t o = 0; o < bytes; o += 64)
                __builtin_prefetch(from + o);
        }
        const uint16_t rb = remapped_[i];
        constexpr uint32_t ahead = 8;
        size_t mask = scr.table.size() - 1;
        for (uint32_t j = 0; j < len; j++) {
            if (j + ahead < len)
                __builtin_prefetch(&scr.table[mix_at(blk, run, j + ahead) & mask]);
            const uint64_t m = mix_at(blk, run, j);
            for (size_t p = m & mask;; p = (p + 1) & mask) {
                Scratch::Slot& sl = scr.table[p];
                if (sl.id1 == 0) {
                    if (n == max_shard_words)
                        too_large();
                    sl = Scratch::Slot{m, ++n, rb, 0};
                    ids[w++] = n - 1;
                    if (size_t{n} * 2 > scr.table.size()) {
                        scr.grow();
                        mask = scr.table.size() - 1;
                    }
                    break;
                }
                if (sl.mix == m) {
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
        sh.seg[i + 1] = w;
    }
    sh.words = n;
    {
        std::lock_guard<std::mutex> g(m_);
        sh.key = reinterpret_cast<uint64_t*>(words_room_->take(size_t{n} * sizeof(uint64_t), *spare_));
        sh.count = reinterpret_cast<uint32_t*>(words_room_->take(size_t{n} * sizeof(uint32_t), *spare_));
    }
    for (const Scratch::Slot& sl : scr.table)
        if (sl.id1 != 0) {
            sh.key[sl.id1 - 1] = unmix(sl.mix);
            sh.count[sl.id1 - 1] = uint32_t{sl.more} + 1;
        }
    for (uint32_t id : sh.repeats)
        sh.count[id]++;
    scr.expect = n;
}

void WordStore::gather(const std::vector<uint32_t>& remap, int threads) {
    for (uint32_t b = 0; b < blocks_.size(); b++)
        if (blocks_[b].at[n_cells] > 0)
            order_.push_back(b);
    std::stable_sort(order_.begin(), order_.end(), [&](uint32_t a, uint32_t b) { return remap[a] < remap[b]; });
    for (uint32_t b : order_)
        remapped_.push_back(static_cast<uint16_t>(remap[b]));
    shards_.resize(n_shards);
    std::atomic<int> next{0};
    constexpr int group_shards = group_cells / shard_cells;
    std::array<std::atomic<int>, n_groups> unfinished;
    for (auto& u : unfinished)
        u = group_shards;
    parallel(threads, [&](int) {
        Scratch scratch;
        for (int s; (s = next++) < n_shards;) {
            gather_shard(s, scratch);
            if (--unfinished[static_cast<size_t>(s / group_shards)] == 0) {
                std::lock_guard<std::mutex> g(m_);
                groups_[static_cast<size_t>(s / group_shards)]->give_to(*spare_);
            }
        }
    });
    groups_.clear();
    spare_->chunks.clear();
    std::vector<Block>().swap(blocks_);
}

size_t WordStore::words() const {
    size_t n = 0;
    for (const auto& s : shards_)
        n += s.words;
    return n;
}

// Each word's place in the order: by bucket, then shard by shard in key
// order. Each shard counts its words per bucket, so that it knows where its
// words of each bucket begin and places them on its own: at[s * buckets + b]
// is where shard s's words of bucket b begin.
std::vector<uint32_t> WordStore::bucket_starts(uint32_t buckets, const BucketOf& bucket_of, int threads) {
    const size_t nb = buckets;
    std::vector<uint32_t> at;
    zeros(at, size_t{n_shards} * nb, threads);
    std::atomic<int> next{0};
    parallel(threads, [&](int) {
        for (int s; (s = next++) < n_shards;) {
            const Shard& sh = shards_[static_cast<size_t>(s)];
            uint32_t* mine = at.data() + static_cast<size_t>(s) * nb;
            for (size_t id = 0; id < sh.words; id++)
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

// Each word's place (at as bucket_starts gives it) and start[place] its
// blocks' start; each shard's count[id] becomes its word's place. A shard's
// words are put in order by bucket, then key, on their own.
void WordStore::place(Words& out, uint32_t buckets, const BucketOf& bucket_of, std::vector<uint32_t> at,
                      int threads) {
    const size_t n = words();
    const size_t nb = buckets;
    zeros(out.start, n + 1, threads);
    std::atomic<int> next{0};
    parallel(threads, [&](int) {
        std::vector<uint32_t> end(nb), bucket;
        std::vector<std::pair<uint64_t, uint32_t>> sorted;
        for (int s; (s = next++) < n_shards;) {
            Shard& sh = shards_[static_cast<size_t>(s)];
            const size_t words = sh.words;
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
            std::vector<uint32_t>().swap(sh.repeats);
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
                    out.start[pos] = sh.count[i->second];
                    sh.count[i->second] = pos;
                }
                from = end[b];
            }
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
}

// The blocks, shard by shard: a shard's words are its own, so shards go side
// by side, and its blocks come in ascending, so each word's come out in
// order. The ids are given back.
void WordStore::fill_blocks(Words& out, int threads) {
    const size_t n = out.start.size() - 1;
    zeros(out.blocks, out.start[n], threads);
    // start[w] runs to the end of w's blocks meanwhile.
    std::atomic<int> next{0};
    parallel(threads, [&](int) {
        for (int s; (s = next++) < n_shards;) {
            Shard& sh = shards_[static_cast<size_t>(s)];
            // Each word's start is far from the last: fetched some way ahead.
            const uint32_t end = sh.seg.back();
            constexpr uint32_t ahead = 16;
            for (size_t i = 0; i < remapped_.size(); i++) {
                const uint16_t block = remapped_[i];
                for (uint32_t j = sh.seg[i]; j < sh.seg[i + 1]; j++) {
                    if (j + ahead < end)
                        __builtin_prefetch(&out.start[sh.count[sh.ids[j + ahead]]], 1);
                    out.blocks[out.start[sh.count[sh.ids[j]]]++] = block;
                }
            }
            sh.ids = nullptr;
            std::vector<uint32_t>().swap(sh.seg);
        }
    });
    ids_room_.reset();
    for (size_t w = n; w > 0; w--)
        out.start[w] = out.start[w - 1];
    out.start[0] = 0;
}

// The keys in their places. The store is spent.
void WordStore::fill_keys(Words& out, int threads) {
    zeros(out.key, out.start.size() - 1, threads);
    std::atomic<int> next{0};
    parallel(threads, [&](int) {
        for (int s; (s = next++) < n_shards;) {
            const Shard& sh = shards_[static_cast<size_t>(s)];
            for (uint32_t id = 0; id < sh.words; id++)
                out.key[sh.count[id]] = sh.key[id];
        }
    });
    shards_.clear();
    words_room_.reset();
}

Words WordStore::take_words(uint32_t buckets, const BucketOf& bucket_of, int threads) {
    Words out;
    place(out, buckets, bucket_of, bucket_starts(buckets, bucket_of, threads), threads);
    fill_blocks(out, threads);
    fill_keys(out, threads);
    return out;
}

}  // namespace builder
