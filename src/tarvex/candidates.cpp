#include "candidates.h"

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__SSE2__) && !defined(TARVEX_PORTABLE_SCAN)
#include <emmintrin.h>
// On x86-64 a 32-byte search is compiled beside the 16-byte one and taken
// when the processor has AVX2; TARVEX_SSE2_SCAN leaves it out.
#if defined(__x86_64__) && !defined(TARVEX_SSE2_SCAN) && (defined(__GNUC__) || defined(__clang__))
#define TARVEX_WIDE_SCAN 1
#include <immintrin.h>
#endif
#endif

#include "index.h"
#include "tarvex.h"

char path[path_size];

// The fuzz harness survives failures by jumping out of the search: the live
// slice stays reachable so that the harness can free it, and candidate paths,
// which come from the fuzzed bytes, are opened only inside its sandbox.
#ifdef TARVEX_FUZZ
int32_t* fuzz_slice;
int fuzz_open(const char* name);
static void hold(int32_t* p) { fuzz_slice = p; }
static int open_candidate(const char* name) { return fuzz_open(name); }
#else
static void hold(int32_t*) {}
// Without O_NONBLOCK a FIFO with no writer would hold the open for ever; a
// regular file ignores the flag.
static int open_candidate(const char* name) { return open(name, O_RDONLY | O_NONBLOCK); }
#endif

static void release(int32_t* p) {
    hold(nullptr);
    free(p);
}

int64_t search_block(int32_t block) {
    int64_t entry_at = hdr.block_table_offset + 4 * static_cast<int64_t>(block);
    if (lseek(fd, entry_at, SEEK_SET) == -1) {
        fprintf(stderr, "lseek <1> failed: %s\n", strerror(errno));
        quit(1);
    }
    CHECK(block >= 0 && block < hdr.num_blocks, "block < hdr.num_blocks");
    bool last = block == hdr.num_blocks - 1;
    // The entry after the last block's own is read too, but may lie past the
    // end of the file: it is ignored.
    int32_t b[2];
    int32_t got = Read(fd, b, sizeof(b), 1);
    CHECK(got == 8 || (last && got >= 4), "block table entry inside the file");
    int64_t nfiles = (last ? hdr.num_files : static_cast<int64_t>(b[1])) - b[0];
    CHECK(nfiles > 0, "nfiles > 0");
    CHECK(b[0] >= 0, "b[0] >= 0");
    CHECK(b[0] + nfiles <= hdr.num_files, "b[0] + nfiles <= hdr.num_files");

    int64_t slice_at = hdr.file_table_offset + 4 * static_cast<int64_t>(b[0]);
    if (lseek(fd, slice_at, SEEK_SET) == -1) {
        fprintf(stderr, "lseek <2> failed: %s\n", strerror(errno));
        quit(1);
    }
    CHECK(lseek(fd, 0L, SEEK_CUR) == slice_at,
          "lseek(fd, 0L, SEEK_CUR) == hdr.file_table_offset + (b[0] * 4)");
    // Bounds the allocation by the file's own size.
    CHECK(inside(slice_at, 4 * nfiles), "file table slice inside the file");
    auto n = static_cast<int32_t>(4 * nfiles);
    auto* p = static_cast<int32_t*>(malloc(static_cast<size_t>(n)));
    if (p == nullptr) {
        fprintf(stderr, "tarvex: out of memory for the %lld files of block %d\n",
                static_cast<long long>(nfiles), block);
        quit(1);
    }
    hold(p);
    if (Read(fd, p, n, 1) != n) {
        release(p);
        CHECK(false, "file table slice inside the file");
    }
    // The whole slice is read first: each path walk moves the index's position.
    int64_t total = 0;
    for (int64_t i = 0; i < nfiles; i++)
        total += search_file(resolve_filename(p[i]));
    release(p);
    return total;
}

