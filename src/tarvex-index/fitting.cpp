#include "fitting.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>

#include "common.h"
#include "indexlib/areas.h"
#include "tarvex/index.h"

namespace builder {

namespace {

// Bytes of the area naming n blocks, a list or a bitmap as the writers store it.
uint32_t area_bytes(uint32_t n, int32_t num_blocks) {
    return stored_as_list(n, num_blocks) ? list_bytes(n) : static_cast<uint32_t>(bitmap_bytes(num_blocks));
}

// Only which sets are equal comes out of this hash, never its value, so it
// may read the blocks in the host's byte order. Sets run to thousands of
// blocks: four lanes of four blocks each keep the multiplies side by side.
uint64_t hash_blocks(const uint16_t* p, size_t n) {
    constexpr uint64_t m0 = 0x9E3779B97F4A7C15ull, m1 = 0xD6E8FEB86659FD93ull, m2 = 0xFF51AFD7ED558CCDull,
                       m3 = 0xC4CEB9FE1A85EC53ull;
    uint64_t a = m0 ^ n, b = m1, c = m2, d = m3;
    auto mix = [](uint64_t h, uint64_t x, uint64_t m) {
        h = (h ^ x) * m;
        return h ^ (h >> 29);
    };
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        uint64_t x[4];
        std::memcpy(x, p + i, sizeof x);
        a = mix(a, x[0], m0);
        b = mix(b, x[1], m1);
        c = mix(c, x[2], m2);
        d = mix(d, x[3], m3);
    }
    for (; i + 4 <= n; i += 4) {
        uint64_t x;
        std::memcpy(&x, p + i, sizeof x);
        a = mix(a, x, m0);
    }
    for (; i < n; i++)
        b = mix(b, p[i], m1);
    uint64_t h = a ^ std::rotl(b, 16) ^ std::rotl(c, 32) ^ std::rotl(d, 48);
    h = (h ^ (h >> 33)) * m2;
    h = (h ^ (h >> 33)) * m3;
    return h ^ (h >> 33);
}

// A set of blocks, coarsened to groups of 2^level neighbouring blocks (group
// g holds blocks g << level up to (g + 1) << level): the union of the groups
// that hold any of its blocks.
void coarsen(const uint16_t* b, const uint16_t* e, int level, int32_t num_blocks, std::vector<uint16_t>& out) {
    out.clear();
    for (const uint16_t* i = b; i < e; i++) {
        const uint32_t g = uint32_t{*i} >> level;
        if (!out.empty() && (uint32_t{out.back()} >> level) == g)
            continue;
        const uint32_t hi = std::min<uint32_t>((g + 1) << level, static_cast<uint32_t>(num_blocks));
        for (uint32_t x = g << level; x < hi; x++)
            out.push_back(static_cast<uint16_t>(x));
    }
}

// Distinct sets by content, for sets that stay put while it is used.
class SetIndex {
public:
    explicit SetIndex(size_t expect) {
        size_t n = 1024;
        while (n < 2 * expect)
            n *= 2;
        slots_.assign(n, 0);
    }
    // The number of the set equal to [b, e), added when new (as size()).
    uint32_t find_or_add(const uint16_t* b, const uint16_t* e, bool& fresh) {
        const uint64_t h = hash_blocks(b, static_cast<size_t>(e - b));
        const size_t mask = slots_.size() - 1;
        for (size_t k = h & mask;; k = (k + 1) & mask) {
            const uint32_t v = slots_[k];
            if (v == 0) {
                slots_[k] = static_cast<uint32_t>(sets_.size()) + 1;
                sets_.push_back({b, e});
                hashes_.push_back(h);
                fresh = true;
                if (sets_.size() * 2 > slots_.size())
                    grow();
                return static_cast<uint32_t>(sets_.size() - 1);
            }
            const Span& s = sets_[v - 1];
            if (hashes_[v - 1] == h && s.second - s.first == e - b && std::equal(b, e, s.first)) {
                fresh = false;
                return v - 1;
            }
        }
    }
    size_t size() const { return sets_.size(); }
    Span set(uint32_t i) const { return sets_[i]; }

private:
    void grow() {
        std::vector<uint32_t> bigger(slots_.size() * 2, 0);
        const size_t mask = bigger.size() - 1;
        for (uint32_t i = 0; i < sets_.size(); i++) {
            size_t k = hashes_[i] & mask;
            while (bigger[k] != 0)
                k = (k + 1) & mask;
            bigger[k] = i + 1;
        }
        slots_.swap(bigger);
    }
    std::vector<uint32_t> slots_;
    std::vector<Span> sets_;
    std::vector<uint64_t> hashes_;
};

// Runs work(from, to) over [0, n) in ranges taken in turn by the threads.
void in_ranges(size_t n, int threads, const std::function<void(size_t, size_t)>& work) {
    constexpr size_t range = 1 << 14;
    std::atomic<size_t> next{0};
    parallel(threads, [&](int) {
        for (size_t from; (from = next.fetch_add(range)) < n;)
            work(from, std::min(n, from + range));
    });
}

// Equal sets among n, found on all threads: first[i] is the first set equal
// to set i (i itself when no set before it is). Each thread takes the sets
// whose hash falls in its share and keeps a table of its own, so the answer
// does not depend on the threads.
template <class SetOf>
std::vector<uint32_t> first_equal(size_t n, const std::vector<uint32_t>& hash, const SetOf& set_of, int threads) {
    std::vector<uint32_t> first(n);
    const auto shares = static_cast<uint64_t>(threads);
    // Not the low bits, which pick the slots; a multiply, not a division,
    // which every thread would pay for every set.
    auto share_of = [&](size_t i) { return (hash[i] * 0x9E3779B97F4A7C15ull >> 32) * shares >> 32; };
    parallel(threads, [&](int th) {
        const auto mine = static_cast<uint64_t>(th);
        size_t count = 0;
        for (size_t i = 0; i < n; i++)
            count += share_of(i) == mine;
        size_t size = 1024;
        while (size < count + count / 2)
            size *= 2;
        // A slot holds a set's number in its low bits and the top bits of
        // its hash above them: another set's slot is passed over without a
        // look at that set, which is far away. 32 bits, not 64: with millions
        // of sets these tables are the builder's peak. The number is never
        // all ones, so no slot is taken for empty.
        const uint32_t number_mask = static_cast<uint32_t>((uint64_t{1} << std::bit_width(n)) - 1);
        constexpr uint32_t empty = UINT32_MAX;
        std::vector<uint32_t> slots(size, empty);
        const size_t mask = size - 1;
        constexpr size_t ahead = 16;
        for (size_t i = 0; i < n; i++) {
            if (i + ahead < n)
                __builtin_prefetch(&slots[hash[i + ahead] & mask]);
            if (share_of(i) != mine)
                continue;
            const uint32_t h = hash[i];
            for (size_t k = h & mask;; k = (k + 1) & mask) {
                const uint32_t x = slots[k];
                if (x == empty) {
                    slots[k] = (h & ~number_mask) | static_cast<uint32_t>(i);
                    first[i] = static_cast<uint32_t>(i);
                    break;
                }
                if ((x ^ h) & ~number_mask)
                    continue;
                const uint32_t j = x & number_mask;
                if (hash[j] != h)
                    continue;
                const Span s = set_of(i), t = set_of(j);
                if (t.second - t.first == s.second - s.first && std::equal(s.first, s.second, t.first)) {
                    first[i] = j;
                    break;
                }
            }
        }
    });
    return first;
}

// The coarsening tree over the distinct area sets (the leaves): a node of
// level k is a set coarsened to groups of 2^k blocks, and its parent the same
// set coarsened once more; the root (one group) names every block. Giving
// every leaf below a node the node's set stores one area for all of them.
// Which nodes to do that at is settled by cost and storage: the cost of a
// node is what its leaves' words lose, each word's candidate bytes growing by
// a factor (so that a word of few blocks, which grows the most, keeps its
// blocks the longest); for a price per stored byte, the cheapest choice comes
// out of one pass up the tree, and the price is searched for at which the
// areas fit.
class Coarsening {
public:
    Coarsening(const std::vector<Span>& leaves, const std::vector<double>& leaf_words,
               const std::vector<int64_t>& block_bytes, int threads)
        : num_blocks_(static_cast<int32_t>(block_bytes.size())) {
        prefix_.assign(block_bytes.size() + 1, 0);
        for (size_t b = 0; b < block_bytes.size(); b++)
            prefix_[b + 1] = prefix_[b] + block_bytes[b];
        add_leaves(leaves, leaf_words, block_bytes, threads);
        add_coarser_sets(leaves, threads);
        // What giving each set node's leaves its set costs them, every leaf
        // below it, its words' candidate bytes times file_bytes_[v] / (the
        // leaf's file bytes), less what they were; the same at any price.
        for (size_t v = leaves_; v < parent_.size(); v++)
            cost_.push_back(std::max(0.0, file_bytes_[v] * share_[v] - words_[v]));
        best_.assign(cost_.size(), 0.0);
        group_leaves();
    }

