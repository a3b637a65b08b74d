#include "layout.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "common.h"
#include "tarvex/hash.h"

namespace builder {

namespace {

constexpr int32_t max_path = 1023;

// Name records for the tree: the stored prefix's directories, then every
// directory that holds an indexed file, numbered as first met.
struct Names {
    indexlib::Index& index;
    const std::vector<std::string>& prefix;
    std::string stored_root;
    std::unordered_map<std::string, int16_t> dirs;   // relative path -> number

    Names(indexlib::Index& ix, const std::vector<std::string>& pre) : index(ix), prefix(pre), stored_root(join(pre)) {}

    int16_t new_dir(int16_t parent, const std::string& name, const std::string& shown) {
        if (name.size() > static_cast<size_t>(max_name))
            fail(shown + ": name of " + std::to_string(name.size()) + " bytes, at most " + std::to_string(max_name));
        if (index.dirs.size() >= static_cast<size_t>(max_dir))
            fail(shown + ": more than " + std::to_string(max_dir) + " directories");
        index.dirs.push_back({parent, name});
        return static_cast<int16_t>(index.dirs.size());
    }

    int16_t root() {
        auto it = dirs.find("");
        if (it != dirs.end())
            return it->second;
        int16_t d = 0;
        std::string shown;
        for (const auto& p : prefix) {
            shown += "/" + p;
            d = new_dir(d, p, shown);
        }
        dirs[""] = d;
        return d;
    }

    int16_t dir(const std::string& rel, const std::string& root_shown) {
        if (rel.empty())
            return root();
        auto it = dirs.find(rel);
        if (it != dirs.end())
            return it->second;
        size_t slash = rel.rfind('/');
        int16_t parent = dir(slash == std::string::npos ? "" : rel.substr(0, slash), root_shown);
        int16_t d = new_dir(parent, slash == std::string::npos ? rel : rel.substr(slash + 1), root_shown + "/" + rel);
        dirs[rel] = d;
        return d;
    }

    void file(const std::string& rel, const std::string& root_shown) {
        const size_t stored = stored_root.size() + 1 + rel.size();
        const std::string shown = root_shown + "/" + rel;
        if (stored > static_cast<size_t>(max_path))
            fail(shown + ": path of " + std::to_string(stored) + " bytes as stored, at most " +
                 std::to_string(max_path));
        size_t slash = rel.rfind('/');
        std::string name = slash == std::string::npos ? rel : rel.substr(slash + 1);
        if (name.size() > static_cast<size_t>(max_name))
            fail(shown + ": name of " + std::to_string(name.size()) + " bytes, at most " + std::to_string(max_name));
        int16_t parent = dir(slash == std::string::npos ? "" : rel.substr(0, slash), root_shown);
        index.files.push_back({parent, std::move(name)});
    }
};

using Span = std::pair<const uint16_t*, const uint16_t*>;

// Bytes of the area naming n blocks: a list while it is no longer than a
// bitmap and holds at most 340 blocks, else a bitmap.
uint32_t area_bytes(uint32_t n, int32_t num_blocks) {
    const uint32_t map_bytes = static_cast<uint32_t>(num_blocks + 7) / 8;
    return n <= static_cast<uint32_t>(max_list_count) && list_bytes(n) <= map_bytes ? list_bytes(n) : map_bytes;
}

uint64_t hash_blocks(const uint16_t* p, size_t n, uint64_t seed = 0) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ (seed * 0xD6E8FEB86659FD93ull) ^ n;
    for (size_t i = 0; i < n; i++) {
        h = (h ^ p[i]) * 0xFF51AFD7ED558CCDull;
        h ^= h >> 31;
    }
    return h;
}

// ---- placement ------------------------------------------------------------------

class Placer {
public:
    Placer(const Words& words, Table& t) : w_(words), t_(t) {}

    Span own(size_t w) const {
        return {w_.blocks.data() + w_.start[w], w_.blocks.data() + w_.start[w + 1]};
    }

    // The blocks entry x at slot k names (tmp holds those of kinds 1 and 2).
    Span blocks_at(uint32_t k, uint32_t x, uint16_t* tmp) const {
        switch (entry_kind(x)) {
        case 1:
            tmp[0] = static_cast<uint16_t>(x & 0xFFF);
            return {tmp, tmp + 1};
        case 2:
            tmp[0] = static_cast<uint16_t>(x & 0xFFF);
            tmp[1] = static_cast<uint16_t>((x >> 12) & 0xFFF);
            return {tmp, tmp + 2};
        default: {
            return area_blocks(t_.areas[t_.area_of(k)]);
        }
        }
    }