// The path is built from its end backwards, one name record at a time from
// the file up to the root, so that no level has to be held while the walk
// goes on; pos is where the built part starts in path.

// Puts "/" and len bytes of name in front of the built part.
static void prepend_name(const unsigned char* name, int32_t len, int32_t* pos) {
    // Every level adds at least its "/", so this bound also ends a parent
    // chain that loops.
    CHECK(len + 1 <= *pos, "path of at most 1023 bytes");
    *pos -= len;
    memcpy(path + *pos, name, static_cast<size_t>(len));
    path[--*pos] = '/';
}

// Reads the name record at offset n, puts "/" and its name in front of the
// built part, and returns the record's parent directory.
static int32_t prepend_record(int64_t n, int32_t* pos) {
    unsigned char buf[name_window];
    CHECK(inside(n, 3), "name record inside the file");
    int32_t got = Read_at(n, buf, name_window, 0);
    // Only bytes really read count: the window may run past the end of the file.
    const void* nul = got > 2 ? memchr(buf + 2, 0, static_cast<size_t>(got - 2)) : nullptr;
    CHECK(nul != nullptr, "name record ends with a NUL");
    int16_t dir_num = le16(buf);
    CHECK(dir_num >= 0, "dir_num >= 0");
    auto len = static_cast<int32_t>(static_cast<const unsigned char*>(nul) - (buf + 2));
    prepend_name(buf + 2, len, pos);
    return dir_num;
}

// Reads directory d's entry and record, puts "/" and its name in front of the
// built part, and returns its parent.
static int32_t prepend_dir(int32_t d, int32_t* pos) {
    int64_t at = hdr.dir_table_offset + 4 * static_cast<int64_t>(d);
    CHECK(inside(at, 4), "directory table entry inside the file");
    int32_t record;
    Read_at(at, &record, 4, 1);
    return prepend_record(record, pos);
}

static void prepend_dirs(int32_t d, int32_t* pos) {
    while (d != 0)
        d = prepend_dir(d, pos);
}

static char* finish(int32_t pos) {
    memmove(path, path + pos, static_cast<size_t>(path_size - pos));
    return path;
}

char* resolve_dir(int32_t n) {
    int32_t pos = path_size - 1;
    path[pos] = '\0';
    prepend_dirs(n, &pos);
    return finish(pos);
}

// Files come in directory order, so the last directory path built is kept,
// with the directories along it: kept_dir[k] is the k-th below the root, its
// path the first kept_len[k] bytes of kept_path. A walk stops at the first
// directory on the kept path and takes the rest from there, so the files of
// one directory cost their own name record only. What is kept belongs to the
// index it was read from; opening an index again drops it.
static int32_t kept_index = -1;
static int32_t kept_depth;
static int32_t kept_dir[path_size];
static int32_t kept_len[path_size];
static unsigned char kept_path[path_size];

// Where directory d stands on the kept path, or -1.
static int32_t kept_level(int32_t d) {
    if (kept_index != index_opened)
        return -1;
    for (int32_t k = kept_depth - 1; k >= 0; k--)
        if (kept_dir[k] == d)
            return k;
    return -1;
}

char* resolve_filename(int32_t n) {
    int32_t pos = path_size - 1;
    path[pos] = '\0';
    int32_t d = prepend_record(n, &pos);
    int32_t dir_end = pos;
    // Each level puts at least its "/" in front, so path_size bounds the walk.
    int32_t walked_dir[path_size], walked_end[path_size];
    int32_t walked = 0, level = -1;
    while (d != 0 && (level = kept_level(d)) < 0) {
        walked_dir[walked] = d;
        walked_end[walked++] = pos;
        d = prepend_dir(d, &pos);
    }
    // The kept path is "/" and the rest, so it goes in as one more level.
    if (d != 0)
        prepend_name(kept_path + 1, kept_len[level] - 1, &pos);
    if (walked > 0) {
        kept_depth = d != 0 ? level + 1 : 0;
        for (int32_t i = walked - 1; i >= 0; i--) {
            kept_dir[kept_depth] = walked_dir[i];
            kept_len[kept_depth++] = walked_end[i] - pos;
        }
        memcpy(kept_path, path + pos, static_cast<size_t>(dir_end - pos));
        kept_index = index_opened;
    }
    return finish(pos);
}

