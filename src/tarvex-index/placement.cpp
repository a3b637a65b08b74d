#include "placement.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <iterator>

#include "common.h"
#include "indexlib/lookup.h"
#include "indexlib/primes.h"
#include "tarvex/hash.h"

namespace builder {

bool check_every_word = false;

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
    const uint32_t a = entry_offset(entry[slot]);
    return a == big_area ? big.at(slot) : a;
}

Span Table::area_blocks(const Area& a, const Words& words) const {
    if (a.names & Area::is_merged) {
        const auto& m = merged[a.names & ~Area::is_merged];
        return {m.data(), m.data() + m.size()};
    }
    return word_blocks(words, a.names);
}

namespace {

// The first slot of every word's probe, worked out on all threads ahead of
// the placing, which then reads them in order.
std::vector<uint32_t> first_slots(const Words& words, uint32_t prime, int threads) {
    const size_t n = words.size();
    std::vector<uint32_t> first;
    zeros(first, n, threads);
    constexpr size_t range = 1 << 16;
    std::atomic<size_t> next{0};
    parallel(threads, [&](int) {
        for (size_t from; (from = next.fetch_add(range)) < n;)
            for (size_t w = from; w < std::min(n, from + range); w++)
                first[w] = key_h(words.key[w]) % prime;
    });
    return first;
}

// Whether slot k is set in a bitmap of slots.
bool marked(const std::vector<uint64_t>& marks, uint32_t k) { return marks[k >> 6] >> (k & 63) & 1; }

class Placer {
public:
    Placer(const Words& words, const std::vector<uint32_t>& first, Table& t) : w_(words), first_(first), t_(t) {}

    // The blocks entry x at slot k names (tmp holds those of kinds 1 and 2).
    Span blocks_at(uint32_t k, uint32_t x, uint16_t* tmp) const {
        if (entry_has_area(x))
            return t_.area_blocks(t_.areas[t_.area_of(k)], w_);
        for (uint32_t i = 0; i < inline_count(x); i++)
            tmp[i] = static_cast<uint16_t>(inline_block(x, i));
        return {tmp, tmp + inline_count(x)};
    }

    bool covers(uint32_t k, uint32_t x, size_t w) const {
        uint16_t tmp[2];
        Span have = blocks_at(k, x, tmp), want = word_blocks(w_, w);
        return std::includes(have.first, have.second, want.first, want.second);
    }

    // The probe's first slot for a word some way ahead of w (below end),
    // fetched into the cache while word w is worked on: the slots are all
    // over a table far larger than the cache. Checking marks the slot the
    // probe ends on, mostly that one: its check code is fetched too.
    void fetch_ahead_to_mark(size_t w, size_t end) const {
        if (w + ahead < end) {
            __builtin_prefetch(t_.entry.data() + first_[w + ahead]);
            __builtin_prefetch(t_.claimer_rehash6.data() + first_[w + ahead], 1);
        }
    }

    // The same for placing, which mostly claims that slot: its claimer's
    // check code is written too.
    void fetch_ahead_to_claim(size_t w, size_t end) const {
        if (w + ahead < end) {
            __builtin_prefetch(t_.entry.data() + first_[w + ahead], 1);
            __builtin_prefetch(t_.claimer_rehash6.data() + first_[w + ahead], 1);
        }
    }

    // Where the search's probe of word w stops.
    probe_stop stop_of(size_t w) const {
        const uint32_t r = key_r(w_.key[w]);
        return probe_walk(first_[w], rehash6_of(r), rehash16_of(r), t_.prime,
                          [this](uint32_t k) { return t_.entry[k]; });
    }

    // Where the search's probe of word w stops when that entry names all of
    // its blocks, else slot -1.
    probe_stop sound_end(size_t w) const {
        const probe_stop stop = stop_of(w);
        if (stop.entry != 0 && covers(static_cast<uint32_t>(stop.slot), stop.entry, w))
            return stop;
        return {-1, 0, 0};
    }