    Span area_blocks(const Table::Area& a) const {
        if (a.names & Table::Area::is_merged) {
            const auto& m = t_.merged[a.names & ~Table::Area::is_merged];
            return {m.data(), m.data() + m.size()};
        }
        return own(a.names);
    }

    bool covers(uint32_t k, uint32_t x, size_t w) const {
        uint16_t tmp[2];
        Span have = blocks_at(k, x, tmp), want = own(w);
        return std::includes(have.first, have.second, want.first, want.second);
    }

    // The slot where the search's probe of word w stops: an empty one or an
    // entry it accepts; -1 when the probe exhausts its bound.
    int64_t stop_of(size_t w) const {
        const uint64_t key = w_.key[w];
        return indexlib::probe_stop(key_h(key), key_r(key), t_.prime, [this](uint32_t k) { return t_.entry[k]; });
    }

    // The slot of the entry that the search's probe of word w accepts, or -1.
    int64_t end_of(size_t w) const {
        const int64_t k = stop_of(w);
        return k >= 0 && t_.entry[static_cast<size_t>(k)] != 0 ? k : -1;
    }

    bool sound(size_t w) const {
        const int64_t k = end_of(w);
        return k >= 0 && covers(static_cast<uint32_t>(k), t_.entry[static_cast<size_t>(k)], w);
    }

    // Probes for word w and claims the first empty slot or shares the first
    // entry it would accept; false when the probe exhausts its bound.
    bool place(size_t w) {
        const int64_t at = stop_of(w);
        if (at < 0)
            return false;
        const auto k = static_cast<uint32_t>(at);
        const uint32_t x = t_.entry[k];
        if (x == 0) {
            const uint32_t r = key_r(w_.key[w]);
            claim(k, w, check6(r), check16(r));
        } else if (!covers(k, x, w)) {
            merge(k, x, w);
        }
        return true;
    }

private:
    uint32_t new_area(uint32_t k, uint32_t names) {
        const auto a = static_cast<uint32_t>(t_.areas.size());
        t_.areas.push_back({names, 0});
        if (a < Table::big_area)
            return a;
        t_.big[k] = a;
        return Table::big_area;
    }

    void claim(uint32_t k, size_t w, uint32_t r6, uint32_t r16) {
        Span b = own(w);
        const auto n = b.second - b.first;
        t_.r6[k] = static_cast<uint8_t>(r6);
        if (n == 1)
            t_.entry[k] = indexlib::kind1(r16, b.first[0]);
        else if (n == 2)
            t_.entry[k] = indexlib::kind2(r6, b.first[0], b.first[1]);
        else
            t_.entry[k] = indexlib::kind0(r6) | new_area(k, static_cast<uint32_t>(w));
    }

    void merge(uint32_t k, uint32_t x, size_t w) {
        uint16_t tmp[2];
        Span have = blocks_at(k, x, tmp), want = own(w);
        std::vector<uint16_t> both;
        std::set_union(have.first, have.second, want.first, want.second, std::back_inserter(both));
        if (entry_kind(x) == 0) {
            Table::Area& a = t_.areas[t_.area_of(k)];
            if (a.names & Table::Area::is_merged) {
                t_.merged[a.names & ~Table::Area::is_merged] = std::move(both);
            } else {
                a.names = Table::Area::is_merged | static_cast<uint32_t>(t_.merged.size());
                t_.merged.push_back(std::move(both));
            }
            return;
        }
        // An entry of one or two blocks grows: its check code becomes the
        // claimer's 6-bit one.
        const uint32_t r6 = t_.r6[k] & 0x3F;
        if (both.size() == 2) {
            t_.entry[k] = indexlib::kind2(r6, both[0], both[1]);
            return;
        }
        const auto m = static_cast<uint32_t>(t_.merged.size());
        t_.merged.push_back(std::move(both));
        t_.entry[k] = indexlib::kind0(r6) | new_area(k, Table::Area::is_merged | m);
    }

    const Words& w_;
    Table& t_;
};

}  // namespace

// ---- blocks and names -----------------------------------------------------------