// The file scan reads each file in large reads into scan_buf and looks only at
// the places where the word occurs; the 255-byte pieces, their NUL cuts and
// their newlines are worked out around those places alone. The result is what
// a read of the file piece by piece (up to and through a newline, at most 255
// bytes, searched up to its first NUL) would print.

unsigned char scan_buf[scan_buf_size];

namespace {

constexpr size_t piece_max = 255;
// After a refill the carried part (the unfinished piece and the 255 bytes
// kept for the next occurrences' pieces) must leave room to move on.
static_assert(scan_buf_size >= 2 * piece_max + 2, "scan_buf holds two pieces");

// The word, A to Z folded, and the three of its bytes the search looks for:
// byte key_at[k] is looked for as (x | key_or[k]) == key_is[k], which takes
// both cases of a letter with one compare.
unsigned char key[word_size];
unsigned char key_case[word_size];  // 0x20 where key holds a letter
size_t key_len;
constexpr int looked_for = 3;
size_t key_at[looked_for];
unsigned char key_or[looked_for], key_is[looked_for];
#if defined(__SSE2__) && !defined(TARVEX_PORTABLE_SCAN)
__m128i vec_or[looked_for], vec_is[looked_for];  // the same, in every lane
#endif
#ifdef TARVEX_WIDE_SCAN
bool wide;  // the processor has AVX2: set with the key
#endif

inline unsigned char fold(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c | 0x20) : c;
}

// Roughly how often a byte turns up in a disc's text and source files, in
// bytes per ten thousand; a letter counts both its cases.
unsigned byte_weight(unsigned char c) {
    static const unsigned short letters[26] = {
        750, 150, 350, 400, 1100, 250, 200, 300, 700, 15, 80, 400, 250,
        650, 600, 250, 15, 600, 600, 850, 300, 100, 150, 50, 150, 20};
    c = fold(c);
    if (c >= 'a' && c <= 'z')
        return letters[c - 'a'];
    if (c >= '0' && c <= '9')
        return c <= '1' ? 150 : 60;
    if (c >= 128)
        return 5;
    switch (c) {
    case ' ': return 1500;
    case '_': return 250;
    case '\t': return 200;
    case '(': case ')': case ',': case ';': case '*': case '.': case '-':
    case '=': case '/': return 100;
    case '#': case '"': case '<': case '>': case '{': case '}': case '[':
    case ']': case ':': case '&': case '+': case '\'': case '!': case '|':
    case '%': case '\\': return 30;
    }
    return c < ' ' || c == 127 ? 1 : 10;
}

enum scan_kind { never_matches, anywhere, at_piece_end };

// A piece holds at most one newline, as its last byte, so a word with a
// newline can only match as the tail of a piece that ends with one (its own
// or the one a cut adds), and a word with a newline before its end never.
scan_kind prepare_key() {
    key_len = strlen(word);
    if (key_len == 0)
        return never_matches;
    for (size_t i = 0; i < key_len; i++) {
        key[i] = fold(static_cast<unsigned char>(word[i]));
        key_case[i] = key[i] >= 'a' && key[i] <= 'z' ? 0x20 : 0;
    }
    const void* nl = memchr(key, '\n', key_len);
    if (nl != nullptr)
        return nl == key + key_len - 1 ? at_piece_end : never_matches;
    // The three rarest bytes (fewer in a shorter word: a position repeats).
    for (int k = 0; k < looked_for; k++) {
        size_t best = key_len;
        for (size_t i = 0; i < key_len; i++) {
            bool taken = false;
            for (int j = 0; j < k; j++)
                taken = taken || key_at[j] == i;
            if (!taken && (best == key_len || byte_weight(key[i]) < byte_weight(key[best])))
                best = i;
        }
        key_at[k] = best < key_len ? best : key_at[k - 1];
        key_or[k] = key_case[key_at[k]];
        key_is[k] = key[key_at[k]];
#if defined(__SSE2__) && !defined(TARVEX_PORTABLE_SCAN)
        vec_or[k] = _mm_set1_epi8(static_cast<char>(key_or[k]));
        vec_is[k] = _mm_set1_epi8(static_cast<char>(key_is[k]));
#endif
    }
#ifdef TARVEX_WIDE_SCAN
    wide = __builtin_cpu_supports("avx2");
#endif
    return anywhere;
}

