#include "place.h"

#include <algorithm>
#include <iterator>

#include "areas.h"
#include "tarvex/hash.h"

namespace indexlib {

void WordSet::add(const std::string& word, const std::vector<uint32_t>& word_blocks) {
    text_at.push_back(static_cast<uint32_t>(text.size()));
    text.insert(text.end(), word.begin(), word.end());
    text.push_back('\0');
    for (uint32_t b : word_blocks)
        blocks.push_back(static_cast<uint16_t>(b));
    start.push_back(static_cast<uint32_t>(blocks.size()));
}

Placement place_words(const std::vector<Word>& words, uint32_t prime, Index& index) {
    WordSet set;
    for (const Word& w : words)
        set.add(w.text, w.blocks);
    return place_words(set, prime, index);
}

namespace {

// A word's first slot and check codes.
struct Probe {
    uint32_t first, rehash6, rehash16;
};

constexpr uint32_t no_owner = UINT32_MAX;

// A slot under construction: the word that claimed it gives the check codes;
// its blocks are the owner's own, or a merged set once other words share it.
struct Slot {
    uint32_t owner = no_owner;
    int32_t merged = -1;   // index into the merged sets
    uint16_t rehash16 = 0;
    uint8_t rehash6 = 0;
};

using Span = std::pair<const uint16_t*, const uint16_t*>;

class Placer {
public:
    Placer(const WordSet& words, uint32_t prime) : words_(words), prime_(prime), table_(prime) {}

    // Claims or shares an entry for every word, in passes until every word's
    // probe ends on an entry that covers it; false when a probe exhausts its
    // bound. Growing an entry from one block to more changes its check code
    // from the 16-bit one to the 6-bit one, which can capture or release
    // other words' probes: hence the passes. Entries only grow, so they end.
    bool settle() {
        const size_t n_words = words_.size();
        std::vector<Probe> probes(n_words);
        for (size_t w = 0; w < n_words; w++) {
            uint32_t h, r;
            hash_word(words_.word(w), &h, &r);
            probes[w] = {h % prime_, rehash6_of(r), rehash16_of(r)};
        }
        ends_.assign(n_words, 0);
        for (bool changed = true; changed;) {
            changed = false;
            for (size_t w = 0; w < n_words; w++) {
                const Probe p = probes[w];
                const probe_stop stop = probe_walk(p.first, p.rehash6, p.rehash16, prime_,
                                                   [this](uint32_t k) { return entry_as_seen(k); });
                if (stop.slot < 0)
                    return false;
                Slot& s = table_[static_cast<size_t>(stop.slot)];
                if (stop.entry == 0) {
                    s.owner = static_cast<uint32_t>(w);
                    s.rehash6 = static_cast<uint8_t>(p.rehash6);
                    s.rehash16 = static_cast<uint16_t>(p.rehash16);
                    changed = true;
                } else if (widen(s, own(w))) {
                    changed = true;
                }
                ends_[w] = static_cast<uint32_t>(stop.slot);
            }
        }
        return true;
    }

    // The settled table as entries and areas.
    Placement write(Index& index) const {
        Placement result;
        for (size_t w = 0; w < words_.size(); w++)
            if (table_[ends_[w]].owner != w)
                result.shared++;
        const auto num_blocks = static_cast<int32_t>(index.blocks.size());
        index.slots.assign(prime_, 0);
        index.areas.clear();
        std::vector<uint32_t> named;
        for (uint32_t k = 0; k < prime_; k++) {
            const Slot& s = table_[k];
            if (s.owner == no_owner)
                continue;
            result.entries++;
            Span b = blocks_of(s);
            const auto n = static_cast<uint32_t>(b.second - b.first);
            if (n == 1) {
                index.slots[k] = one_block_entry(s.rehash16, b.first[0]);
            } else if (n == 2) {
                index.slots[k] = two_block_entry(s.rehash6, b.first[0], b.first[1]);
            } else {
                named.assign(b.first, b.second);
                if (stored_as_list(n, num_blocks)) {
                    index.slots[k] = list_entry(s.rehash6);
                    index.areas.push_back({false, block_list(named), k});
                    result.lists++;
                } else {
                    index.slots[k] = bitmap_entry(s.rehash6);
                    index.areas.push_back({true, bitmap(named, num_blocks), k});
                    result.maps++;
                }
            }
        }
        index.num_words = static_cast<int32_t>(words_.size());
        result.ok = true;
        return result;
    }

private:
    Span own(size_t w) const {
        return {words_.blocks.data() + words_.start[w], words_.blocks.data() + words_.start[w + 1]};
    }

    Span blocks_of(const Slot& s) const {
        if (s.merged < 0)
            return own(s.owner);
        const auto& m = merged_[static_cast<size_t>(s.merged)];
        return {m.data(), m.data() + m.size()};
    }

    // Slot k as the probe sees it: empty, or an entry of one block (checked
    // by its 16-bit code) or of more (by its 6-bit code); the blocks are
    // not the probe's concern.
    uint32_t entry_as_seen(uint32_t k) const {
        const Slot& s = table_[k];
        if (s.owner == no_owner)
            return 0;
        Span b = blocks_of(s);
        return b.second - b.first == 1 ? one_block_entry(s.rehash16, 0) : two_block_entry(s.rehash6, 0, 0);
    }

    // Makes the entry at s name the blocks want as well; false when it did.
    bool widen(Slot& s, Span want) {
        Span have = blocks_of(s);
        if (std::includes(have.first, have.second, want.first, want.second))
            return false;
        std::vector<uint16_t> both;
        std::set_union(have.first, have.second, want.first, want.second, std::back_inserter(both));
        if (s.merged < 0) {
            s.merged = static_cast<int32_t>(merged_.size());
            merged_.push_back(std::move(both));
        } else {
            merged_[static_cast<size_t>(s.merged)] = std::move(both);
        }
        return true;
    }

    const WordSet& words_;
    const uint32_t prime_;
    std::vector<Slot> table_;
    std::vector<std::vector<uint16_t>> merged_;
    std::vector<uint32_t> ends_;   // the slot each word's probe ends at
};

}  // namespace

Placement place_words(const WordSet& words, uint32_t prime, Index& index) {
    Placer placer(words, prime);
    if (!placer.settle())
        return Placement{};
    return placer.write(index);
}

}  // namespace indexlib