    // The stored bytes when areas cost price each byte. Whole numbers, so
    // that the sum is exact in any order.
    double storage(double price) {
        choose(price);
        uint64_t total = loose_bytes_;
        for (size_t v = parent_.size(); v-- > leaves_;) {
            const uint32_t p = parent_[v];
            const bool covered = p != none && (covered_[p] || chosen_[p]);
            covered_[v] = covered;
            if (!covered && chosen_[v])
                total += area_bytes_[v];
            // Its leaves keep their own areas.
            if (!covered && !chosen_[v])
                total += leaf_bytes_[v - leaves_];
        }
        return static_cast<double>(total);
    }

    // After storage(price): the node each leaf is given (itself when none).
    uint32_t target(size_t leaf) const {
        uint32_t best = static_cast<uint32_t>(leaf);
        for (uint32_t v = parent_[leaf]; v != none; v = parent_[v])
            if (chosen_[v])
                best = v;
        return best;
    }
    int level(uint32_t v) const { return level_[v]; }
    size_t nodes() const { return parent_.size(); }
    double file_bytes(uint32_t v) const { return file_bytes_[v]; }

private:
    static constexpr uint32_t none = UINT32_MAX;

    // The sets of one level, each a run of group numbers in pool (at level
    // 0 the leaves themselves), and the node that stands for each. The pool
    // is not cleared when made: the threads that fill it fault its pages in.
    struct Level {
        std::unique_ptr<uint16_t[]> pool;
        std::vector<uint32_t> at;
        std::vector<uint32_t> stands;
        size_t count = 0;
    };