// Does the word start at s? Eight bytes at a time where it is that long, the
// last group overlapping the one before.
inline bool key_at_pos(const unsigned char* s) {
    if (key_len < 8) {
        for (size_t i = 0; i < key_len; i++)
            if ((s[i] | key_case[i]) != key[i])
                return false;
        return true;
    }
    uint64_t x, m, k;
    for (size_t i = 0;; i += 8) {
        if (i + 8 > key_len)
            i = key_len - 8;
        memcpy(&x, s + i, 8);
        memcpy(&m, key_case + i, 8);
        memcpy(&k, key + i, 8);
        if ((x | m) != k)
            return false;
        if (i + 8 == key_len)
            return true;
    }
}

#if defined(__SSE2__) && !defined(TARVEX_PORTABLE_SCAN)
// The first position q + i, bit i set in bits, where the word really starts:
// the vector compares only look at three of its bytes.
inline bool first_at(const unsigned char* b, size_t q, uint64_t bits, size_t* at) {
    for (; bits != 0; bits &= bits - 1) {
        size_t c = q + static_cast<size_t>(std::countr_zero(bits));
        if (key_at_pos(b + c)) {
            *at = c;
            return true;
        }
    }
    return false;
}

// Lane i is set where byte key_at[k] of an occurrence at i is there.
inline __m128i byte_there(const unsigned char* p, __m128i o, __m128i is) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    return _mm_cmpeq_epi8(_mm_or_si128(x, o), is);
}
#endif

#ifdef TARVEX_WIDE_SCAN
__attribute__((target("avx2"))) inline __m256i byte_there_wide(const unsigned char* p,
                                                                __m256i o, __m256i is) {
    __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    return _mm256_cmpeq_epi8(_mm256_or_si256(x, o), is);
}

// Looks for the word 64 positions at a time from *q while 64 are left before
// to: true with *q on the first occurrence, or false with *q where fewer than
// 64 are left.
__attribute__((target("avx2"))) bool next_occurrence_wide(const unsigned char* b, size_t* at,
                                                           size_t to) {
    const unsigned char* p0 = b + key_at[0];
    const unsigned char* p1 = b + key_at[1];
    const unsigned char* p2 = b + key_at[2];
    const __m256i or0 = _mm256_set1_epi8(static_cast<char>(key_or[0]));
    const __m256i is0 = _mm256_set1_epi8(static_cast<char>(key_is[0]));
    const __m256i or1 = _mm256_set1_epi8(static_cast<char>(key_or[1]));
    const __m256i is1 = _mm256_set1_epi8(static_cast<char>(key_is[1]));
    const __m256i or2 = _mm256_set1_epi8(static_cast<char>(key_or[2]));
    const __m256i is2 = _mm256_set1_epi8(static_cast<char>(key_is[2]));
    size_t q = *at;
    while (q + 64 <= to) {
        __m256i lo = _mm256_and_si256(
            _mm256_and_si256(byte_there_wide(p0 + q, or0, is0), byte_there_wide(p1 + q, or1, is1)),
            byte_there_wide(p2 + q, or2, is2));
        __m256i hi = _mm256_and_si256(_mm256_and_si256(byte_there_wide(p0 + q + 32, or0, is0),
                                                       byte_there_wide(p1 + q + 32, or1, is1)),
                                      byte_there_wide(p2 + q + 32, or2, is2));
        if (!_mm256_testz_si256(_mm256_or_si256(lo, hi), _mm256_or_si256(lo, hi))) {
            uint64_t bits = static_cast<uint32_t>(_mm256_movemask_epi8(lo)) |
                            static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(hi)))
                                << 32;
            if (first_at(b, q, bits, at))
                return true;
        }
        q += 64;
    }
    *at = q;
    return false;
}
#endif