std::vector<uint32_t> plan_blocks(const std::vector<FileEntry>& files, int32_t want) {
    int64_t total = 0;
    for (const auto& f : files)
        total += f.size;
    std::vector<uint32_t> first;
    int64_t offset = 0, block_start = 0;
    for (size_t i = 0; i < files.size(); i++) {
        const int64_t size = files[i].size;
        const auto opened = static_cast<int64_t>(first.size());
        // Each block takes about an equal share of the bytes still to come, so
        // that a large file, which fills a block alone, leaves the other
        // blocks to the rest.
        if (opened == 0 ||
            (opened < want && offset - block_start + size / 2 >= (total - block_start) / (want - opened + 1))) {
            first.push_back(static_cast<uint32_t>(i));
            block_start = offset;
        }
        offset += size;
    }
    return first;
}

Named name_files(const Tree& tree, const std::vector<uint32_t>& plan, const std::vector<uint8_t>& status,
                 const std::vector<int64_t>& bytes) {
    Named out;
    Names names(out.index, tree.prefix);
    names.root();
    out.remap.assign(plan.size(), 0);
    const std::string root_shown = tree.root;
    for (size_t s = 0; s < plan.size(); s++) {
        const size_t end = s + 1 < plan.size() ? plan[s + 1] : tree.files.size();
        bool opened = false;
        for (size_t i = plan[s]; i < end; i++) {
            if (status[i] == file_binary) {
                out.binary++;
                continue;
            }
            if (status[i] == file_unreadable) {
                out.unreadable++;
                continue;
            }
            if (!opened) {
                out.index.blocks.push_back(static_cast<int32_t>(out.index.files.size()));
                out.block_bytes.push_back(0);
                opened = true;
            }
            out.remap[s] = static_cast<uint32_t>(out.index.blocks.size() - 1);
            names.file(tree.files[i].rel, root_shown);
            out.block_bytes.back() += bytes[i];
            out.bytes += bytes[i];
        }
    }
    return out;
}

// ---- placement --------------------------------------------------------------------

uint32_t first_prime(size_t words, uint32_t hash_slots) {
    if (hash_slots)
        return indexlib::next_prime(hash_slots);
    const uint64_t want = 2 * uint64_t{words} + 1;
    if (want > 0x7FFFFFFF / 4)
        fail("the index would be larger than 2 GiB, the limit of its offsets");
    return indexlib::next_prime(static_cast<uint32_t>(want));
}

namespace {
constexpr uint32_t size_classes = 13;   // 1, 2, 3-4, 5-8, ..., 2049-4096 blocks
}

uint32_t order_buckets(uint32_t prime) { return size_classes * ((prime >> 12) + 1); }

uint32_t order_bucket(uint64_t key, uint32_t blocks, uint32_t prime) {
    const uint32_t size_class = blocks <= 1 ? 0 : std::min<uint32_t>(size_classes - 1, std::bit_width(blocks - 1));
    return size_class * ((prime >> 12) + 1) + (key_h(key) % prime >> 12);
}

uint32_t Table::area_of(uint32_t slot) const {
    const uint32_t a = entry[slot] & 0xFFFFFF;
    return a == big_area ? big.at(slot) : a;
}

Table place(const Words& words, uint32_t prime, int threads) {
    const size_t n = words.size();
    const size_t range = 1 << 15;
    for (;;) {
        Table t;
        t.prime = prime;
        indexlib::reserve_huge(t.entry, prime);
        t.entry.assign(prime, 0);
        indexlib::reserve_huge(t.r6, prime);
        t.r6.assign(prime, 0);
        Placer p(words, t);
        bool ok = true;
        for (size_t w = 0; w < n && ok; w++)
            ok = p.place(w);
        // A grown entry changes its check code from the 16-bit one to the
        // 6-bit one, which can capture or release other words' probes: rounds
        // repeat until every probe ends on an entry that covers its word.
        // Entries only grow, so this ends.
        while (ok) {
            std::vector<std::vector<uint32_t>> again(static_cast<size_t>(threads));
            std::atomic<size_t> next{0};
            parallel(threads, [&](int th) {
                for (size_t from; (from = next.fetch_add(range)) < n;)
                    for (size_t w = from; w < std::min(n, from + range); w++)
                        if (!p.sound(w))
                            again[static_cast<size_t>(th)].push_back(static_cast<uint32_t>(w));
            });
            std::vector<uint32_t> redo;
            for (auto& v : again)
                redo.insert(redo.end(), v.begin(), v.end());
            if (redo.empty())
                break;
            std::sort(redo.begin(), redo.end());
            for (size_t i = 0; i < redo.size() && ok; i++)
                ok = p.place(redo[i]);
        }
        if (!ok) {
            prime = indexlib::next_prime(prime + 1);
            continue;
        }
        // Where each lookup ends: entries that several words end on, and the
        // words on each area (for the area budget).
        std::atomic<size_t> next{0}, shared{0};
        parallel(threads, [&](int) {
            size_t mine = 0;
            for (size_t from; (from = next.fetch_add(range)) < n;)
                for (size_t w = from; w < std::min(n, from + range); w++) {
                    const auto k = static_cast<uint32_t>(p.end_of(w));
                    if (std::atomic_ref<uint8_t>(t.r6[k]).fetch_or(0x80) & 0x80)
                        mine++;
                    if (entry_kind(t.entry[k]) == 0)
                        std::atomic_ref<uint32_t>(t.areas[t.area_of(k)].words).fetch_add(1);
                }
            shared += mine;
        });
        t.shared = shared;
        return t;
    }
}

