// Index file access: the layout of "utils/tarvex.dat" and the one guarded way
// into it.
//
// The file is little-endian throughout; every offset is absolute from byte 0.
// The areas are reached only through the header's offsets and through offsets
// stored in tables and hash entries, so they may stand in any order.
//
// Header (file_header), 80 bytes at offset 0, twenty int32:
//   off  field               read by the search
//    0   magic               no
//    4   header_size         yes: must be 80
//    8   filesize            yes: must equal the file's length
//   12   num_words           no
//   16   num_dirs            no
//   20   num_files           yes: entries in the file table
//   24   num_blocks          yes: entries in the block table, at most 4096
//   28   strings_size        no
//   32   hash_prime          yes: slots in the hash table (taken unsigned)
//   36   hash_table_size     no
//   40   bytes_per_bitmap    no
//   44   filelists_size      no
//   48   bitmaps_size        no
//   52   block_table_offset  yes
//   56   dir_table_offset    yes
//   60   file_table_offset   yes
//   64   strings_offset      no
//   68   hash_table_offset   yes
//   72   filelists_offset    no
//   76   bitmaps_offset      no
// Fields marked "no" may hold anything; nothing checks or trusts them.
//
// Hash table: hash_prime uint32 slots at hash_table_offset; 0 is an empty slot.
//   bits 31-30 kind, then by kind:
//   0 bitmap      29-24 rehash6   23-0  offset of a block bitmap
//   1 one block   27-12 rehash16  11-0  block            (29-28 ignored)
//   2 two blocks  29-24 rehash6   23-12 second block     11-0 first block
//   3 block list  29-24 rehash6   23-0  offset of a packed block list
// rehash6 and rehash16 are the word's check codes (hash.h).
// Bitmaps and lists are read through a 512-byte window (so they lie in the
// first 16 MiB, a bitmap covers at most 4096 blocks, a list holds at most 340).
//   bitmap: bit b (bit b%8 of byte b/8, LSB first) set when block b is named.
//   list:   12-bit values packed LSB first; value 0 is the count n, values
//           1..n the blocks in search order.
//
// Block table: num_blocks int32 at block_table_offset; entry b is the first
//   file of block b; the last block runs up to num_files.
// File table:  num_files int32 at file_table_offset; entry f is the offset of
//   file f's name record.
// Dir table:   int32 at dir_table_offset + 4*d, the offset of directory d's
//   name record; directory 0 is the root and has no record.
// Name record, read through a 300-byte window:
//    0   2  parent directory, int16 (0: the root)
//    2   -  name, up to and including its NUL (at most 297 bytes of name)
// A file's path, "/" and a name for each level from the root, holds at most
// 1023 bytes; a searched word at most 255.
#pragma once

#include <cstdint>
#include <cstring>

struct file_header {
    int32_t magic;
    int32_t header_size;
    int32_t filesize;
    int32_t num_words;
    int32_t num_dirs;
    int32_t num_files;
    int32_t num_blocks;
    int32_t strings_size;
    int32_t hash_prime;
    int32_t hash_table_size;
    int32_t bytes_per_bitmap;
    int32_t filelists_size;
    int32_t bitmaps_size;
    int32_t block_table_offset;
    int32_t dir_table_offset;
    int32_t file_table_offset;
    int32_t strings_offset;
    int32_t hash_table_offset;
    int32_t filelists_offset;
    int32_t bitmaps_offset;
};
constexpr int header_fields = 20;
static_assert(sizeof(file_header) == 4 * header_fields, "the header is twenty 32-bit fields");

constexpr int32_t header_bytes = 80;
constexpr int32_t name_window = 300;   // a name record's read
constexpr int32_t block_window = 512;  // a bitmap's or block list's read
constexpr int32_t max_blocks = 4096;   // block numbers are 12 bits wide
constexpr int32_t max_list_count = 340;  // 341 12-bit values fill 512 bytes
constexpr int32_t max_name = name_window - 3;  // parent, name, NUL
constexpr int32_t max_dir = 32767;     // parents are signed 16-bit
constexpr uint32_t max_area_offset = 1u << 24;  // bitmap and list offsets are 24 bits
constexpr int32_t max_path = 1023;     // a file's path as the search builds it
constexpr int32_t max_word = 255;      // a word the search takes