// The first q in [from, to) where the word starts, or to; the bytes up to
// q + key_len - 1 must be in the buffer for every such q.
size_t next_occurrence(const unsigned char* b, size_t from, size_t to) {
    size_t q = from;
#ifdef TARVEX_WIDE_SCAN
    if (wide && next_occurrence_wide(b, &q, to))
        return q;
#endif
    const unsigned char* p0 = b + key_at[0];
    const unsigned char* p1 = b + key_at[1];
    const unsigned char* p2 = b + key_at[2];
#if defined(__SSE2__) && !defined(TARVEX_PORTABLE_SCAN)
    const __m128i or0 = vec_or[0], is0 = vec_is[0];
    const __m128i or1 = vec_or[1], is1 = vec_is[1];
    const __m128i or2 = vec_or[2], is2 = vec_is[2];
    while (q + 32 <= to) {
        __m128i lo = _mm_and_si128(_mm_and_si128(byte_there(p0 + q, or0, is0),
                                                 byte_there(p1 + q, or1, is1)),
                                   byte_there(p2 + q, or2, is2));
        __m128i hi = _mm_and_si128(_mm_and_si128(byte_there(p0 + q + 16, or0, is0),
                                                 byte_there(p1 + q + 16, or1, is1)),
                                   byte_there(p2 + q + 16, or2, is2));
        if (_mm_movemask_epi8(_mm_or_si128(lo, hi)) != 0) {
            auto bits = static_cast<uint32_t>(_mm_movemask_epi8(lo)) |
                        static_cast<uint32_t>(_mm_movemask_epi8(hi)) << 16;
            size_t c;
            if (first_at(b, q, bits, &c))
                return c;
        }
        q += 32;
    }
#endif
    for (; q < to; q++)
        if ((p0[q] | key_or[0]) == key_is[0] && (p1[q] | key_or[1]) == key_is[1] &&
            (p2[q] | key_or[2]) == key_is[2] && key_at_pos(b + q))
            return q;
    return to;
}

// The start of the piece that holds position q, from a piece start at or
// before it: the last line start before q, then whole 255-byte cuts.
size_t piece_start(const unsigned char* b, size_t anchor, size_t q) {
    size_t ls = q;
#if defined(__SSE2__) && !defined(TARVEX_PORTABLE_SCAN)
    const __m128i nl = _mm_set1_epi8('\n');
    while (ls >= anchor + 16) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + ls - 16));
        auto bits = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, nl)));
        if (bits != 0) {
            ls = ls - 16 + static_cast<size_t>(32 - std::countl_zero(bits));
            return ls + (q - ls) / piece_max * piece_max;
        }
        ls -= 16;
    }
#endif
    while (ls > anchor && b[ls - 1] != '\n')
        ls--;
    return ls + (q - ls) / piece_max * piece_max;
}

// The end of the piece that starts at ps: through its newline, at most 255
// bytes, or the end of the data.
size_t piece_end(const unsigned char* b, size_t ps, size_t have) {
    size_t lim = ps + piece_max < have ? ps + piece_max : have;
    const void* nl = memchr(b + ps, '\n', lim - ps);
    return nl != nullptr ? static_cast<size_t>(static_cast<const unsigned char*>(nl) - b) + 1 : lim;
}