// ---- the area budget ------------------------------------------------------------------

namespace {

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
               const std::vector<int64_t>& block_bytes)
        : num_blocks_(static_cast<int32_t>(block_bytes.size())) {
        prefix_.assign(block_bytes.size() + 1, 0);
        for (size_t b = 0; b < block_bytes.size(); b++)
            prefix_[b + 1] = prefix_[b] + block_bytes[b];
        const size_t L = leaves.size();
        leaves_ = L;
        for (size_t i = 0; i < L; i++) {
            const Span& s = leaves[i];
            double bytes = 0;
            for (const uint16_t* b = s.first; b < s.second; b++)
                bytes += static_cast<double>(block_bytes[*b]);
            bytes = std::max(bytes, 1.0);
            add_node(0, area_bytes(static_cast<uint32_t>(s.second - s.first), num_blocks_), bytes);
            words_[i] = leaf_words[i];
            share_[i] = leaf_words[i] / bytes;
        }
        int top = 0;
        while (((num_blocks_ - 1) >> top) > 0)
            top++;
        // Level by level: each set's groups, halved, give its parent set. A
        // set coarsened from one set only is never worth storing (it names
        // more blocks in no fewer bytes), so it gets no node: its child
        // stands for it. The root (every block) always has one.
        std::vector<uint16_t> pool, next_pool;
        std::vector<uint32_t> at, next_at;
        std::vector<uint32_t> stands = std::vector<uint32_t>(L), next_stands, first_child, children;
        for (uint32_t i = 0; i < L; i++)
            stands[i] = i;
        std::vector<uint16_t> groups;
        size_t count = L;   // sets at this level
        for (int level = 0; level < top; level++) {
            const int k = level + 1;
            next_pool.clear();
            next_at.assign(1, 0);
            first_child.clear();
            children.clear();
            next_stands.clear();
            SetIndex parents(count);
            auto groups_of = [&](size_t e) {
                return level == 0 ? leaves[e] : Span{pool.data() + at[e], pool.data() + at[e + 1]};
            };
            // SetIndex keeps pointers: the pool must not move while it is used.
            size_t room = 0;
            for (size_t e = 0; e < count; e++)
                room += static_cast<size_t>(groups_of(e).second - groups_of(e).first);
            next_pool.reserve(room);
            for (size_t e = 0; e < count; e++) {
                Span g = groups_of(e);
                groups.clear();
                for (const uint16_t* i = g.first; i < g.second; i++)
                    if (groups.empty() || groups.back() != (*i >> 1))
                        groups.push_back(static_cast<uint16_t>(*i >> 1));
                const size_t from = next_pool.size();
                next_pool.insert(next_pool.end(), groups.begin(), groups.end());
                bool fresh;
                const uint32_t p = parents.find_or_add(next_pool.data() + from, next_pool.data() + next_pool.size(), fresh);
                const uint32_t x = stands[e];
                if (fresh) {
                    next_at.push_back(static_cast<uint32_t>(next_pool.size()));
                    first_child.push_back(x);
                    children.push_back(1);
                    next_stands.push_back(none);
                    continue;
                }
                next_pool.resize(from);
                if (++children[p] == 2) {
                    const uint32_t y = add_set_node(k, next_pool.data() + next_at[p], next_pool.data() + next_at[p + 1]);
                    next_stands[p] = y;
                    adopt(y, first_child[p]);
                }
                adopt(next_stands[p], x);
            }
            count = first_child.size();
            for (size_t p = 0; p < count; p++)
                if (next_stands[p] == none)
                    next_stands[p] = k == top ? add_set_node(k, next_pool.data() + next_at[p], next_pool.data() + next_at[p + 1])
                                              : first_child[p];
            if (k == top)
                for (size_t p = 0; p < count; p++)
                    if (children[p] == 1)
                        adopt(next_stands[p], first_child[p]);
            pool.swap(next_pool);
            at.swap(next_at);
            stands.swap(next_stands);
        }
    }

    // The stored bytes when areas cost price each byte.
    double storage(double price) {
        choose(price);
        double total = 0;
        for (size_t v = parent_.size(); v-- > 0;) {
            const bool covered = parent_[v] != none && (covered_[parent_[v]] || chosen_[parent_[v]]);
            covered_[v] = covered;
            if (!covered && (chosen_[v] || v < leaves_))
                total += z_[v];
        }
        return total;
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
    double bytes(uint32_t v) const { return bytes_[v]; }

private:
    static constexpr uint32_t none = UINT32_MAX;

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

    void add_node(uint8_t level, uint32_t z, double bytes) {
        parent_.push_back(none);
        level_.push_back(level);
        z_.push_back(z);
        bytes_.push_back(bytes);
        words_.push_back(0);
        share_.push_back(0);
        best_.push_back(0);
        chosen_.push_back(0);
        covered_.push_back(0);
    }

    void choose(double price) {
        std::fill(best_.begin(), best_.end(), 0.0);
        for (size_t v = 0; v < parent_.size(); v++) {
            double b;
            if (v < leaves_) {
                b = price * z_[v];
                chosen_[v] = 0;
            } else {
                // Every leaf below, its words' candidate bytes times
                // bytes_[v] / (the leaf's bytes), less what they were.
                const double cost = std::max(0.0, bytes_[v] * share_[v] - words_[v]);
                const double collapse = price * z_[v] + cost;
                chosen_[v] = collapse < best_[v];
                b = chosen_[v] ? collapse : best_[v];
            }
            if (parent_[v] != none)
                best_[parent_[v]] += b;
        }
    }

    int32_t num_blocks_;
    std::vector<int64_t> prefix_;
    size_t leaves_ = 0;
    std::vector<uint32_t> parent_;
    std::vector<uint8_t> level_;
    std::vector<double> z_, bytes_, words_, share_, best_;
    std::vector<uint8_t> chosen_, covered_;
};

}  // namespace