    // The slot word w's probe reaches after the given steps, from the
    // probe's rule alone.
    uint32_t slot_after(size_t w, uint32_t steps) const {
        uint32_t k = first_[w];
        const uint32_t rehash6 = rehash6_of(key_r(w_.key[w]));
        for (uint32_t t = 0; t < steps; t++)
            k = probe_next(k, rehash6, static_cast<uint16_t>(t), t_.prime);
        return k;
    }

    // Whether word w's probe, over its first steps + 1 slots, meets a slot
    // set in marks.
    bool meets(size_t w, uint32_t steps, const std::vector<uint64_t>& marks) const {
        uint32_t k = first_[w];
        const uint32_t rehash6 = steps ? rehash6_of(key_r(w_.key[w])) : 0;
        for (uint32_t t = 0;; t++) {
            if (marked(marks, k))
                return true;
            if (t == steps)
                return false;
            k = probe_next(k, rehash6, static_cast<uint16_t>(t), t_.prime);
        }
    }

    // Probes for word w and claims the first empty slot or shares the first
    // entry it would accept. Returns where the probe stopped, with the entry
    // there before; slot -1 when the probe exhausts its bound.
    probe_stop place(size_t w) {
        const probe_stop stop = stop_of(w);
        if (stop.slot < 0)
            return stop;
        const auto k = static_cast<uint32_t>(stop.slot);
        if (stop.entry == 0) {
            const uint32_t r = key_r(w_.key[w]);
            claim(k, w, rehash6_of(r), rehash16_of(r));
        } else if (!covers(k, stop.entry, w)) {
            merge(k, stop.entry, w);
        }
        return stop;
    }

private:
    static constexpr size_t ahead = 32;

    uint32_t new_area(uint32_t k, uint32_t names) {
        const auto a = static_cast<uint32_t>(t_.areas.size());
        t_.areas.push_back({names, 0});
        if (a < Table::big_area)
            return a;
        t_.big[k] = a;
        return Table::big_area;
    }

    void claim(uint32_t k, size_t w, uint32_t rehash6, uint32_t rehash16) {
        Span b = word_blocks(w_, w);
        const auto n = b.second - b.first;
        t_.claimer_rehash6[k] = static_cast<uint8_t>(rehash6);
        if (n == 1)
            t_.entry[k] = one_block_entry(rehash16, b.first[0]);
        else if (n == 2)
            t_.entry[k] = two_block_entry(rehash6, b.first[0], b.first[1]);
        else
            t_.entry[k] = bitmap_entry(rehash6) | new_area(k, static_cast<uint32_t>(w));
    }