// Where the scanned part of a piece ends: at its first NUL, if any.
size_t scanned_end(const unsigned char* b, size_t ps, size_t pe) {
    const void* z = memchr(b + ps, 0, pe - ps);
    return z != nullptr ? static_cast<size_t>(static_cast<const unsigned char*>(z) - b) : pe;
}

// Records are gathered in out_block and go to the stream a file at a time (or
// a full block at a time): one stdio call per file rather than one per line.
// Each is the file's name, ": ", the piece, and a newline where it has none,
// so that every record ends with exactly one (a cut piece, a last line
// without one and a piece cut short at a NUL get it added).
char out_block[64 * 1024];
size_t out_fill;
size_t name_len;

void flush_block() {
    if (out_fill > 0)
        fwrite(out_block, 1, out_fill, stdout);
    out_fill = 0;
}

void print_piece(const char* filename, const unsigned char* s, size_t n) {
    size_t len = name_len + 2 + n + 1;
    if (len > sizeof out_block) {
        // Only a caller's own name can be this long, never a rebuilt path.
        flush_block();
        fputs(filename, stdout);
        fputs(": ", stdout);
        fwrite(s, 1, n, stdout);
        if (s[n - 1] != '\n')
            putc('\n', stdout);
        return;
    }
    if (out_fill + len > sizeof out_block)
        flush_block();
    char* o = out_block + out_fill;
    memcpy(o, filename, name_len);
    o += name_len;
    *o++ = ':';
    *o++ = ' ';
    memcpy(o, s, n);
    o += n;
    if (s[n - 1] != '\n')
        *o++ = '\n';
    out_fill = static_cast<size_t>(o - out_block);
}

// Does the word, which ends with a newline, end the piece [ps, pe)?
bool key_ends_piece(const unsigned char* b, size_t ps, size_t pe) {
    if (scanned_end(b, ps, pe) != pe)
        return false;
    size_t n = pe - ps;
    if (b[pe - 1] == '\n')
        return key_len <= n && key_at_pos(b + pe - key_len);
    if (n < piece_max)
        return false;  // the last line, without a newline
    // A cut piece: its added newline is the word's last byte.
    size_t m = key_len - 1;
    for (size_t i = 0; i < m; i++)
        if (fold(b[pe - m + i]) != key[i])
            return false;
    return true;
}

// A read that fails ends the file where the pieces read so far end: the
// piece it interrupted is dropped unread.
size_t whole_pieces(const unsigned char* b, size_t anchor, size_t have) {
    if (have == anchor)
        return have;
    size_t ps = piece_start(b, anchor, have - 1);
    size_t pe = piece_end(b, ps, have);
    return b[pe - 1] == '\n' || pe - ps == piece_max ? pe : ps;
}

