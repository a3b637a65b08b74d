// Writes index files in the layout described in tarvex/index.h, from explicit
// inputs: the builder lays out a whole tree with it, and the tests write every
// fixture with it, valid or deliberately damaged.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

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
// are lay_out's. The image's pages are asked for, and its hash table
// written, on threads threads.
Image lay_out(const Index& index, const AreaPieces& areas, bool share, int threads = 1);

}  // namespace indexlib