    void merge(uint32_t k, uint32_t x, size_t w) {
        uint16_t tmp[2];
        Span have = blocks_at(k, x, tmp), want = word_blocks(w_, w);
        std::vector<uint16_t> both;
        std::set_union(have.first, have.second, want.first, want.second, std::back_inserter(both));
        if (entry_kind(x) == kind_bitmap) {
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
        const uint32_t rehash6 = t_.claimer_rehash6[k] & 0x3F;
        if (both.size() == 2) {
            t_.entry[k] = two_block_entry(rehash6, both[0], both[1]);
            return;
        }
        const auto m = static_cast<uint32_t>(t_.merged.size());
        t_.merged.push_back(std::move(both));
        t_.entry[k] = bitmap_entry(rehash6) | new_area(k, Table::Area::is_merged | m);
    }

    const Words& w_;
    const std::vector<uint32_t>& first_;
    Table& t_;
};

constexpr size_t range = 1 << 15;   // words a thread takes at a time

// The slots marked as some lookup's end.
size_t ends_marked(const Table& t, int threads) {
    const size_t n = t.claimer_rehash6.size();
    constexpr size_t piece = 1 << 20;
    std::atomic<size_t> next{0}, marked{0};
    parallel(threads, [&](int) {
        size_t mine = 0;
        for (size_t from; (from = next.fetch_add(piece)) < n;)
            for (size_t k = from; k < std::min(n, from + piece); k++)
                mine += t.claimer_rehash6[k] >> 7;
        marked += mine;
    });
    return marked;
}

constexpr uint8_t steps_unknown = 0xFF;

// What the rounds of checking carry from one to the next.
struct Rounds {
    // How many slots each sound word's probe passed over before its end, as
    // the last round that checked it found; steps_unknown for a word to be
    // placed again, or one whose probe ran too long to note (then the next
    // round checks every word).
    std::vector<uint8_t> steps;
    size_t sound = 0;                      // words whose probe ends on an entry naming all their blocks
    std::atomic<bool> long_probe = false;  // some sound word's steps are unknown
    // Word w's probe, as checked: steps_unknown when it is not sound.
    void note(size_t w, const probe_stop& end) {
        if (end.slot < 0) {
            steps[w] = steps_unknown;
            return;
        }
        steps[w] = static_cast<uint8_t>(std::min<uint32_t>(end.steps, steps_unknown));
        if (end.steps >= steps_unknown)
            long_probe.store(true, std::memory_order_relaxed);
    }
};

void mark_end(Table& t, uint32_t k) {
    // Only bit 7 ever changes here, so a plain store of it is safe beside
    // other threads' and needs no locked operation.
    std::atomic_ref<uint8_t> mark(t.claimer_rehash6[k]);
    const uint8_t c = mark.load(std::memory_order_relaxed);
    if (!(c & 0x80))
        mark.store(c | 0x80, std::memory_order_relaxed);
}

// Each word in turn, its steps noted and its end counted as a round of
// checking counts it, so that the first round need check only the words
// that later placings can concern. Only an entry on a word's path that
// changes after the word was placed can move where its probe ends: a claim
// takes an empty slot, which no earlier probe passed over, and an entry of
// three blocks or more keeps its value as it grows. grown gets each slot
// whose entry grew out of one or two blocks, with its entry before. False
// when some probe exhausts its bound.
bool place_in_order(Placer& p, Table& t, size_t n, Rounds& rounds,
                    std::unordered_map<uint32_t, uint32_t>& grown) {
    for (size_t w = 0; w < n; w++) {
        p.fetch_ahead_to_claim(w, n);
        const probe_stop stop = p.place(w);
        if (stop.slot < 0)
            return false;
        rounds.note(w, stop);
        const auto k = static_cast<uint32_t>(stop.slot);
        const uint32_t x = t.entry[k];
        if (stop.entry != 0 && x != stop.entry)
            grown.emplace(k, stop.entry);
        mark_end(t, k);
        if (entry_kind(x) == kind_bitmap)
            t.areas[t.area_of(k)].words++;
    }
    return true;
}

// The words whose probe no longer ends on an entry naming all their blocks,
// in order. Meanwhile, where each lookup ends is counted as if this were the
// last round: entries that several words end on, and the words on each area
// (for the area budget); and each word's steps are noted.
std::vector<uint32_t> check_round(const Placer& p, Table& t, size_t n, Rounds& rounds, int threads) {
    std::vector<std::vector<uint32_t>> again(static_cast<size_t>(threads));
    std::atomic<size_t> next{0}, sound{0};
    rounds.long_probe = false;
    parallel(threads, [&](int th) {
        size_t mine = 0;
        for (size_t from; (from = next.fetch_add(range)) < n;) {
            const size_t to = std::min(n, from + range);
            for (size_t w = from; w < to; w++) {
                p.fetch_ahead_to_mark(w, to);
                const probe_stop end = p.sound_end(w);
                rounds.note(w, end);
                if (end.slot < 0) {
                    again[static_cast<size_t>(th)].push_back(static_cast<uint32_t>(w));
                    continue;
                }
                mine++;
                const auto k = static_cast<uint32_t>(end.slot);
                mark_end(t, k);
                if (entry_kind(t.entry[k]) == kind_bitmap)
                    std::atomic_ref<uint32_t>(t.areas[t.area_of(k)].words).fetch_add(1);
            }
        }
        sound += mine;
    });
    rounds.sound = sound;
    // Each entry some lookups end on is counted by all but one of them.
    t.shared = sound - ends_marked(t, threads);
    std::vector<uint32_t> redo;
    for (auto& v : again)
        redo.insert(redo.end(), v.begin(), v.end());
    std::sort(redo.begin(), redo.end());
    return redo;
}

// The words whose probe, as noted, meets a slot marked in marks, or whose
// steps are unknown: in order.
std::vector<uint32_t> words_meeting(const Placer& p, size_t n, const std::vector<uint8_t>& steps,
                                    const std::vector<uint64_t>& marks, int threads) {
    std::vector<std::vector<uint32_t>> found(static_cast<size_t>(threads));
    std::atomic<size_t> next{0};
    parallel(threads, [&](int th) {
        for (size_t from; (from = next.fetch_add(range)) < n;)
            for (size_t w = from, to = std::min(n, from + range); w < to; w++)
                if (steps[w] == steps_unknown || p.meets(w, steps[w], marks))
                    found[static_cast<size_t>(th)].push_back(static_cast<uint32_t>(w));
    });
    std::vector<uint32_t> all;
    for (auto& v : found)
        all.insert(all.end(), v.begin(), v.end());
    std::sort(all.begin(), all.end());
    return all;
}

// A round after some words were placed again, checking only the words it
// can concern and bringing the last round's counts up to date: a word whose
// probe meets no changed slot stops where it did, on the same entry naming
// the same blocks. changed: each changed slot with its entry before.
std::vector<uint32_t> recheck_round(const Placer& p, Table& t, size_t n, Rounds& rounds,
                                    const std::unordered_map<uint32_t, uint32_t>& changed, int threads) {
    std::vector<uint64_t> marks(t.prime / 64 + 1);
    auto mark = [&marks](uint32_t k) { marks[k >> 6] |= uint64_t{1} << (k & 63); };
    for (const auto& [k, before] : changed)
        mark(k);
    const std::vector<uint32_t> concerned = words_meeting(p, n, rounds.steps, marks, threads);

    auto entry_before = [&](uint32_t k) {
        const auto c = changed.find(k);
        return c == changed.end() ? t.entry[k] : c->second;
    };
    // An entry of three blocks or more keeps its area as it grows.
    auto count_area = [&](uint32_t k, uint32_t x, int by) {
        if (entry_kind(x) == kind_bitmap)
            t.areas[t.area_of(k)].words += static_cast<uint32_t>(by);
    };
    size_t distinct = rounds.sound - t.shared;
    std::vector<uint32_t> ends, now, redo;
    for (uint32_t w : concerned) {
        if (rounds.steps[w] != steps_unknown) {
            const uint32_t k = p.slot_after(w, rounds.steps[w]);
            count_area(k, entry_before(k), -1);
            ends.push_back(k);
            rounds.sound--;
        }
        const probe_stop end = p.sound_end(w);
        rounds.note(w, end);
        if (end.slot < 0) {
            redo.push_back(w);
            continue;
        }
        const auto k = static_cast<uint32_t>(end.slot);
        count_area(k, t.entry[k], +1);
        ends.push_back(k);
        now.push_back(k);
        rounds.sound++;
    }
    std::sort(ends.begin(), ends.end());
    ends.erase(std::unique(ends.begin(), ends.end()), ends.end());

    // Whether each slot a concerned word ended on, before or now, is still
    // some word's end.
    std::fill(marks.begin(), marks.end(), 0);
    for (uint32_t k : ends)
        mark(k);
    auto at = [&ends](uint32_t k) { return static_cast<size_t>(std::lower_bound(ends.begin(), ends.end(), k) - ends.begin()); };
    std::vector<std::atomic<uint8_t>> ended(ends.size());
    for (uint32_t k : now)
        ended[at(k)] = 1;
    std::atomic<size_t> next{0};
    parallel(threads, [&](int) {
        for (size_t from; (from = next.fetch_add(range)) < n;)
            for (size_t w = from, to = std::min(n, from + range); w < to; w++) {
                if (rounds.steps[w] == steps_unknown)
                    continue;
                const uint32_t k = p.slot_after(w, rounds.steps[w]);
                if (marked(marks, k))
                    ended[at(k)].store(1, std::memory_order_relaxed);
            }
    });
    for (size_t i = 0; i < ends.size(); i++) {
        uint8_t& c = t.claimer_rehash6[ends[i]];
        distinct -= c >> 7;
        c = static_cast<uint8_t>((c & 0x7F) | (ended[i] ? 0x80 : 0));
        distinct += c >> 7;
    }
    t.shared = rounds.sound - distinct;
    return redo;
}

void clear_ends(Table& t) {
    for (uint8_t& c : t.claimer_rehash6)
        c &= 0x3F;
    for (Table::Area& a : t.areas)
        a.words = 0;
    t.shared = 0;
}

// Places the words in a table of prime slots: each in turn, then again every
// word whose probe no longer ends on an entry covering it, until none. A
// grown entry changes its check code from the 16-bit one to the 6-bit one,
// which can capture or release other words' probes; entries only grow, so
// the rounds end. False when some probe exhausts its bound.
bool place_all(Placer& p, Table& t, size_t n, int threads) {
    Rounds rounds;
    rounds.steps.resize(n);
    std::unordered_map<uint32_t, uint32_t> grown;   // slot: its entry before
    if (!place_in_order(p, t, n, rounds, grown))
        return false;
    std::vector<uint32_t> redo;
    if (rounds.long_probe || check_every_word) {
        clear_ends(t);
        redo = check_round(p, t, n, rounds, threads);
    } else {
        // Every word was sound when placed. The round takes back a concerned
        // word's count by the entry before, which for a grown slot names one
        // or two blocks and so no area: an area such an entry grew into is
        // counted afresh, by the words that end on it, all concerned by it.
        for (const auto& [k, before] : grown)
            if (entry_kind(t.entry[k]) == kind_bitmap)
                t.areas[t.area_of(k)].words = 0;
        rounds.sound = n;
        t.shared = n - ends_marked(t, threads);
        redo = recheck_round(p, t, n, rounds, grown, threads);
    }
    while (!redo.empty()) {
        std::unordered_map<uint32_t, uint32_t> changed;   // slot: its entry before
        for (uint32_t w : redo) {
            const probe_stop stop = p.place(w);
            if (stop.slot < 0)
                return false;
            changed.emplace(static_cast<uint32_t>(stop.slot), stop.entry);
        }
        if (rounds.long_probe || check_every_word) {
            clear_ends(t);
            redo = check_round(p, t, n, rounds, threads);
        } else {
            redo = recheck_round(p, t, n, rounds, changed, threads);
        }
    }
    return true;
}

}  // namespace

Table place(const Words& words, uint32_t prime, int threads) {
    const size_t n = words.size();
    for (;;) {
        Table t;
        t.prime = prime;
        // Not on huge pages: where the system compacts memory to find them,
        // faulting the table in took three times as long, and the probes
        // ran no faster for them.
        zeros(t.entry, prime, threads);
        zeros(t.claimer_rehash6, prime, threads);
        const std::vector<uint32_t> first = first_slots(words, prime, threads);
        Placer p(words, first, t);
        if (!place_all(p, t, n, threads)) {
            prime = indexlib::next_prime(prime + 1);
            continue;
        }
        return t;
    }
}

std::string check_placed(const std::vector<uint8_t>& bytes, const Words& words, int threads) {
    const indexlib::EntryReader probe(bytes);
    const size_t n = words.size();
    std::atomic<size_t> next{0}, first_bad{SIZE_MAX};
    parallel(threads, [&](int) {
        for (size_t from; (from = next.fetch_add(range)) < n;)
            for (size_t w = from, to = std::min(n, from + range); w < to && w < first_bad; w++) {
                // The table is far larger than the cache: ask for the entry
                // of a word some way ahead.
                if (w + 16 < to)
                    probe.fetch_entry(key_h(words.key[w + 16]));
                const uint64_t key = words.key[w];
                const uint32_t x = probe.entry(key_h(key), key_r(key));
                const Span blocks = word_blocks(words, w);
                if (x == 0 || !probe.names_all(x, blocks.first, blocks.second)) {
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