// Regular files ignore O_NONBLOCK on Linux; should a file system not, the
// file is read blocking from then on rather than cut short.
bool clear_nonblock(int f) {
    int flags = fcntl(f, F_GETFL);
    return flags != -1 && (flags & O_NONBLOCK) != 0 && fcntl(f, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

int64_t scan_descriptor(int f, const char* filename, scan_kind kind) {
    unsigned char* b = scan_buf;
    size_t have = 0, from = 0, anchor = 0;
    bool eof = false;
    int64_t rv = 0;
    for (;;) {
        while (have < scan_buf_size && !eof) {
            ssize_t r = read(f, b + have, scan_buf_size - have);
            if (r > 0) {
                have += static_cast<size_t>(r);
            } else if (r < 0 && errno == EINTR) {
                continue;
            } else if (r < 0 && errno == EAGAIN && clear_nonblock(f)) {
                continue;  // the open's O_NONBLOCK, where a file system honours it
            } else {
                eof = true;
                if (r < 0)
                    have = whole_pieces(b, anchor, have);
            }
        }
        // Before the end of the file only occurrences whose whole piece is in
        // the buffer are taken: those starting 255 bytes before its end.
        size_t limit = eof ? have : have - piece_max;
        if (kind == at_piece_end) {
            while (from < limit) {
                size_t pe = piece_end(b, from, have);
                if (key_ends_piece(b, from, pe)) {
                    print_piece(filename, b + from, pe - from);
                    rv++;
                }
                from = pe;
            }
            anchor = from;
        } else {
            size_t last = eof ? (have >= key_len ? have - key_len + 1 : 0) : limit;
            while (from < last) {
                size_t q = next_occurrence(b, from, last);
                if (q == last) {
                    from = last;
                    break;
                }
                size_t ps = piece_start(b, anchor, q);
                anchor = ps;
                if (q + key_len > ps + piece_max) {
                    from = q + 1;  // the word runs across a cut
                    continue;
                }
                size_t pe = piece_end(b, ps, have);
                size_t end = scanned_end(b, ps, pe);
                if (end >= q + key_len) {
                    print_piece(filename, b + ps, end - ps);
                    rv++;
                }
                // A piece is printed once; past a NUL it is not searched.
                from = anchor = pe;
            }
        }
        if (eof)
            return rv;
        size_t keep = piece_start(b, anchor, from);
        memmove(b, b + keep, have - keep);
        have -= keep;
        from -= keep;
        anchor = 0;
    }
}

}  // namespace

// A pipe or a file takes records in 64 KiB writes rather than stdio's 4 KiB
// ones: a word in most files prints megabytes, and each write costs a system
// call and a wake-up of the reader. A terminal keeps its line buffering.
char out_buf[64 * 1024];

void buffer_output() {
    // A stream's buffer may only be set before its first use: once a process.
    static bool done;
    if (!done && !isatty(STDOUT_FILENO))
        setvbuf(stdout, out_buf, _IOFBF, sizeof out_buf);
    done = true;
}

// Why a candidate that is not a regular file is not searched. A directory
// gets the system's own words; reading a device could take for ever (or for
// ever return bytes), and a FIFO or socket would wait for a writer.
static const char* not_searched(mode_t mode) {
    if (S_ISDIR(mode))
        return strerror(EISDIR);
    if (S_ISCHR(mode))
        return "Not a regular file (a character device)";
    if (S_ISBLK(mode))
        return "Not a regular file (a block device)";
    if (S_ISFIFO(mode))
        return "Not a regular file (a FIFO)";
    if (S_ISSOCK(mode))
        return "Not a regular file (a socket)";
    return "Not a regular file";
}

// Opening a socket fails (ENXIO) before its kind can be seen on a descriptor;
// the path says what it is. Only a failed open pays for this look.
static const char* open_failure(const char* filename, int err) {
    struct stat st;
    if (err == ENXIO && stat(filename, &st) == 0 && !S_ISREG(st.st_mode))
        return not_searched(st.st_mode);
    return strerror(err);
}

// Scans the open candidate f if it is a regular file, and closes it.
static int64_t search_opened(int f, const struct stat& st, const char* filename) {
    int64_t rv = 0;
    if (!S_ISREG(st.st_mode)) {
        fprintf(stderr, "Cannot open %s: %s\n", filename, not_searched(st.st_mode));
    } else {
        scan_kind kind = prepare_key();
        name_len = strlen(filename);
        rv = kind == never_matches ? 0 : scan_descriptor(f, filename, kind);
        flush_block();
    }
    close(f);
    return rv;
}

int64_t search_file(const char* filename) {
    int f = open_candidate(filename);
    if (f < 0) {
        int err = errno;
        fprintf(stderr, "Cannot open %s: %s\n", filename, open_failure(filename, err));
        return 0;
    }
    struct stat st;
    if (fstat(f, &st) != 0) {
        fprintf(stderr, "Cannot open %s: %s\n", filename, strerror(errno));
        close(f);
        return 0;
    }
    return search_opened(f, st, filename);
}
