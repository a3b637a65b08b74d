#include "scan.h"

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include "candidates.h"
#include "index.h"
#include "occurrence.h"

// The scan reads each file in large reads into scan_buf and looks only at
// the places where the word occurs; the 255-byte pieces, their NUL cuts and
// their newlines are worked out around those places alone. The result is what
// a read of the file piece by piece (up to and through a newline, at most 255
// bytes, searched up to its first NUL) would print.
static unsigned char scan_buf[scan_buf_size];

constexpr size_t piece_max = 255;
// After a refill the carried part (the unfinished piece and the 255 bytes
// kept for the next occurrences' pieces) must leave room to move on.
static_assert(scan_buf_size >= 2 * piece_max + 2, "scan_buf holds two pieces");

// The start of the piece that holds position q, from a piece start at or
// before it: the last line start before q, then whole 255-byte cuts.
static size_t piece_start(const unsigned char* b, size_t anchor, size_t q) {
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
#ifdef TARVEX_NEON_SCAN
    const uint8x16_t nl = vdupq_n_u8('\n');
    while (ls >= anchor + 16) {
        uint64_t bits = lane_nibbles(vceqq_u8(vld1q_u8(b + ls - 16), nl));
        if (bits != 0) {
            ls = ls - 16 + static_cast<size_t>(64 - std::countl_zero(bits)) / 4;
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
static size_t piece_end(const unsigned char* b, size_t ps, size_t have) {
    size_t lim = ps + piece_max < have ? ps + piece_max : have;
    const void* nl = memchr(b + ps, '\n', lim - ps);
    return nl != nullptr ? static_cast<size_t>(static_cast<const unsigned char*>(nl) - b) + 1 : lim;
}

// Where the scanned part of a piece ends: at its first NUL, if any.
static size_t scanned_end(const unsigned char* b, size_t ps, size_t pe) {
    const void* z = memchr(b + ps, 0, pe - ps);
    return z != nullptr ? static_cast<size_t>(static_cast<const unsigned char*>(z) - b) : pe;
}

// Does the word, which ends with a newline, end the piece [ps, pe)?
static bool key_ends_piece(const unsigned char* b, size_t ps, size_t pe) {
    if (scanned_end(b, ps, pe) != pe)
        return false;
    size_t len = pe - ps;
    if (b[pe - 1] == '\n')
        return key_len <= len && key_at_pos(b + pe - key_len);
    if (len < piece_max)
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
static size_t whole_pieces(const unsigned char* b, size_t anchor, size_t have) {
    if (have == anchor)
        return have;
    size_t ps = piece_start(b, anchor, have - 1);
    size_t pe = piece_end(b, ps, have);
    return b[pe - 1] == '\n' || pe - ps == piece_max ? pe : ps;
}

// Records are gathered in out_block and go to the stream a file at a time (or
// a full block at a time): one stdio call per file rather than one per line.
// Each is the file's name, ": ", the piece, and a newline where it has none,
// so that every record ends with exactly one (a cut piece, a last line
// without one and a piece cut short at a NUL get it added).
static char out_block[64 * 1024];
static size_t out_fill;
static size_t name_len;

void write_failed() {
    fprintf(stderr, "tarvex: write failed: %s\n", strerror(errno));
    quit(1);
}

// A failed write ends the search at once: every line after it would be lost
// as well, and the candidates still to come would be opened for nothing.
// errno is still the failed write's.
static void stop_on_write_failure() {
    if (ferror(stdout))
        write_failed();
}

static void flush_block() {
    if (out_fill == 0)
        return;
    fwrite(out_block, 1, out_fill, stdout);
    out_fill = 0;
    stop_on_write_failure();
}

static void print_piece(const char* filename, const unsigned char* s, size_t len) {
    size_t record_len = name_len + 2 + len + 1;
    if (record_len > sizeof out_block) {
        // Only a caller's own name can be this long, never a rebuilt path.
        flush_block();
        fputs(filename, stdout);
        fputs(": ", stdout);
        fwrite(s, 1, len, stdout);
        if (s[len - 1] != '\n')
            putc('\n', stdout);
        stop_on_write_failure();
        return;
    }
    if (out_fill + record_len > sizeof out_block)
        flush_block();
    char* o = out_block + out_fill;
    memcpy(o, filename, name_len);
    o += name_len;
    *o++ = ':';
    *o++ = ' ';
    memcpy(o, s, len);
    o += len;
    if (s[len - 1] != '\n')
        *o++ = '\n';
    out_fill = static_cast<size_t>(o - out_block);
}

// A pipe or a file takes records in 64 KiB writes rather than stdio's 4 KiB
// ones: a word in most files prints megabytes, and each write costs a system
// call and a wake-up of the reader. A terminal keeps its line buffering.
static char out_buf[64 * 1024];

void buffer_output() {
    // A stream's buffer may only be set before its first use: once a process.
    static bool done;
    if (!done && !isatty(STDOUT_FILENO))
        setvbuf(stdout, out_buf, _IOFBF, sizeof out_buf);
    done = true;
}

// Regular files ignore O_NONBLOCK on Linux; should a file system not, the
// file is read blocking from then on rather than cut short.
static bool clear_nonblock(int file_fd) {
    int flags = fcntl(file_fd, F_GETFL);
    return flags != -1 && (flags & O_NONBLOCK) != 0 &&
           fcntl(file_fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

bool nowait_usable = true;

// The part of a file in scan_buf, between the phases of its scan:
//   have: scan_buf[0, have) holds the file's bytes from some offset on;
//   from <= have: every occurrence that starts before from has been printed,
//     or is not to be (it runs across a cut, or lies past a NUL in its piece);
//   anchor <= from: the start of a piece, at or before the start of the piece
//     that holds from, so that a piece's start is looked for back to anchor
//     and no further;
//   eof: no more bytes will come (the end of the file, its size at its turn,
//     or a failed read);
//   left: the bytes still to read up to the size at its turn;
//   ask: the next read asks for cached bytes only.
struct scan_state {
    size_t have, from, anchor;
    bool eof;
    uint64_t left;
    bool ask;
};

// Reads until the buffer is full or no more bytes will come. The first read
// of a file asks for cached bytes only (RWF_NOWAIT): on a cold disc it fails
// at once, and read-ahead learns from *cold that the disc is cold at the cost
// of that one call. A file system that cannot answer ends the asking for the
// run.
static void refill(int file_fd, scan_state& s, [[maybe_unused]] int* cold) {
    unsigned char* b = scan_buf;
    while (s.have < scan_buf_size && !s.eof) {
        if (s.left == 0) {
            s.eof = true;
            break;
        }
        size_t want = scan_buf_size - s.have < s.left ? scan_buf_size - s.have
                                                      : static_cast<size_t>(s.left);
        ssize_t r;
#ifdef RWF_NOWAIT
        if (s.ask) {
            s.ask = false;
            iovec v = {b + s.have, want};
            r = preadv2(file_fd, &v, 1, -1, RWF_NOWAIT);
            if (r < 0 && errno == EAGAIN) {
                *cold = 1;
                continue;
            }
            if (r < 0 && (errno == EOPNOTSUPP || errno == EINVAL)) {
                nowait_usable = false;
                continue;
            }
            if (r >= 0)
                *cold = 0;
        } else
#endif
            r = read(file_fd, b + s.have, want);
        if (r > 0) {
            s.have += static_cast<size_t>(r);
            s.left -= static_cast<uint64_t>(r);
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else if (r < 0 && errno == EAGAIN && clear_nonblock(file_fd)) {
            continue;  // the open's O_NONBLOCK, where a file system honours it
        } else {
            s.eof = true;
            if (r < 0)
                s.have = whole_pieces(b, s.anchor, s.have);
        }
    }
}

// Prints each piece from s.from on, before limit, that the word ends; for a
// word that ends with a newline.
static int64_t print_piece_ends(const char* filename, scan_state& s, size_t limit) {
    const unsigned char* b = scan_buf;
    int64_t printed = 0;
    while (s.from < limit) {
        size_t pe = piece_end(b, s.from, s.have);
        if (key_ends_piece(b, s.from, pe)) {
            print_piece(filename, b + s.from, pe - s.from);
            printed++;
        }
        s.from = pe;
    }
    s.anchor = s.from;
    return printed;
}

// Prints each piece that holds an occurrence starting from s.from on, before
// last.
static int64_t print_occurrences(const char* filename, scan_state& s, size_t last) {
    const unsigned char* b = scan_buf;
    int64_t printed = 0;
    while (s.from < last) {
        size_t q = next_occurrence(b, s.from, last);
        if (q == last) {
            s.from = last;
            break;
        }
        size_t ps = piece_start(b, s.anchor, q);
        s.anchor = ps;
        if (q + key_len > ps + piece_max) {
            s.from = q + 1;  // the word runs across a cut
            continue;
        }
        size_t pe = piece_end(b, ps, s.have);
        size_t end = scanned_end(b, ps, pe);
        if (end >= q + key_len) {
            print_piece(filename, b + ps, end - ps);
            printed++;
        }
        // A piece is printed once; past a NUL it is not searched.
        s.from = s.anchor = pe;
    }
    return printed;
}

// Moves the piece that holds s.from, and what follows it, to the front of
// the buffer for the next refill.
static void carry(scan_state& s) {
    size_t keep = piece_start(scan_buf, s.anchor, s.from);
    memmove(scan_buf, scan_buf + keep, s.have - keep);
    s.have -= keep;
    s.from -= keep;
    s.anchor = 0;
}

static int64_t scan_descriptor(int file_fd, const char* filename, scan_kind kind, uint64_t size,
                               int* cold) {
    scan_state s = {0, 0, 0, false, size > 0 ? size : UINT64_MAX, nowait_usable};
    int64_t printed = 0;
    for (;;) {
        refill(file_fd, s, cold);
        // Before the end of the file only occurrences whose whole piece is in
        // the buffer are taken: those starting 255 bytes before its end.
        size_t limit = s.eof ? s.have : s.have - piece_max;
        if (kind == at_piece_end)
            printed += print_piece_ends(filename, s, limit);
        else
            printed += print_occurrences(
                filename, s, s.eof ? (s.have >= key_len ? s.have - key_len + 1 : 0) : limit);
        if (s.eof)
            return printed;
        carry(s);
    }
}

int64_t scan_file(int file_fd, const char* filename, uint64_t size, int* cold) {
    *cold = -1;
    scan_kind kind = prepare_key();
    name_len = strlen(filename);
    int64_t printed =
        kind == never_matches ? 0 : scan_descriptor(file_fd, filename, kind, size, cold);
    flush_block();
    return printed;
}