    // The leaves are the first nodes, of level 0.
    // A leaf's file bytes are summed on all threads, each leaf's in the
    // order of its blocks.
    void add_leaves(const std::vector<Span>& leaves, const std::vector<double>& leaf_words,
                    const std::vector<int64_t>& block_bytes, int threads) {
        leaves_ = leaves.size();
        std::vector<double> files(leaves_);
        in_ranges(leaves_, threads, [&](size_t lo, size_t hi) {
            for (size_t i = lo; i < hi; i++) {
                double bytes = 0;
                for (const uint16_t* b = leaves[i].first; b < leaves[i].second; b++)
                    bytes += static_cast<double>(block_bytes[*b]);
                files[i] = std::max(bytes, 1.0);
            }
        });
        for (size_t i = 0; i < leaves_; i++) {
            const Span& s = leaves[i];
            const double bytes = files[i];
            add_node(0, area_bytes(static_cast<uint32_t>(s.second - s.first), num_blocks_), bytes);
            words_[i] = leaf_words[i];
            share_[i] = leaf_words[i] / bytes;
        }
    }

    // Level by level up to the root: each set's groups, halved, give its
    // parent set. A set coarsened from one set only is never worth storing
    // (it names more blocks in no fewer bytes), so it gets no node: its child
    // stands for it. The root (every block) always has one.
    void add_coarser_sets(const std::vector<Span>& leaves, int threads) {
        int top = 0;
        while (((num_blocks_ - 1) >> top) > 0)
            top++;
        Level sets;
        sets.stands.resize(leaves_);
        for (uint32_t i = 0; i < leaves_; i++)
            sets.stands[i] = i;
        sets.count = leaves_;
        for (int level = 0; level < top; level++)
            sets = coarser(leaves, level, top, std::move(sets), threads);
    }