// Entry kinds (bits 31-30).
constexpr uint32_t kind_bitmap = 0;
constexpr uint32_t kind_one_block = 1;
constexpr uint32_t kind_two_blocks = 2;
constexpr uint32_t kind_list = 3;

// Entry fields, shared by the probe, the posting expansion, the writers and
// the builder's check.
inline uint32_t entry_kind(uint32_t x) { return x >> 30; }
inline uint32_t entry_rehash6(uint32_t x) { return (x >> 24) & 0x3F; }
inline uint32_t entry_rehash16(uint32_t x) { return (x >> 12) & 0xFFFF; }
inline uint32_t entry_offset(uint32_t x) { return x & 0x00FFFFFF; }
inline bool entry_has_area(uint32_t x) {
    return entry_kind(x) == kind_bitmap || entry_kind(x) == kind_list;
}

// Kinds 1 and 2 hold their blocks in the entry, as many as the kind says, in
// search order: block 0 in bits 11-0, kind 2's block 1 in bits 23-12.
inline uint32_t inline_count(uint32_t x) { return entry_kind(x); }
inline uint32_t inline_block(uint32_t x, uint32_t i) { return (x >> (12 * i)) & 0xFFF; }

// Entries as the writers make them. Kinds 0 and 3 get their area's offset in
// bits 23-0 when the areas are laid out.
inline uint32_t bitmap_entry(uint32_t rehash6) { return kind_bitmap << 30 | (rehash6 & 0x3F) << 24; }
inline uint32_t one_block_entry(uint32_t rehash16, uint32_t block) {
    return kind_one_block << 30 | (rehash16 & 0xFFFF) << 12 | (block & 0xFFF);
}
inline uint32_t two_block_entry(uint32_t rehash6, uint32_t first, uint32_t second) {
    return kind_two_blocks << 30 | (rehash6 & 0x3F) << 24 | (second & 0xFFF) << 12 | (first & 0xFFF);
}
inline uint32_t list_entry(uint32_t rehash6) { return kind_list << 30 | (rehash6 & 0x3F) << 24; }

// Would the probe of a word with these check codes stop at entry x?
inline bool entry_accepts(uint32_t x, uint32_t rehash6, uint32_t rehash16) {
    return entry_kind(x) == kind_one_block ? entry_rehash16(x) == rehash16 : entry_rehash6(x) == rehash6;
}

inline int32_t bitmap_bytes(int32_t num_blocks) { return (num_blocks + 7) / 8; }

inline bool bitmap_has(const unsigned char* p, uint32_t b) { return (p[b / 8] >> (b % 8) & 1) != 0; }

// Value k of a packed 12-bit stream (the count is value 0). Reads bytes
// (12k)/8 and (12k)/8 + 1 only.
inline uint32_t unpack12(const unsigned char* p, uint32_t k) {
    uint32_t j = k * 12 / 8;
    if (k & 1)
        return (p[j] >> 4) + p[j + 1] * 16u;
    return p[j] + (p[j + 1] & 0x0Fu) * 256u;
}

// Bytes a packed list of n blocks occupies (its count included).
inline uint32_t list_bytes(uint32_t n) { return ((n + 1) * 12 + 7) / 8; }

// The writers store a set of n blocks as a list while the list is no longer
// than a bitmap and within the list's window, else as a bitmap; the search
// reads either.
inline bool stored_as_list(uint32_t n, int32_t num_blocks) {
    return n <= static_cast<uint32_t>(max_list_count) &&
           list_bytes(n) <= static_cast<uint32_t>(bitmap_bytes(num_blocks));
}

