#include "index.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

int fd = -1;
file_header hdr;
const char datafile[] = "utils/tarvex.dat";
int32_t index_opened;

#ifdef TARVEX_FUZZ
#include <csetjmp>
// The fuzz harness survives the tool's exits: quit jumps back to it instead of
// ending the process, after the same messages have been written.
extern std::jmp_buf fuzz_exit;
extern int fuzz_status;
[[noreturn]] void quit(int status) {
    fflush(stdout);
    fuzz_status = status;
    std::longjmp(fuzz_exit, 1);
}
#else
[[noreturn]] void quit(int status) { exit(status); }
#endif

[[noreturn]] void integrity_failure(const char* file, unsigned line, const char* cond) {
    // Lines already printed are kept: standard output goes out before the report.
    fflush(stdout);
    const char* base = strrchr(file, '/');
    fprintf(stderr, "%s:%u: failed assertion `%s'\n", base ? base + 1 : file, line, cond);
    fflush(stderr);
    quit(2);
}

// Reads up to n bytes into b, at the descriptor's position or at offset when
// it is not negative; stops short only at the end of the file. Returns -1
// with errno set when a read fails.
static int32_t read_fully(int fd, unsigned char* b, int32_t n, int64_t offset) {
    int32_t got = 0;
    while (got < n) {
        auto want = static_cast<size_t>(n - got);
        ssize_t r = offset < 0 ? read(fd, b + got, want)
                               : pread(fd, b + got, want, static_cast<off_t>(offset + got));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -1;
        if (r == 0)
            break;
        got += static_cast<int32_t>(r);
    }
    return got;
}

// Positioned reads are answered from a few kept windows of the index where
// they can be: the name records of one directory's files lie together, and so
// do a walk's directory records and directory table entries, so most of them
// cost no call. The index does not change while it is searched; a window
// belongs to the open that read it. A window shorter than window_size ends at
// the end of the file.
constexpr int32_t window_size = 4096;
constexpr int n_windows = 4;  // names, directory names, directory table, the rest
struct index_window {
    int32_t opened = -1;
    int64_t at;
    int32_t len;
    uint64_t used;
    unsigned char bytes[window_size];
};
static index_window windows[n_windows];
static uint64_t window_uses;

// The bytes of [offset, offset + n) from a window, or -1 when none holds them
// and they are not worth one.
static int32_t from_window(unsigned char* b, int32_t n, int64_t offset) {
    index_window* w = nullptr;
    for (index_window& k : windows) {
        if (k.opened == index_opened && offset >= k.at && offset <= k.at + k.len &&
            (offset + n <= k.at + k.len || k.len < window_size)) {
            w = &k;
            break;
        }
    }
    if (w == nullptr) {
        if (n > window_size / 2 || offset >= hdr.filesize)
            return -1;
        w = &windows[0];
        for (index_window& k : windows)
            if (k.used < w->used)
                w = &k;
        // A walk goes up as well as down the records: the window reaches back.
        int64_t at = offset >= window_size / 4 ? offset - window_size / 4 : 0;
        int64_t want = hdr.filesize - at < window_size ? hdr.filesize - at : window_size;
        w->opened = -1;
        // A failed read leaves the request to the direct read, which reports it.
        int32_t len = read_fully(fd, w->bytes, static_cast<int32_t>(want), at);
        if (len < 0)
            return -1;
        w->opened = index_opened;
        w->at = at;
        w->len = len;
        if (offset > at + len)
            return -1;
    }
    w->used = ++window_uses;
    int64_t left = w->at + w->len - offset;
    int32_t got = left < n ? static_cast<int32_t>(left) : n;
    memcpy(b, w->bytes + (offset - w->at), static_cast<size_t>(got));
    return got;
}

void drop_windows() {
    for (index_window& w : windows)
        w.opened = -1;
}

// Reads at the descriptor's position, or at offset when it is not negative.
// A failed read ends the process, unless quiet: then it returns -1.
static int32_t read_index(int fd, void* buf, int32_t n, int swap, int64_t offset,
                          bool quiet = false) {
    CHECK(n > 0, "n > 0");
    CHECK(swap == 0 || (n & 3) == 0, "swap == 0 || (n & 3) == 0");
    auto* b = static_cast<unsigned char*>(buf);
    memset(b, 0, static_cast<size_t>(n));
    int32_t got = offset >= 0 ? from_window(b, n, offset) : -1;
    if (got < 0)
        got = read_fully(fd, b, n, offset);
    if (got < 0 && quiet)
        return -1;
    if (got < 0) {
        fprintf(stderr, "read failed: %s\n", strerror(errno));
        quit(1);
    }
    if (swap) {
        for (int32_t i = 0; i + 4 <= n; i += 4) {
            uint32_t v = le32(b + i);
            memcpy(b + i, &v, 4);
        }
    }
    return got;
}

int32_t Read(int fd, void* buf, int32_t n, int swap) { return read_index(fd, buf, n, swap, -1); }

int32_t Read_at(int64_t offset, void* buf, int32_t n, int swap) {
    return read_index(fd, buf, n, swap, offset);
}

int32_t Peek_at(int64_t offset, void* buf, int32_t n, int swap) {
    return read_index(fd, buf, n, swap, offset, true);
}

bool inside(int64_t offset, int64_t n) {
    return offset >= 0 && n >= 0 && offset + n <= hdr.filesize;
}

void open_index() {
    index_opened++;
    fd = open(datafile, O_RDONLY);
    if (fd < 0) {
        fprintf(stderr, "cannot open %s: %s\n", datafile, strerror(errno));
        quit(1);
    }
    int32_t got = Read(fd, &hdr, sizeof(hdr), 1);
    CHECK(got == static_cast<int32_t>(sizeof(hdr)), "read(fd, &hdr, sizeof(hdr)) == sizeof(hdr)");
    CHECK(hdr.header_size == static_cast<int32_t>(sizeof(hdr)), "hdr.header_size == sizeof(hdr)");
    CHECK(hdr.filesize == lseek(fd, 0L, SEEK_END), "hdr.filesize == lseek(fd, 0L, SEEK_END)");
    // The hash and the probe take the slot count as their modulus, and every
    // probe reads a slot unchecked, so the whole table must be in the file.
    uint32_t prime = static_cast<uint32_t>(hdr.hash_prime);
    CHECK(prime != 0, "hdr.hash_prime != 0");
    CHECK(inside(hdr.hash_table_offset, 4 * static_cast<int64_t>(prime)),
          "hash table inside the file");
}