    // The parents of the sets of one level. Each set is halved and hashed on
    // all threads, in place of the set itself in its level's pool (a set
    // halved is no longer; the leaves get a pool here); equal halves are
    // found on all threads too; then, in set order, the first of equal halves
    // keeps its place in the pool and gives a parent, and the others join it.
    Level coarser(const std::vector<Span>& leaves, int level, int top, Level sets, int threads) {
        const int k = level + 1;
        const size_t count = sets.count;
        std::unique_ptr<uint16_t[]> halves;
        std::vector<size_t> from(count + 1, 0);
        if (level == 0) {
            for (size_t e = 0; e < count; e++)
                from[e + 1] = from[e] + static_cast<size_t>(leaves[e].second - leaves[e].first);
            halves.reset(new uint16_t[from[count]]);
        } else {
            std::copy(sets.at.begin(), sets.at.end(), from.begin());
            halves = std::move(sets.pool);
        }
        std::vector<uint32_t> length(count);
        std::vector<uint32_t> hash(count);
        in_ranges(count, threads, [&](size_t lo, size_t hi) {
            for (size_t e = lo; e < hi; e++) {
                uint16_t* out = halves.get() + from[e];
                const Span g = level == 0 ? leaves[e] : Span{out, halves.get() + from[e + 1]};
                // Without a branch on each group: a half equal to the last
                // is written and then written over. The write never runs
                // ahead of the read, so that a set is halved in place.
                size_t n = 0;
                uint32_t last = UINT32_MAX;
                for (const uint16_t* i = g.first; i < g.second; i++) {
                    const auto half = static_cast<uint16_t>(*i >> 1);
                    out[n] = half;
                    n += half != last;
                    last = half;
                }
                length[e] = static_cast<uint32_t>(n);
                hash[e] = static_cast<uint32_t>(hash_blocks(out, n));
            }
        });
        auto half_of = [&](size_t e) { return Span{halves.get() + from[e], halves.get() + from[e] + length[e]}; };
        std::vector<uint32_t> parent_of = first_equal(count, hash, half_of, threads);
        std::vector<uint32_t>().swap(hash);

        Level next;
        next.at.assign(1, 0);
        std::vector<uint32_t> first_child, children;
        size_t end = 0;   // of the parents' groups, each moved down to follow the one before
        for (size_t e = 0; e < count; e++) {
            // parent_of[j] for j before e already holds j's parent.
            const uint32_t j = parent_of[e];
            const uint32_t x = sets.stands[e];
            if (j == e) {
                std::memmove(halves.get() + end, halves.get() + from[e], length[e] * sizeof(uint16_t));
                end += length[e];
                parent_of[e] = static_cast<uint32_t>(first_child.size());
                next.at.push_back(static_cast<uint32_t>(end));
                first_child.push_back(x);
                children.push_back(1);
                next.stands.push_back(none);
                continue;
            }
            const uint32_t p = parent_of[j];
            parent_of[e] = p;
            if (++children[p] == 2) {
                const uint32_t y = add_set_node(k, halves.get() + next.at[p], halves.get() + next.at[p + 1]);
                next.stands[p] = y;
                adopt(y, first_child[p]);
            }
            adopt(next.stands[p], x);
        }
        next.pool = std::move(halves);
        next.count = first_child.size();
        for (size_t p = 0; p < next.count; p++)
            if (next.stands[p] == none)
                next.stands[p] = k == top ? add_set_node(k, next.pool.get() + next.at[p], next.pool.get() + next.at[p + 1])
                                          : first_child[p];
        if (k == top)
            for (size_t p = 0; p < next.count; p++)
                if (children[p] == 1)
                    adopt(next.stands[p], first_child[p]);
        return next;
    }

