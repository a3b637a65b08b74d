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
#pragma once

#include <cstdint>

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
static_assert(sizeof(file_header) == 80, "the header is twenty 32-bit fields");

constexpr int32_t header_bytes = 80;
constexpr int32_t name_window = 300;   // a name record's read
constexpr int32_t block_window = 512;  // a bitmap's or block list's read
constexpr int32_t max_blocks = 4096;   // block numbers are 12 bits wide
constexpr int32_t max_list_count = 340;  // 341 12-bit values fill 512 bytes
constexpr int32_t max_name = name_window - 3;  // parent, name, NUL
constexpr int32_t max_dir = 32767;     // parents are signed 16-bit
constexpr uint32_t max_area_offset = 1u << 24;  // bitmap and list offsets are 24 bits

// Entry fields, shared by the probe, the posting expansion and the writer.
inline uint32_t entry_kind(uint32_t x) { return x >> 30; }
inline uint32_t entry_check6(uint32_t x) { return (x >> 24) & 0x3F; }
inline uint32_t entry_check16(uint32_t x) { return (x >> 12) & 0xFFFF; }
inline uint32_t entry_offset(uint32_t x) { return x & 0x00FFFFFF; }

// Would the probe of a word with these check values stop at entry x?
inline bool entry_accepts(uint32_t x, uint32_t r6, uint32_t r16) {
    return entry_kind(x) == 1 ? entry_check16(x) == r16 : entry_check6(x) == r6;
}

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

inline uint32_t le32(const unsigned char* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline int16_t le16(const unsigned char* p) {
    return static_cast<int16_t>(p[0] | p[1] << 8);
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

#define CHECK(expr, text) \
    do { \
        if (!(expr)) integrity_failure(__FILE__, __LINE__, text); \
    } while (0)