inline uint32_t le32(const unsigned char* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline int16_t le16(const unsigned char* p) {
    return static_cast<int16_t>(p[0] | p[1] << 8);
}

// Where entry i of the block, file and directory tables stands.
inline int64_t block_entry_at(const file_header& h, int64_t block) { return h.block_table_offset + 4 * block; }
inline int64_t file_entry_at(const file_header& h, int64_t file) { return h.file_table_offset + 4 * file; }
inline int64_t dir_entry_at(const file_header& h, int64_t dir) { return h.dir_table_offset + 4 * dir; }

// Block b's files are [first, end) of the file table: first is block table
// entry b, end entry b + 1, or num_files for the last block (whose next entry
// may lie past the end of the file and is not taken).
inline int64_t block_files_end(const file_header& h, int32_t block, int32_t next_entry) {
    return block == h.num_blocks - 1 ? int64_t{h.num_files} : int64_t{next_entry};
}

// A name record as stored: its parent directory, then the name and its NUL.
inline int64_t name_record_bytes(size_t name_len) { return 2 + static_cast<int64_t>(name_len) + 1; }

// Reads the name record in the avail bytes at p: its parent and the length
// of its name (which starts at p + 2). False if no NUL ends the name there.
inline bool read_name_record(const unsigned char* p, int64_t avail, int16_t* parent, int32_t* len) {
    const void* nul = avail > 2 ? memchr(p + 2, 0, static_cast<size_t>(avail - 2)) : nullptr;
    if (nul == nullptr)
        return false;
    *parent = le16(p);
    *len = static_cast<int32_t>(static_cast<const unsigned char*>(nul) - (p + 2));
    return true;
}

// The header as stored: file_header's fields in their order, field i at
// offset 4i, little-endian. The search reads it into hdr through Read; the
// writers and the builder's check go through these.
inline file_header decode_header(const unsigned char* p) {
    int32_t fields[header_fields];
    for (int i = 0; i < header_fields; i++)
        fields[i] = static_cast<int32_t>(le32(p + 4 * i));
    file_header h;
    memcpy(&h, fields, sizeof h);
    return h;
}
inline void encode_header(const file_header& h, unsigned char* p) {
    int32_t fields[header_fields];
    memcpy(fields, &h, sizeof fields);
    for (int i = 0; i < header_fields; i++)
        for (int j = 0; j < 4; j++)
            p[4 * i + j] = static_cast<unsigned char>(static_cast<uint32_t>(fields[i]) >> (8 * j));
}

// Process-wide index state, set once by open_index and only read afterwards.
extern int fd;
extern file_header hdr;
extern const char datafile[];
// Counts the opens of an index, so that what was read from one is not taken
// for another's (tests and the fuzz harness open many in one process).
extern int32_t index_opened;

void open_index();

// Reads up to n bytes at the descriptor's position into buf, cleared first so
// that a short read leaves zeros, never stale bytes; with swap set, turns each
// little-endian 4-byte group into a host-order int32. Returns the count read
// (short only at the end of the file); a read error ends the process.
int32_t Read(int fd, void* buf, int32_t n, int swap);

// Read at an absolute offset of the index: every access but block expansion's
// tested seeks uses it. The bytes come from a few kept 4 KiB windows of the
// file where they hold them, else from positioned reads; the result is the
// same either way. The offset has been checked against the file.
int32_t Read_at(int64_t offset, void* buf, int32_t n, int swap);

// Read_at for a look ahead of the search: a failed read returns -1 and
// reports nothing, so that the search reports it, if at all, where it reaches
// those bytes itself.
int32_t Peek_at(int64_t offset, void* buf, int32_t n, int swap);
// Forgets the kept windows of the index that Read_at answers from, for a
// test that changes the index file under a search.
void drop_windows();

// Is [offset, offset + n) inside the index file?
bool inside(int64_t offset, int64_t n);

// Ends the process after a failure; every exit of the tool passes here.
[[noreturn]] void quit(int status);

// An integrity failure: "file:line: failed assertion `cond'", exit status 2.
[[noreturn]] void integrity_failure(const char* file, unsigned line, const char* cond);

// The text is the tool's fixed message for the condition, as its users know
// it: where it reads differently from the code beside it, the message wins.
#define CHECK(expr, text) \
    do { \
        if (!(expr)) integrity_failure(__FILE__, __LINE__, text); \
    } while (0)