    // A node for the groups [b, e) of 2^level blocks each.
    uint32_t add_set_node(int level, const uint16_t* b, const uint16_t* e) {
        uint32_t count = 0;
        int64_t bytes = 0;
        for (const uint16_t* g = b; g < e; g++) {
            const uint32_t lo = uint32_t{*g} << level;
            const uint32_t hi = std::min<uint32_t>((uint32_t{*g} + 1) << level, static_cast<uint32_t>(num_blocks_));
            count += hi - lo;
            bytes += prefix_[hi] - prefix_[lo];
        }
        add_node(static_cast<uint8_t>(level), area_bytes(count, num_blocks_), std::max<double>(1.0, static_cast<double>(bytes)));
        return static_cast<uint32_t>(parent_.size() - 1);
    }

    void adopt(uint32_t parent, uint32_t child) {
        parent_[child] = parent;
        words_[parent] += words_[child];
        share_[parent] += share_[child];
    }

    void add_node(uint8_t level, uint32_t area, double files) {
        parent_.push_back(none);
        level_.push_back(level);
        area_bytes_.push_back(area);
        file_bytes_.push_back(files);
        words_.push_back(0);
        share_.push_back(0);
        chosen_.push_back(0);
        covered_.push_back(0);
    }

    // Every node's parent is a set node, made after all its children: the
    // leaves can go first, and each set node's cheapest cost below it is
    // complete when the pass reaches it, its children's added in node order.
    void choose(double price) {
        // Each set node's leaves first, in leaf order, as they were adopted.
        for (size_t i = 0; i < best_.size(); i++) {
            double sum = 0.0;
            for (uint32_t j = leaf_at_[i]; j < leaf_at_[i + 1]; j++)
                sum += price * leaf_area_[j];
            best_[i] = sum;
        }
        for (size_t v = leaves_; v < parent_.size(); v++) {
            const double collapse = price * area_bytes_[v] + cost_[v - leaves_];
            const double below = best_[v - leaves_];
            chosen_[v] = collapse < below;
            if (parent_[v] != none)
                best_[parent_[v] - leaves_] += chosen_[v] ? collapse : below;
        }
    }

    // The leaves' areas by parent: those of set node leaves_ + i from
    // leaf_at_[i] to leaf_at_[i + 1] in leaf_area_, in leaf order, and their
    // sum; the bytes of the leaves with no parent.
    void group_leaves() {
        const size_t sets = parent_.size() - leaves_;
        leaf_at_.assign(sets + 1, 0);
        leaf_bytes_.assign(sets, 0);
        for (size_t v = 0; v < leaves_; v++)
            if (parent_[v] == none)
                loose_bytes_ += area_bytes_[v];
            else
                leaf_at_[parent_[v] - leaves_ + 1]++;
        for (size_t i = 0; i < sets; i++)
            leaf_at_[i + 1] += leaf_at_[i];
        leaf_area_.resize(leaf_at_[sets]);
        std::vector<uint32_t> put(leaf_at_.begin(), leaf_at_.end() - 1);
        for (size_t v = 0; v < leaves_; v++) {
            if (parent_[v] == none)
                continue;
            const size_t i = parent_[v] - leaves_;
            leaf_area_[put[i]++] = area_bytes_[v];
            leaf_bytes_[i] += area_bytes_[v];
        }
    }

