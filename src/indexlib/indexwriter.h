// Writes index files in the layout described in tarvex/index.h, from explicit
// inputs: the builder lays out a whole tree with it, and the tests write every
// fixture with it, valid or deliberately damaged.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tarvex/hash.h"
#include "tarvex/index.h"

namespace indexlib {

constexpr int32_t default_magic = 0x78767274;  // "trvx" little-endian

// A name record: the parent directory (0 for the root) and the name.
struct Name {
    int16_t parent;
    std::string name;
};

// A bitmap or packed block list, placed by lay_out; the slot's entry gets the
// area's offset in bits 23-0.
struct Area {
    bool bitmap;
    std::vector<uint8_t> bytes;
    uint32_t slot;
};

// Everything an index holds, by value; lay_out turns it into bytes.
struct Index {
    int32_t magic = default_magic;
    int32_t num_words = 0;
    std::vector<uint32_t> slots;   // the hash table; hash_prime is its size
    std::vector<int32_t> blocks;   // block table: first file of each block
    std::vector<Name> dirs;        // directory d (from 1) is dirs[d - 1]
    std::vector<Name> files;       // file f is files[f]
    std::vector<Area> areas;
    // Store each distinct area once: entries whose blocks are the same point
    // at one bitmap or list. Off, every area has bytes of its own.
    bool share_areas = false;
};

// The file and where lay_out put each piece, for tests that damage it.
struct Image {
    std::vector<uint8_t> bytes;
    file_header hdr;
    std::vector<int32_t> file_record;  // offset of file f's name record
    std::vector<int32_t> dir_record;   // offset of directory d's (0 unused)
    std::vector<int32_t> area_offset;
    std::string error;                 // why the inputs do not fit the format
};

// Header, bitmaps and lists (so that their offsets stay within 16 MiB), name
// records, hash table, block table, file table, directory table; the file is
// padded so that every 300- and 512-byte window lies inside it.
Image lay_out(const Index& index);

// Areas given once each, for whole trees: piece p is bytes[at[p]] up to
// bytes[at[p + 1]], a bitmap when bitmap[p], else a block list; slot_area
// names the piece of each kind 0 or 3 entry, as (slot, piece).
struct AreaPieces {
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> at{0};
    std::vector<uint8_t> bitmap;
    std::vector<std::pair<uint32_t, uint32_t>> slot_area;
    size_t size() const { return bitmap.size(); }
    void add(bool is_bitmap, const std::vector<uint8_t>& piece);
};

// lay_out with the areas as pieces: lists first, then bitmaps, each in piece
// order; with share set, a piece whose bytes equal an earlier one's of its
// kind is stored once. index.areas is not read. For the same areas, the bytes
// are lay_out's.
Image lay_out(const Index& index, const AreaPieces& areas, bool share);

// Hash-entry encodings; kinds 0 and 3 get their offset from lay_out.
uint32_t kind0(uint32_t check6);
uint32_t kind1(uint32_t check16, uint32_t block);
uint32_t kind2(uint32_t check6, uint32_t first, uint32_t second);
uint32_t kind3(uint32_t check6);
std::vector<uint8_t> bitmap(const std::vector<uint32_t>& blocks, int32_t num_blocks);
std::vector<uint8_t> block_list(const std::vector<uint32_t>& blocks);

// A word and the blocks it occurs in (ascending, no repeats).
struct Word {
    std::string text;
    std::vector<uint32_t> blocks;
};

struct Placement {
    bool ok = false;
    uint32_t entries = 0;       // occupied slots
    uint32_t shared = 0;        // words whose lookup ends on another word's entry
    uint32_t lists = 0, maps = 0;
};

// Words in compact form, for whole trees: word w's text is the NUL-terminated
// string at text.data() + text_at[w]; its blocks, ascending and without
// repeats, are blocks[start[w]] up to blocks[start[w + 1]].
struct WordSet {
    std::vector<char> text;
    std::vector<uint32_t> text_at;
    std::vector<uint32_t> start{0};
    std::vector<uint16_t> blocks;
    size_t size() const { return text_at.size(); }
    const char* word(size_t w) const { return text.data() + text_at[w]; }
    void add(const std::string& word, const std::vector<uint32_t>& word_blocks);
};

// Fills index.slots (hash_prime slots) and index.areas so that the search's
// probe of every word ends on an entry naming all of its blocks. A word whose
// probe meets an entry it would accept shares that entry, which then names
// both words' blocks. Fails (ok false) when some probe exhausts its bound: the
// table is too small.
Placement place_words(const std::vector<Word>& words, uint32_t hash_prime, Index& index);
Placement place_words(const WordSet& words, uint32_t hash_prime, Index& index);

// The search's probe for a word of hash values h and r over a table of prime
// entries, entry_at(k) giving entry k: the slot where it stops (an empty one,
// or an entry that accepts the word), or -1 when it runs out of steps.
template <class EntryAt>
int64_t probe_stop(uint32_t h, uint32_t r, uint32_t prime, const EntryAt& entry_at) {
    const uint32_t r6 = check6(r), r16 = check16(r);
    uint32_t k = h % prime;
    uint16_t t = 0;
    for (uint32_t n = 0; n < prime; n++) {
        const uint32_t x = entry_at(k);
        if (x == 0 || entry_accepts(x, r6, r16))
            return k;
        k = (k + r6 + t) % prime;
        t++;
    }
    return -1;
}

// Runs the search's lookup of text over laid-out bytes, without the tool's
// process exits: the blocks it would search, in order, or an error text.
struct Lookup {
    std::vector<uint32_t> blocks;
    std::string error;
};
Lookup lookup(const std::vector<uint8_t>& bytes, const std::string& text);

// The search's probe and expansion over laid-out bytes whose structures are
// known to be sound (lay_out's own, or checked), for words given by their
// hash values: what a builder and a checker run for every word of a tree.
class EntryReader {
public:
    explicit EntryReader(const std::vector<uint8_t>& bytes);
    // The entry the probe of a word with hash values h and r stops at, or 0.
    uint32_t entry(uint32_t h, uint32_t r) const;
    // Does entry x name block b?
    bool names(uint32_t x, uint32_t b) const;
    // Fetch ahead what entry(h, ...) and names(x, b) will read first.
    void fetch_entry(uint32_t h) const { __builtin_prefetch(bytes_ + hash_at_ + 4 * int64_t{h % prime_}); }
    void fetch_names(uint32_t x, uint32_t b) const;

private:
    const uint8_t* bytes_;
    uint32_t prime_;
    int64_t hash_at_;
};

// A byte of a word, lower-cased in A to Z, or 0 for a byte that ends words:
// word bytes are ASCII letters, digits, '_' and bytes 128 to 255.
inline unsigned char word_byte(unsigned char c) {
    if (c >= 'A' && c <= 'Z')
        return static_cast<unsigned char>(c + 32);
    bool w = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c >= 128;
    return w ? c : 0;
}

// The words of text: maximal runs of ASCII letters, digits, '_' and bytes 128
// to 255, lower-cased in A to Z; runs longer than 255 bytes are no words.
std::vector<std::string> words_of(const std::string& text);

bool is_prime(uint32_t n);
uint32_t next_prime(uint32_t n);

void put32(std::vector<uint8_t>& bytes, size_t at, uint32_t v);
void put16(std::vector<uint8_t>& bytes, size_t at, uint16_t v);
uint32_t get32(const std::vector<uint8_t>& bytes, size_t at);

// Writes bytes to path; false with errno set on failure.
bool write_file(const std::string& path, const std::vector<uint8_t>& bytes);

// Large arrays are asked to be backed by huge pages where the system has them:
// a fresh page costs more to fault in than to fill, and these arrays are
// filled whole. reserve_huge reserves room for n elements that way.
void advise_huge(const void* p, size_t bytes);
template <class T>
void reserve_huge(std::vector<T>& v, size_t n) {
    v.reserve(n);
    advise_huge(v.data(), v.capacity() * sizeof(T));
}

}  // namespace indexlib
