#include "indexwriter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string_view>
#include <unordered_map>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "tarvex/hash.h"

namespace indexlib {

void put32(std::vector<uint8_t>& bytes, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++)
        bytes[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

void put16(std::vector<uint8_t>& bytes, size_t at, uint16_t v) {
    bytes[at] = static_cast<uint8_t>(v);
    bytes[at + 1] = static_cast<uint8_t>(v >> 8);
}

uint32_t get32(const std::vector<uint8_t>& bytes, size_t at) { return le32(bytes.data() + at); }

uint32_t kind0(uint32_t check6) { return (check6 & 0x3F) << 24; }
uint32_t kind1(uint32_t check16, uint32_t block) {
    return 1u << 30 | (check16 & 0xFFFF) << 12 | (block & 0xFFF);
}
uint32_t kind2(uint32_t check6, uint32_t first, uint32_t second) {
    return 2u << 30 | (check6 & 0x3F) << 24 | (second & 0xFFF) << 12 | (first & 0xFFF);
}
uint32_t kind3(uint32_t check6) { return 3u << 30 | (check6 & 0x3F) << 24; }

std::vector<uint8_t> bitmap(const std::vector<uint32_t>& blocks, int32_t num_blocks) {
    std::vector<uint8_t> bytes(static_cast<size_t>(num_blocks + 7) / 8);
    for (uint32_t b : blocks) {
        if (b / 8 >= bytes.size())
            bytes.resize(b / 8 + 1);
        bytes[b / 8] |= static_cast<uint8_t>(1u << (b % 8));
    }
    return bytes;
}

std::vector<uint8_t> block_list(const std::vector<uint32_t>& blocks) {
    // One spare byte: the reader of an odd value touches the byte after it.
    std::vector<uint8_t> bytes(list_bytes(static_cast<uint32_t>(blocks.size())));
    auto put12 = [&bytes](uint32_t k, uint32_t v) {
        uint32_t j = k * 12 / 8;
        v &= 0xFFF;
        if (k & 1) {
            bytes[j] |= static_cast<uint8_t>(v << 4);
            bytes[j + 1] |= static_cast<uint8_t>(v >> 4);
        } else {
            bytes[j] |= static_cast<uint8_t>(v);
            bytes[j + 1] |= static_cast<uint8_t>(v >> 8);
        }
    };
    put12(0, static_cast<uint32_t>(blocks.size()));
    for (size_t i = 0; i < blocks.size(); i++)
        put12(static_cast<uint32_t>(i + 1), blocks[i]);
    return bytes;
}

void AreaPieces::add(bool is_bitmap, const std::vector<uint8_t>& piece) {
    bytes.insert(bytes.end(), piece.begin(), piece.end());
    at.push_back(static_cast<uint32_t>(bytes.size()));
    bitmap.push_back(is_bitmap ? 1 : 0);
}

Image lay_out(const Index& index) {
    AreaPieces pieces;
    for (size_t a = 0; a < index.areas.size(); a++) {
        pieces.add(index.areas[a].bitmap, index.areas[a].bytes);
        pieces.slot_area.emplace_back(index.areas[a].slot, static_cast<uint32_t>(a));
    }
    return lay_out(index, pieces, index.share_areas);
}

void advise_huge(const void* p, size_t bytes) {
#ifdef MADV_HUGEPAGE
    // Only whole 2 MiB pages inside the array; a small array asks nothing.
    constexpr uintptr_t huge = uintptr_t{2} << 20;
    const auto at = reinterpret_cast<uintptr_t>(p);
    const uintptr_t from = (at + huge - 1) & ~(huge - 1), to = (at + bytes) & ~(huge - 1);
    if (to > from)
        madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

Image lay_out(const Index& index, const AreaPieces& areas, bool share) {
    Image im{};
    const auto prime = static_cast<uint32_t>(index.slots.size());
    auto& out = im.bytes;
    int64_t last_window = 0;  // the end no window may cross
    int64_t names_size = 0;
    for (const Name& n : index.dirs)
        names_size += 3 + static_cast<int64_t>(n.name.size());
    for (const Name& n : index.files)
        names_size += 3 + static_cast<int64_t>(n.name.size());
    const int64_t tables = 4 * (int64_t{prime} + static_cast<int64_t>(index.blocks.size()) +
                                static_cast<int64_t>(index.files.size()) + static_cast<int64_t>(index.dirs.size()) + 1);
    const int64_t expect = header_bytes + static_cast<int64_t>(areas.bytes.size()) + names_size + 3 + tables;
    if (expect <= 0x7FFFFFFF)
        reserve_huge(out, static_cast<size_t>(expect));
    out.assign(header_bytes, 0);
    auto align4 = [&out] { out.resize((out.size() + 3) & ~size_t{3}); };

    // Lists first, then bitmaps, both right after the header.
    int32_t lists_at = static_cast<int32_t>(out.size());
    int32_t maps_at = lists_at;
    im.area_offset.assign(areas.size(), 0);
    std::unordered_map<std::string_view, int32_t> stored;
    for (int pass = 0; pass < 2; pass++) {
        if (pass == 1) {
            maps_at = static_cast<int32_t>(out.size());
            // A list's bytes may equal a bitmap's and mean other blocks.
            stored.clear();
        }
        for (size_t a = 0; a < areas.size(); a++) {
            if ((areas.bitmap[a] != 0) != (pass == 1))
                continue;
            const uint8_t* from = areas.bytes.data() + areas.at[a];
            const size_t n = areas.at[a + 1] - areas.at[a];
            if (share) {
                std::string_view key(reinterpret_cast<const char*>(from), n);
                auto [it, fresh] = stored.try_emplace(key, static_cast<int32_t>(out.size()));
                if (!fresh) {
                    im.area_offset[a] = it->second;
                    continue;
                }
            }
            if (out.size() > max_area_offset) {
                im.error = "bitmaps and block lists run past 16 MiB";
                return im;
            }
            im.area_offset[a] = static_cast<int32_t>(out.size());
            out.insert(out.end(), from, from + n);
            last_window = std::max(last_window, int64_t{im.area_offset[a]} + block_window);
        }
    }
    std::unordered_map<std::string_view, int32_t>().swap(stored);
    int32_t areas_end = static_cast<int32_t>(out.size());
    if (areas_end > static_cast<int64_t>(max_area_offset)) {
        im.error = "bitmaps and block lists run past 16 MiB";
        return im;
    }
    if (expect > 0x7FFFFFFF) {
        im.error = "index larger than 2 GiB";
        return im;
    }

    int32_t strings_at = static_cast<int32_t>(out.size());
    auto put_name = [&](const Name& n) {
        auto at = static_cast<int32_t>(out.size());
        out.push_back(static_cast<uint8_t>(n.parent));
        out.push_back(static_cast<uint8_t>(static_cast<uint16_t>(n.parent) >> 8));
        out.insert(out.end(), n.name.begin(), n.name.end());
        out.push_back(0);
        last_window = std::max(last_window, int64_t{at} + name_window);
        return at;
    };
    im.dir_record.assign(index.dirs.size() + 1, 0);
    for (size_t d = 0; d < index.dirs.size(); d++)
        im.dir_record[d + 1] = put_name(index.dirs[d]);
    im.file_record.reserve(index.files.size());
    for (const Name& f : index.files)
        im.file_record.push_back(put_name(f));
    int32_t strings_size = static_cast<int32_t>(out.size()) - strings_at;

    align4();
    auto table = [&](size_t n) {
        auto at = static_cast<int32_t>(out.size());
        out.resize(out.size() + 4 * n);
        return at;
    };
    int32_t hash_at = table(prime);
    for (uint32_t k = 0; k < prime; k++)
        put32(out, hash_at + 4 * size_t{k}, index.slots[k]);
    for (const auto& [slot, piece] : areas.slot_area) {
        size_t at = hash_at + 4 * size_t{slot};
        put32(out, at, get32(out, at) | static_cast<uint32_t>(im.area_offset[piece]));
    }
    int32_t block_at = table(index.blocks.size());
    for (size_t b = 0; b < index.blocks.size(); b++)
        put32(out, block_at + 4 * b, static_cast<uint32_t>(index.blocks[b]));
    int32_t file_at = table(index.files.size());
    for (size_t f = 0; f < index.files.size(); f++)
        put32(out, file_at + 4 * f, static_cast<uint32_t>(im.file_record[f]));
    int32_t dir_at = table(im.dir_record.size());
    for (size_t d = 1; d < im.dir_record.size(); d++)
        put32(out, dir_at + 4 * d, static_cast<uint32_t>(im.dir_record[d]));
    if (static_cast<int64_t>(out.size()) < last_window)
        out.resize(static_cast<size_t>(last_window));
    if (out.size() > 0x7FFFFFFFu) {
        im.error = "index larger than 2 GiB";
        return im;
    }

    int32_t num_blocks = static_cast<int32_t>(index.blocks.size());
    file_header& h = im.hdr;
    h.magic = index.magic;
    h.header_size = header_bytes;
    h.filesize = static_cast<int32_t>(out.size());
    h.num_words = index.num_words;
    h.num_dirs = static_cast<int32_t>(index.dirs.size());
    h.num_files = static_cast<int32_t>(index.files.size());
    h.num_blocks = num_blocks;
    h.strings_size = strings_size;
    h.hash_prime = static_cast<int32_t>(prime);
    h.hash_table_size = static_cast<int32_t>(4 * prime);
    h.bytes_per_bitmap = (num_blocks + 7) / 8;
    h.filelists_size = maps_at - lists_at;
    h.bitmaps_size = areas_end - maps_at;
    h.block_table_offset = block_at;
    h.dir_table_offset = dir_at;
    h.file_table_offset = file_at;
    h.strings_offset = strings_at;
    h.hash_table_offset = hash_at;
    h.filelists_offset = lists_at;
    h.bitmaps_offset = maps_at;
    int32_t fields[20];
    memcpy(fields, &h, sizeof(fields));
    for (int i = 0; i < 20; i++)
        put32(out, 4 * size_t(i), static_cast<uint32_t>(fields[i]));
    return im;
}

void WordSet::add(const std::string& word, const std::vector<uint32_t>& word_blocks) {
    text_at.push_back(static_cast<uint32_t>(text.size()));
    text.insert(text.end(), word.begin(), word.end());
    text.push_back('\0');
    for (uint32_t b : word_blocks)
        blocks.push_back(static_cast<uint16_t>(b));
    start.push_back(static_cast<uint32_t>(blocks.size()));
}

namespace {

struct Probe {
    uint32_t first, r6, r16;
};

Probe probe_of(const char* text, uint32_t prime) {
    uint32_t h, r;
    hash_word(text, &h, &r);
    return {h % prime, check6(r), check16(r)};
}

constexpr uint32_t no_owner = UINT32_MAX;

// A slot under construction: the word that claimed it gives the check codes;
// its blocks are the owner's own, or a merged set once other words share it.
struct Slot {
    uint32_t owner = no_owner;
    int32_t merged = -1;   // index into the merged sets
    uint16_t r16 = 0;
    uint8_t r6 = 0;
};

using Span = std::pair<const uint16_t*, const uint16_t*>;

}  // namespace

Placement place_words(const std::vector<Word>& words, uint32_t prime, Index& index) {
    WordSet set;
    for (const Word& w : words)
        set.add(w.text, w.blocks);
    return place_words(set, prime, index);
}

Placement place_words(const WordSet& words, uint32_t prime, Index& index) {
    Placement result;
    const size_t n_words = words.size();
    std::vector<Slot> table(prime);
    std::vector<std::vector<uint16_t>> merged;
    auto own = [&words](size_t w) -> Span {
        return {words.blocks.data() + words.start[w], words.blocks.data() + words.start[w + 1]};
    };
    auto blocks_of = [&](const Slot& s) -> Span {
        if (s.merged < 0)
            return own(s.owner);
        const auto& m = merged[static_cast<size_t>(s.merged)];
        return {m.data(), m.data() + m.size()};
    };
    auto accepts = [&](const Slot& s, const Probe& p) {
        Span b = blocks_of(s);
        return b.second - b.first == 1 ? s.r16 == p.r16 : s.r6 == p.r6;
    };

    // Growing an entry from one block to more changes its check code from the
    // 16-bit one to the 6-bit one, which can capture or release other words'
    // lookups; so passes repeat until every lookup ends on an entry that covers
    // the word. Entries only grow, so this ends.
    std::vector<Probe> probes(n_words);
    for (size_t w = 0; w < n_words; w++)
        probes[w] = probe_of(words.word(w), prime);
    std::vector<uint32_t> ends(n_words);
    for (bool changed = true; changed;) {
        changed = false;
        for (size_t w = 0; w < n_words; w++) {
            const Probe p = probes[w];
            uint32_t k = p.first;
            uint16_t t = 0;
            bool found = false;
            for (uint32_t n = 0; n < prime && !found; n++) {
                Slot& s = table[k];
                if (s.owner == no_owner) {
                    s.owner = static_cast<uint32_t>(w);
                    s.r6 = static_cast<uint8_t>(p.r6);
                    s.r16 = static_cast<uint16_t>(p.r16);
                    changed = true;
                    found = true;
                } else if (accepts(s, p)) {
                    Span have = blocks_of(s), want = own(w);
                    if (!std::includes(have.first, have.second, want.first, want.second)) {
                        std::vector<uint16_t> both;
                        std::set_union(have.first, have.second, want.first, want.second,
                                       std::back_inserter(both));
                        if (s.merged < 0) {
                            s.merged = static_cast<int32_t>(merged.size());
                            merged.push_back(std::move(both));
                        } else {
                            merged[static_cast<size_t>(s.merged)] = std::move(both);
                        }
                        changed = true;
                    }
                    found = true;
                } else {
                    k = (k + p.r6 + t) % prime;
                    t++;
                }
            }
            if (!found)
                return result;
            ends[w] = k;
        }
    }

    for (size_t w = 0; w < n_words; w++)
        if (table[ends[w]].owner != w)
            result.shared++;
    const auto num_blocks = static_cast<int32_t>(index.blocks.size());
    const uint32_t map_bytes = static_cast<uint32_t>(num_blocks + 7) / 8;
    index.slots.assign(prime, 0);
    index.areas.clear();
    std::vector<uint32_t> named;
    for (uint32_t k = 0; k < prime; k++) {
        const Slot& s = table[k];
        if (s.owner == no_owner)
            continue;
        result.entries++;
        Span b = blocks_of(s);
        const auto n = static_cast<uint32_t>(b.second - b.first);
        if (n == 1) {
            index.slots[k] = kind1(s.r16, b.first[0]);
        } else if (n == 2) {
            index.slots[k] = kind2(s.r6, b.first[0], b.first[1]);
        } else {
            named.assign(b.first, b.second);
            if (n <= max_list_count && list_bytes(n) <= map_bytes) {
                index.slots[k] = kind3(s.r6);
                index.areas.push_back({false, block_list(named), k});
                result.lists++;
            } else {
                index.slots[k] = kind0(s.r6);
                index.areas.push_back({true, bitmap(named, num_blocks), k});
                result.maps++;
            }
        }
    }
    index.num_words = static_cast<int32_t>(n_words);
    result.ok = true;
    return result;
}

Lookup lookup(const std::vector<uint8_t>& bytes, const std::string& text) {
    Lookup out;
    auto fail = [&out](const char* why) {
        out.blocks.clear();
        out.error = why;
        return out;
    };
    if (bytes.size() < static_cast<size_t>(header_bytes))
        return fail("header shorter than 80 bytes");
    auto field = [&bytes](int i) { return static_cast<int32_t>(get32(bytes, 4 * size_t(i))); };
    const int64_t size = static_cast<int64_t>(bytes.size());
    if (field(1) != header_bytes || field(2) != size)
        return fail("header_size or filesize wrong");
    const auto prime = static_cast<uint32_t>(field(8));
    const int64_t hash_at = field(17);
    const int32_t num_blocks = field(6);
    if (prime == 0 || hash_at < 0 || hash_at + 4 * int64_t{prime} > size)
        return fail("hash table outside the file");

    uint32_t h, r;
    hash_word(text.c_str(), &h, &r);
    auto entry_at = [&](uint32_t k) { return get32(bytes, static_cast<size_t>(hash_at + 4 * int64_t{k})); };
    const int64_t k = probe_stop(h, r, prime, entry_at);
    const uint32_t x = k < 0 ? 0 : entry_at(static_cast<uint32_t>(k));
    if (x == 0)
        return out;
    const uint32_t kind = entry_kind(x);
    if (kind == 1) {
        out.blocks = {x & 0xFFF};
    } else if (kind == 2) {
        out.blocks = {x & 0xFFF, (x >> 12) & 0xFFF};
    } else {
        const int64_t at = entry_offset(x);
        const int64_t got = std::min<int64_t>(block_window, std::max<int64_t>(0, size - at));
        const unsigned char* p = bytes.data() + at;
        if (kind == 0) {
            if (num_blocks > max_blocks || got < (num_blocks + 7) / 8)
                return fail("bitmap outside the file");
            for (int32_t b = 0; b < num_blocks; b++)
                if (p[b / 8] >> (b % 8) & 1)
                    out.blocks.push_back(static_cast<uint32_t>(b));
        } else {
            if (got < 2)
                return fail("block list outside the file");
            uint32_t n = unpack12(p, 0);
            if (n > max_list_count || got < list_bytes(n))
                return fail("block list outside the file");
            for (uint32_t i = 1; i <= n; i++)
                out.blocks.push_back(unpack12(p, i));
        }
    }
    for (uint32_t b : out.blocks)
        if (static_cast<int32_t>(b) >= num_blocks)
            return fail("block number beyond the block table");
    return out;
}

EntryReader::EntryReader(const std::vector<uint8_t>& bytes)
    : bytes_(bytes.data()), prime_(get32(bytes, 32)), hash_at_(static_cast<int32_t>(get32(bytes, 68))) {}

uint32_t EntryReader::entry(uint32_t h, uint32_t r) const {
    auto entry_at = [this](uint32_t k) { return le32(bytes_ + hash_at_ + 4 * int64_t{k}); };
    const int64_t k = probe_stop(h, r, prime_, entry_at);
    return k < 0 ? 0 : entry_at(static_cast<uint32_t>(k));
}

bool EntryReader::names(uint32_t x, uint32_t b) const {
    switch (entry_kind(x)) {
    case 1:
        return (x & 0xFFF) == b;
    case 2:
        return (x & 0xFFF) == b || ((x >> 12) & 0xFFF) == b;
    case 0:
        return (bytes_[entry_offset(x) + b / 8] >> (b % 8) & 1) != 0;
    default: {
        const unsigned char* p = bytes_ + entry_offset(x);
        const uint32_t n = unpack12(p, 0);
        for (uint32_t i = 1; i <= n; i++)
            if (unpack12(p, i) == b)
                return true;
        return false;
    }
    }
}

void EntryReader::fetch_names(uint32_t x, uint32_t b) const {
    if (entry_kind(x) == 0)
        __builtin_prefetch(bytes_ + entry_offset(x) + b / 8);
    else if (entry_kind(x) == 3)
        __builtin_prefetch(bytes_ + entry_offset(x));
}

std::vector<std::string> words_of(const std::string& text) {
    std::vector<std::string> out;
    auto byte = [&text](size_t i) { return word_byte(static_cast<unsigned char>(text[i])); };
    for (size_t i = 0; i < text.size();) {
        if (byte(i) == 0) {
            i++;
            continue;
        }
        std::string w;
        for (; i < text.size() && byte(i) != 0; i++)
            w.push_back(static_cast<char>(byte(i)));
        if (w.size() <= 255)
            out.push_back(std::move(w));
    }
    return out;
}

bool is_prime(uint32_t n) {
    if (n < 2)
        return false;
    for (uint32_t d = 2; uint64_t{d} * d <= n; d++)
        if (n % d == 0)
            return false;
    return true;
}

uint32_t next_prime(uint32_t n) {
    while (!is_prime(n))
        n++;
    return n;
}

bool write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0)
        return false;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(out, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            close(out);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return close(out) == 0;
}

}  // namespace indexlib