    int32_t num_blocks_;
    std::vector<int64_t> prefix_;   // bytes of the blocks below each block
    size_t leaves_ = 0;
    std::vector<uint32_t> parent_;
    std::vector<uint8_t> level_;
    // Per node: the bytes of its area, the bytes of the files of its blocks
    // (the candidate bytes of a word given it), the words of the leaves below
    // and their words per leaf file byte. Per set node (node leaves_ + i at
    // i): its cost when chosen, less the price of its area, and the cheapest
    // cost below it.
    std::vector<uint32_t> area_bytes_;
    std::vector<double> file_bytes_, words_, share_, cost_, best_;
    std::vector<uint8_t> chosen_, covered_;
    std::vector<uint32_t> leaf_at_, leaf_area_;
    std::vector<uint64_t> leaf_bytes_;
    uint64_t loose_bytes_ = 0;
};

// The distinct block sets of the area entries: the leaves, numbered in the
// order of the areas that first name them. Each area's words give way to its
// leaf's number.
struct Leaves {
    std::vector<double> words;    // words whose lookup ends on each leaf's areas
    std::vector<Span> sets;
    double stored = 0;            // bytes of their areas, each stored once
};

Leaves distinct_sets(Table& table, const Words& words, int32_t num_blocks, int threads) {
    const size_t n = table.areas.size();
    std::vector<uint32_t> hash(n);
    in_ranges(n, threads, [&](size_t from, size_t to) {
        for (size_t i = from; i < to; i++) {
            const Span s = table.area_blocks(table.areas[i], words);
            hash[i] = static_cast<uint32_t>(hash_blocks(s.first, static_cast<size_t>(s.second - s.first)));
        }
    });
    std::vector<uint32_t> leaf_of = first_equal(
        n, hash, [&](size_t i) { return table.area_blocks(table.areas[i], words); }, threads);
    std::vector<uint32_t>().swap(hash);
    Leaves leaves;
    for (size_t i = 0; i < n; i++) {
        Table::Area& area = table.areas[i];
        // leaf_of[j] for j before i already holds j's leaf.
        const uint32_t j = leaf_of[i];
        uint32_t leaf;
        if (j == i) {
            const Span s = table.area_blocks(area, words);
            leaf = static_cast<uint32_t>(leaves.sets.size());
            leaves.sets.push_back(s);
            leaves.words.push_back(0);
            leaves.stored += area_bytes(static_cast<uint32_t>(s.second - s.first), num_blocks);
        } else {
            leaf = leaf_of[j];
        }
        leaf_of[i] = leaf;
        leaves.words[leaf] += area.words;
        area.words = leaf;
    }
    return leaves;
}

// Each leaf's target: itself, or, when the areas do not fit the budget, a
// coarser set of the tree, made here.
std::vector<uint32_t> choose_targets(const Leaves& leaves, const std::vector<int64_t>& block_bytes, double budget,
                                     int threads, std::unique_ptr<Coarsening>& tree) {
    std::vector<uint32_t> target(leaves.sets.size());
    for (uint32_t i = 0; i < leaves.sets.size(); i++)
        target[i] = i;
    if (leaves.stored <= budget)
        return target;
    tree = std::make_unique<Coarsening>(leaves.sets, leaves.words, block_bytes, threads);
    // The price of a stored byte at which the areas fit, by bisection; past
    // some price all leaves take the root (every block).
    double lo = 0, hi = 1;
    while (tree->storage(hi) > budget && hi < 1e300)
        hi *= 4;
    for (int i = 0; i < 64; i++) {
        const double mid = lo > 0 ? std::sqrt(lo * hi) : hi / 1024;
        // Once the middle is an end, every step left would ask the same
        // price again: hi, the end kept for the result, no longer moves.
        if (mid == lo || mid == hi)
            break;
        if (tree->storage(mid) > budget)
            lo = mid;
        else
            hi = mid;
    }
    tree->storage(hi);
    for (uint32_t i = 0; i < leaves.sets.size(); i++)
        target[i] = tree->target(i);
    return target;
}

constexpr size_t slot_range = 1 << 16;   // slots a thread takes at a time

// Where the pieces are named, on all threads: the first slot whose entry is
// given each target (UINT32_MAX for none), and the area entries before
// each range of slots.
void find_named(const Table& table, const std::vector<uint32_t>& target, int threads,
                std::vector<uint32_t>& first_slot, std::vector<size_t>& entries_before) {
    const size_t ranges = (table.prime + slot_range - 1) / slot_range;
    entries_before.assign(ranges + 1, 0);
    std::atomic<size_t> next{0};
    parallel(threads, [&](int) {
        for (size_t r; (r = next++) < ranges;) {
            size_t count = 0;
            const auto to = static_cast<uint32_t>(std::min<size_t>(table.prime, (r + 1) * slot_range));
            for (auto k = static_cast<uint32_t>(r * slot_range); k < to; k++) {
                const uint32_t x = table.entry[k];
                if (x == 0 || entry_kind(x) != kind_bitmap)
                    continue;
                count++;
                std::atomic_ref<uint32_t> first(first_slot[target[table.areas[table.area_of(k)].words]]);
                uint32_t seen = first.load(std::memory_order_relaxed);
                while (k < seen && !first.compare_exchange_weak(seen, k, std::memory_order_relaxed)) {
                }
            }
            entries_before[r + 1] = count;
        }
    });
    for (size_t r = 0; r < ranges; r++)
        entries_before[r + 1] += entries_before[r];
}

// The (first slot, target) of each target some slot names, in slot order:
// by the slot's bits, eleven at a time (a sort of pairs took as long as all
// the rest of ordering the pieces).
std::vector<std::pair<uint32_t, uint32_t>> by_first_slot(const std::vector<uint32_t>& first_slot, uint32_t prime) {
    std::vector<std::pair<uint32_t, uint32_t>> named, other;
    for (uint32_t t = 0; t < first_slot.size(); t++)
        if (first_slot[t] != UINT32_MAX)
            named.emplace_back(first_slot[t], t);
    other.resize(named.size());
    constexpr int digit = 11;
    for (int shift = 0; shift < 32 && (prime - 1) >> shift; shift += digit) {
        std::vector<size_t> at((size_t{1} << digit) + 1, 0);
        for (const auto& p : named)
            at[(p.first >> shift & ((1u << digit) - 1)) + 1]++;
        for (size_t d = 1; d < at.size(); d++)
            at[d] += at[d - 1];
        for (const auto& p : named)
            other[at[p.first >> shift & ((1u << digit) - 1)]++] = p;
        named.swap(other);
    }
    return named;
}

// The pieces, in the order of the slots that first name them, equal sets
// stored once; each area entry gets its final kind. Which set each piece
// holds is settled in that order; the bytes and the entries are written on
// all threads.
indexlib::AreaPieces store_pieces(Table& table, const Leaves& leaves, const std::vector<uint32_t>& target,
                                  const Coarsening* tree, int32_t num_blocks, int threads) {
    // Leaves are the tree's first nodes: a target is a node number either way.
    std::vector<uint32_t> piece_of_target(tree ? tree->nodes() : leaves.sets.size(), UINT32_MAX);
    std::vector<size_t> entries_before;
    find_named(table, target, threads, piece_of_target, entries_before);
    const std::vector<std::pair<uint32_t, uint32_t>> named = by_first_slot(piece_of_target, table.prime);
    // Each named target's leaf, looked up on all threads: the slots are all
    // over the table.
    std::vector<uint32_t> leaf_of(named.size());
    in_ranges(named.size(), threads, [&](size_t from, size_t to) {
        for (size_t i = from; i < to; i++)
            leaf_of[i] = table.areas[table.area_of(named[i].first)].words;
    });

    indexlib::AreaPieces pieces;
    std::vector<Span> piece_set;
    // Leaves are distinct sets: only the coarsened ones can equal another.
    std::vector<std::vector<uint16_t>> coarse_sets;
    std::unique_ptr<SetIndex> stored_sets;
    if (tree)
        stored_sets = std::make_unique<SetIndex>(named.size());
    std::vector<uint32_t> piece_of_set;
    std::vector<uint16_t> coarse;
    piece_set.reserve(named.size());
    pieces.bitmap.reserve(named.size());
    pieces.at.reserve(named.size() + 1);
    for (size_t i = 0; i < named.size(); i++) {
        const uint32_t t = named[i].second, leaf = leaf_of[i];
        Span s = leaves.sets[leaf];
        if (t != leaf) {
            coarsen(s.first, s.second, tree->level(t), num_blocks, coarse);
            coarse_sets.push_back(coarse);
            s = {coarse_sets.back().data(), coarse_sets.back().data() + coarse_sets.back().size()};
        }
        if (stored_sets) {
            bool fresh;
            const uint32_t id = stored_sets->find_or_add(s.first, s.second, fresh);
            if (!fresh) {
                // Sets found equal were stored; drop the copy just made.
                if (t != leaf)
                    coarse_sets.pop_back();
                piece_of_target[t] = piece_of_set[id];
                continue;
            }
            piece_of_set.push_back(static_cast<uint32_t>(piece_set.size()));
        }
        const auto n = static_cast<uint32_t>(s.second - s.first);
        const bool map = !stored_as_list(n, num_blocks);
        piece_of_target[t] = static_cast<uint32_t>(piece_set.size());
        piece_set.push_back(s);
        pieces.bitmap.push_back(map ? 1 : 0);
        pieces.at.push_back(pieces.at.back() + (map ? static_cast<uint32_t>(bitmap_bytes(num_blocks)) : list_bytes(n)));
    }

    pieces.bytes.assign(pieces.at.back(), 0);
    in_ranges(piece_set.size(), threads, [&](size_t from, size_t to) {
        for (size_t p = from; p < to; p++) {
            const Span s = piece_set[p];
            uint8_t* out = pieces.bytes.data() + pieces.at[p];
            if (pieces.bitmap[p])
                indexlib::put_bitmap(s.first, s.second, out);
            else
                indexlib::put_block_list(s.first, s.second, out);
        }
    });

    pieces.slot_area.resize(entries_before.back());
    std::atomic<size_t> next{0};
    parallel(threads, [&](int) {
        for (size_t r; (r = next++) + 1 < entries_before.size();) {
            size_t i = entries_before[r];
            const auto to = static_cast<uint32_t>(std::min<size_t>(table.prime, (r + 1) * slot_range));
            for (auto k = static_cast<uint32_t>(r * slot_range); k < to; k++) {
                const uint32_t x = table.entry[k];
                if (x == 0 || entry_kind(x) != kind_bitmap)
                    continue;
                const uint32_t piece = piece_of_target[target[table.areas[table.area_of(k)].words]];
                pieces.slot_area[i++] = {k, piece};
                const uint32_t rehash6 = entry_rehash6(x);
                table.entry[k] = pieces.bitmap[piece] ? bitmap_entry(rehash6) : list_entry(rehash6);
            }
        }
    });
    return pieces;
}

// What was given up: the words of each widened leaf.
void count_widened(const Leaves& leaves, const std::vector<uint32_t>& target, const Coarsening& tree,
                   int32_t num_blocks, Widening& widened) {
    std::vector<uint16_t> coarse;
    for (uint32_t i = 0; i < leaves.sets.size(); i++) {
        const uint32_t t = target[i];
        if (t == i)
            continue;
        Span s = leaves.sets[i];
        coarsen(s.first, s.second, tree.level(t), num_blocks, coarse);
        if (coarse.size() == static_cast<size_t>(s.second - s.first))
            continue;
        widened.words += static_cast<size_t>(leaves.words[i]);
        widened.before += leaves.words[i] * tree.file_bytes(i);
        widened.after += leaves.words[i] * tree.file_bytes(t);
    }
}

}  // namespace

indexlib::AreaPieces fit_areas(Table& table, const Words& words, const std::vector<int64_t>& block_bytes,
                               uint32_t area_limit, int threads, Widening& widened) {
    const auto num_blocks = static_cast<int32_t>(block_bytes.size());
    const Leaves leaves = distinct_sets(table, words, num_blocks, threads);
    const double budget = static_cast<double>(area_limit) - header_bytes;
    std::unique_ptr<Coarsening> tree;
    const std::vector<uint32_t> target = choose_targets(leaves, block_bytes, budget, threads, tree);
    indexlib::AreaPieces pieces = store_pieces(table, leaves, target, tree.get(), num_blocks, threads);
    if (tree)
        count_widened(leaves, target, *tree, num_blocks, widened);
    return pieces;
}

}  // namespace builder