indexlib::AreaPieces fit_areas(Table& table, const Words& words, const std::vector<int64_t>& block_bytes,
                               uint32_t area_limit, Widening& widened) {
    const auto num_blocks = static_cast<int32_t>(block_bytes.size());
    Placer p(words, table);
    // The distinct sets of the area entries: the leaves.
    // Each area's words give way to its leaf's number.
    SetIndex leaves(std::min<size_t>(table.areas.size(), 1 << 20));
    std::vector<double> leaf_words;
    double stored = 0;
    for (Table::Area& area : table.areas) {
        Span s = p.area_blocks(area);
        bool fresh;
        const uint32_t leaf = leaves.find_or_add(s.first, s.second, fresh);
        if (fresh) {
            leaf_words.push_back(0);
            stored += area_bytes(static_cast<uint32_t>(s.second - s.first), num_blocks);
        }
        leaf_words[leaf] += area.words;
        area.words = leaf;
    }
    const double budget = static_cast<double>(area_limit) - header_bytes;
    std::vector<Span> leaf_sets(leaves.size());
    for (uint32_t i = 0; i < leaves.size(); i++)
        leaf_sets[i] = leaves.set(i);

    // Each leaf's target: itself, or a coarser set when the areas do not fit.
    std::vector<uint32_t> target(leaves.size());
    for (uint32_t i = 0; i < leaves.size(); i++)
        target[i] = i;
    std::unique_ptr<Coarsening> tree;
    if (stored > budget) {
        tree = std::make_unique<Coarsening>(leaf_sets, leaf_words, block_bytes);
        // The price of a stored byte at which the areas fit, by bisection;
        // past some price all leaves take the root (every block).
        double lo = 0, hi = 1;
        while (tree->storage(hi) > budget && hi < 1e300)
            hi *= 4;
        for (int i = 0; i < 64; i++) {
            const double mid = lo > 0 ? std::sqrt(lo * hi) : hi / 1024;
            if (tree->storage(mid) > budget)
                lo = mid;
            else
                hi = mid;
        }
        tree->storage(hi);
        for (uint32_t i = 0; i < leaves.size(); i++)
            target[i] = tree->target(i);
    }

    // The pieces, in the order of the slots that first name them; equal sets
    // are stored once.
    indexlib::AreaPieces pieces;
    // Leaves are the tree's first nodes: a target is a node number either way.
    std::vector<uint32_t> piece_of_target(tree ? tree->nodes() : leaves.size(), UINT32_MAX);
    std::vector<std::vector<uint16_t>> coarse_sets;
    SetIndex stored_sets(leaves.size());
    std::vector<uint32_t> piece_of_set;
    std::vector<uint16_t> coarse;
    std::vector<uint32_t> named;
    for (uint32_t k = 0; k < table.prime; k++) {
        const uint32_t x = table.entry[k];
        if (x == 0 || entry_kind(x) != 0)
            continue;
        const uint32_t leaf = table.areas[table.area_of(k)].words;
        const uint32_t t = target[leaf];
        uint32_t& piece = piece_of_target[t];
        if (piece == UINT32_MAX) {
            Span s = leaf_sets[leaf];
            if (t != leaf) {
                coarsen(s.first, s.second, tree->level(t), num_blocks, coarse);
                coarse_sets.push_back(coarse);
                s = {coarse_sets.back().data(), coarse_sets.back().data() + coarse_sets.back().size()};
            }
            bool fresh;
            const uint32_t id = stored_sets.find_or_add(s.first, s.second, fresh);
            if (fresh) {
                const auto n = static_cast<uint32_t>(s.second - s.first);
                named.assign(s.first, s.second);
                const bool map = area_bytes(n, num_blocks) != list_bytes(n) || n > static_cast<uint32_t>(max_list_count);
                piece_of_set.push_back(static_cast<uint32_t>(pieces.size()));
                pieces.add(map, map ? indexlib::bitmap(named, num_blocks) : indexlib::block_list(named));
            } else {
                // Sets found equal were stored; drop the copy just made.
                if (t != leaf)
                    coarse_sets.pop_back();
            }
            piece = piece_of_set[id];
        }
        pieces.slot_area.emplace_back(k, piece);
        const uint32_t r6 = entry_check6(x);
        table.entry[k] = pieces.bitmap[piece] ? indexlib::kind0(r6) : indexlib::kind3(r6);
    }
    // What was given up: the words of each widened leaf.
    if (tree) {
        for (uint32_t i = 0; i < leaves.size(); i++) {
            const uint32_t t = target[i];
            if (t == i)
                continue;
            Span s = leaf_sets[i];
            coarsen(s.first, s.second, tree->level(t), num_blocks, coarse);
            if (coarse.size() == static_cast<size_t>(s.second - s.first))
                continue;
            widened.words += static_cast<size_t>(leaf_words[i]);
            widened.before += leaf_words[i] * tree->bytes(i);
            widened.after += leaf_words[i] * tree->bytes(t);
        }
    }
    return pieces;
}

// ---- the index ------------------------------------------------------------------------

std::string check_placed(const std::vector<uint8_t>& bytes, const Words& words, int threads) {
    const indexlib::EntryReader probe(bytes);
    const size_t n = words.size(), range = 1 << 15;
    std::atomic<size_t> next{0}, first_bad{SIZE_MAX};
    parallel(threads, [&](int) {
        for (size_t from; (from = next.fetch_add(range)) < n;)
            for (size_t w = from; w < std::min(n, from + range) && w < first_bad; w++) {
                const uint64_t key = words.key[w];
                const uint32_t x = probe.entry(key_h(key), key_r(key));
                bool ok = x != 0;
                for (uint32_t i = words.start[w]; i < words.start[w + 1] && ok; i++)
                    ok = probe.names(x, words.blocks[i]);
                if (!ok) {
                    size_t seen = first_bad;
                    while (w < seen && !first_bad.compare_exchange_weak(seen, w)) {
                    }
                }
            }
    });
    const size_t w = first_bad;
    if (w == SIZE_MAX)
        return "";
    const uint64_t key = words.key[w];
    const uint32_t x = probe.entry(key_h(key), key_r(key));
    for (uint32_t i = words.start[w]; i < words.start[w + 1]; i++)
        if (x == 0 || !probe.names(x, words.blocks[i]))
            return "the word of hash values " + std::to_string(key_h(key)) + " and " + std::to_string(key_r(key)) +
                   " is not found in block " + std::to_string(words.blocks[i]);
    return "";
}

}  // namespace builder
