#include "candidates.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "index.h"
#include "path.h"
#include "scan.h"

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
static int64_t search_opened(int f, const struct stat& st, const char* filename, int* cold) {
    int64_t rv = 0;
    if (!S_ISREG(st.st_mode)) {
        fprintf(stderr, "Cannot open %s: %s\n", filename, not_searched(st.st_mode));
    } else {
        uint64_t size = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
        rv = scan_file(f, filename, size, cold);
    }
    close(f);
    return rv;
}

// Read-ahead. On a cold disc every candidate is a wait on the device, and a
// search that asks for one file at a time leaves the device idle while it
// scans, and itself idle while the device seeks. So while a file is scanned
// the next candidates are already open and the kernel has been told
// (POSIX_FADV_WILLNEED) that their bytes are wanted: it reads them while the
// scan runs, and the device gets a queue of requests it can order. They come
// from the rest of the block's slice and, past its end, from the blocks that
// posting expansion will search next (plan_blocks).
//
// Everything the user sees stays as a search without read-ahead makes it: a
// file's path is walked quietly ahead (an index that breaks the layout fails
// at the turn's own walk), an open that fails ahead is made again at the
// file's turn and reported then, with the reason found then, and a file that
// changed after it was opened ahead (removed, renamed over, its mode or
// contents changed: its ctime moves, or it has no link left) is opened again
// at its turn, so it is searched as it is then.
//
// How far: on the Linux 6.1 tree with a cold page cache (bench/cold, medians
// of 3 to 5 runs), reading 0, 8, 16, 32 and 64 files ahead took 32, 25, 25,
// 26 and 26 ms for a rare word, 0.65, 0.42, 0.41, 0.42 and 0.42 s for a word
// in 1% of the files and 5.2, 3.2, 3.2, 3.1 and 3.2 s for one in most, with
// the advice given file by file: the gain was all there by 8 to 16. With the
// advice in bursts (advise_coming) the ring is refilled a burst at a time, so
// it runs between depth - burst and depth files ahead. kmalloc_array cold,
// interleaved runs (median of 6): 32 ahead in bursts of 16 took 364 ms, 48 in
// bursts of 24 349 ms and 64 in bursts of 32 343 ms, against 523 ms for 16
// advised one by one; 32 keeps the descriptors to a few dozen.
#ifndef TARVEX_READ_AHEAD
#define TARVEX_READ_AHEAD 32
#endif
constexpr int ahead_depth = TARVEX_READ_AHEAD;
static_assert(ahead_depth >= 0 && ahead_depth <= 64, "a few dozen descriptors at most");
#ifndef TARVEX_ADVICE_BURST
#define TARVEX_ADVICE_BURST 16
#endif
constexpr int advice_burst = TARVEX_ADVICE_BURST < ahead_depth ? TARVEX_ADVICE_BURST : ahead_depth;
static_assert(TARVEX_ADVICE_BURST >= 1, "a burst holds a file at least");

struct coming_file {
    int32_t record;  // its name record (its file-table entry)
    int fd;          // opened ahead, or -1: opened at its turn
    bool walked;     // path holds its path
    bool advised;    // its advice is given (or it needs none)
    timespec since;  // the coarse clock just before it was opened ahead
    char path[path_size];
};
// A ring: the file at its turn, then the files ahead of it, in search order.
constexpr int ring_size = ahead_depth + 1;
static coming_file coming[ring_size];
static int coming_first, coming_count;
static int32_t coming_index = -1;  // the index open the ring belongs to
// Lowered for good when the descriptor limit is met: no more ahead than fit.
static int ahead_room = ahead_depth;

// The blocks posting expansion searches, in its order; planned_turn is the
// position of the next search_block call, -1 when there is no plan.
static int32_t planned[max_blocks];
static int32_t planned_count, planned_turn = -1, planned_index = -1;

// The block at its turn: its slice, its files [turn_first, turn_end) and its
// plan position (-1 outside a plan).
static const int32_t* turn_slice;
static int64_t turn_first, turn_end;
static int32_t turn_plan;

// The next file to read ahead: file-table entry next_file of the block at
// plan position next_plan, whose files end before next_end.
static int32_t next_plan;
static int64_t next_file, next_end;
static bool next_blocked;  // the next block's entries could not be read quietly

static coming_file& nth(int k) { return coming[(coming_first + k) % ring_size]; }

static void drop_coming() {
    for (int k = 0; k < coming_count; k++)
        if (nth(k).fd >= 0)
            close(nth(k).fd);
    coming_count = 0;
    coming_index = index_opened;
}

void plan_blocks(const int32_t* blocks, int32_t n) {
    drop_coming();
    planned_count = n < max_blocks ? n : max_blocks;
    memcpy(planned, blocks, static_cast<size_t>(planned_count) * sizeof planned[0]);
    planned_turn = 0;
    planned_index = index_opened;
}

// The files of the block at plan position k, from quiet reads: false where
// the block's own search will stop on them, or a read failed.
static bool planned_files(int32_t k, int64_t* first, int64_t* end) {
    int32_t block = planned[k];
    if (block < 0 || block >= hdr.num_blocks)
        return false;
    int64_t at = hdr.block_table_offset + 4 * static_cast<int64_t>(block);
    int32_t b[2];
    int32_t got = inside(at, 4) ? Peek_at(at, b, sizeof b, 1) : -1;
    bool last = block == hdr.num_blocks - 1;
    if (got != 8 && !(last && got >= 4))
        return false;
    int64_t nfiles = (last ? hdr.num_files : static_cast<int64_t>(b[1])) - b[0];
    if (nfiles <= 0 || b[0] < 0 || b[0] + nfiles > hdr.num_files ||
        !inside(hdr.file_table_offset + 4 * static_cast<int64_t>(b[0]), 4 * nfiles))
        return false;
    *first = b[0];
    *end = b[0] + nfiles;
    return true;
}

// The name record of the next file to read ahead, or false when there is
// none to be had now.
static bool next_record(int32_t* record) {
    while (next_file >= next_end) {
        if (next_blocked || next_plan < 0 || next_plan + 1 >= planned_count)
            return false;
        if (!planned_files(next_plan + 1, &next_file, &next_end)) {
            next_blocked = true;
            return false;
        }
        next_plan++;
    }
    if (next_plan == turn_plan && turn_slice != nullptr) {
        *record = turn_slice[next_file - turn_first];
    } else if (Peek_at(hdr.file_table_offset + 4 * next_file, record, 4, 1) != 4) {
        next_blocked = true;
        return false;
    }
    next_file++;
    return true;
}

// Advice costs a system call per file, as much as the file's read where the
// page cache holds it, so it is given only while the disc is found cold: the
// first read of each file asks for cached bytes only (scan_file's cold). It starts
// off, and the first file found cold turns it on, for the files already open
// ahead too; after advice_off_after turns in a row that found their bytes
// cached it stops again. A warm disc never pays for it; a cold one pays the
// first file's read, and one file read without advice per advice_off_after
// files whose reads the advice kept up with.
static bool advising = false;
static int64_t cached_turns, advice_off_after = 1024;

// The cost on a cold disc is per device request, not per byte: each one is a
// notification of the (virtual) device and an interrupt. Files of one block
// are neighbours in walk order and mostly on the disc too (tar wrote them in
// that order), but advice given file by file reaches the device as one
// request per file, dispatched before the next file's advice can join it.
// One posix_madvise(WILLNEED) over the mappings of several files gives all of
// their reads in one batch of the block layer, where neighbouring reads are
// merged into one request. On the Linux 6.1 tree, kmalloc_array cold (8,687
// candidates, 7,377 of them right behind the one before on the disc): 8,899
// data requests with posix_fadvise, 1,715 in bursts of 16 (10,013 and 2,827
// with the index and the directories), and 383 against 276 ms (interleaved
// runs, median of 8).
//
// A burst maps each regular file of at most map_slot bytes into a slot of a
// reserved span, side by side, advises the span at once and unmaps it all
// again: the mappings are never touched, only advised. A larger file, or one
// that cannot be mapped, gets posix_fadvise as before; a file that is not
// regular is not mapped, since mapping a device can have effects of its own.
// Most source files fit a slot; the span stays small (8 MiB for 32 files).
constexpr size_t map_slot = 256 * 1024;  // a multiple of any page size

static void advise_coming() {
    int todo[ring_size];
    int n = 0;
    for (int k = 1; k < coming_count; k++) {
        coming_file& c = nth(k);
        if (c.fd >= 0 && !c.advised) {
            c.advised = true;
            todo[n++] = k;
        }
    }
    if (n == 0)
        return;
    void* span = mmap(nullptr, static_cast<size_t>(n) * map_slot, PROT_NONE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    auto* base = span != MAP_FAILED ? static_cast<char*>(span) : nullptr;
    size_t mapped = 0;  // slots taken, from the start of the span
    for (int i = 0; i < n; i++) {
        int f = nth(todo[i]).fd;
        struct stat st;
        if (fstat(f, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0)
            continue;
        if (base != nullptr && static_cast<uint64_t>(st.st_size) <= map_slot &&
            mmap(base + mapped * map_slot, map_slot, PROT_READ, MAP_SHARED | MAP_FIXED, f, 0) !=
                MAP_FAILED) {
            mapped++;
            continue;
        }
        posix_fadvise(f, 0, 0, POSIX_FADV_WILLNEED);
    }
    if (mapped > 0)
        posix_madvise(base, mapped * map_slot, POSIX_MADV_WILLNEED);
    if (base != nullptr)
        munmap(base, static_cast<size_t>(n) * map_slot);
}

// Learns from what the first read of the file at its turn found.
static void learn_coldness(int cold) {
    if (cold == 1 || !nowait_usable) {
        cached_turns = 0;
        if (!advising) {
            advising = true;
            advise_coming();
        }
    } else if (cold == 0 && advising && ++cached_turns >= advice_off_after) {
        advising = false;
    }
}

static int held_ahead() {
    int held = 0;
    for (int k = 1; k < coming_count; k++)
        held += nth(k).fd >= 0;
    return held;
}

// Fills the ring behind the file at its turn, a burst at a time.
static void read_ahead() {
    int burst = advice_burst < ahead_room ? advice_burst : ahead_room;
    if (burst < 1 || 1 + ahead_room - coming_count < burst)
        return;
    int32_t record;
    while (coming_count < 1 + ahead_room && next_record(&record)) {
        coming_file& c = nth(coming_count++);
        c.record = record;
        c.fd = -1;
        c.advised = false;
        c.walked = walk_file(record, c.path, true);
        if (!c.walked)
            continue;
        clock_gettime(CLOCK_REALTIME_COARSE, &c.since);
        c.fd = open_candidate(c.path);
        if (c.fd < 0 && (errno == EMFILE || errno == ENFILE)) {
            ahead_room = held_ahead();
            break;
        }
        // Any other failure is the turn's to meet again and report.
    }
    if (advising)
        advise_coming();
}

// The file at its turn is opened as a search without read-ahead opens it:
// when the descriptor limit leaves it no room, the files held ahead give way,
// furthest first.
static int open_at_turn(const char* name) {
    for (;;) {
        int f = open_candidate(name);
        if (f >= 0 || (errno != EMFILE && errno != ENFILE))
            return f;
        int k = coming_count - 1;
        while (k >= 1 && nth(k).fd < 0)
            k--;
        if (k < 1)
            return f;
        close(nth(k).fd);
        nth(k).fd = -1;
        ahead_room = held_ahead();
    }
}

// Did the file change after since, when it was opened ahead? Every change of
// an inode (a write, a truncation, chmod, chown, a link removed or a rename
// over it) sets its ctime from a clock that is never behind the coarse one at
// that moment; a file that has lost its last link was removed. A file that
// changed within the same tick before the open is taken as changed too,
// which costs it one more open and nothing else.
static bool changed_since(const struct stat& st, const timespec& since) {
    return st.st_nlink == 0 || st.st_ctim.tv_sec > since.tv_sec ||
           (st.st_ctim.tv_sec == since.tv_sec && st.st_ctim.tv_nsec >= since.tv_nsec);
}

// Searches the candidate f (or reports why it is not), opened at its turn or,
// with since, ahead of it at since; err is the open's errno when f < 0.
// *cold as for scan_file.
static int64_t search_candidate(int f, int err, const char* filename, const timespec* since,
                                int* cold) {
    struct stat st;
    bool known = f >= 0 && fstat(f, &st) == 0;
    if (known && since != nullptr && changed_since(st, *since)) {
        close(f);
        f = open_at_turn(filename);
        err = errno;
        known = f >= 0 && fstat(f, &st) == 0;
    }
    if (!known) {
        const char* why = f < 0 ? open_failure(filename, err) : strerror(errno);
        fprintf(stderr, "Cannot open %s: %s\n", filename, why);
        if (f >= 0)
            close(f);
        return 0;
    }
    return search_opened(f, st, filename, cold);
}

int64_t search_file(const char* filename) {
    int f = open_candidate(filename);
    int err = errno;
    int cold = -1;
    return search_candidate(f, err, filename, nullptr, &cold);
}

// A new block's turn: its place in the plan, and its slice for the files
// read ahead from it.
static void turn_begins(int32_t block, const int32_t* p, int64_t first, int64_t end) {
    if (coming_index != index_opened)
        drop_coming();  // left by a search that ended by a jump (the fuzz harness)
    if (planned_index == index_opened && planned_turn >= 0 && planned_turn < planned_count &&
        planned[planned_turn] == block) {
        turn_plan = planned_turn++;
    } else {
        turn_plan = -1;
        planned_turn = -1;
    }
    turn_slice = p;
    turn_first = first;
    turn_end = end;
}

// Searches file number file, whose name record is record, at its turn.
static int64_t search_turn(int32_t record, int64_t file) {
    if (coming_count == 0 || nth(0).record != record) {
        // Nothing read ahead for it (the first file, or a block outside the
        // plan): the ring starts again here.
        drop_coming();
        coming_first = 0;
        coming_count = 1;
        nth(0).record = record;
        nth(0).fd = -1;
        nth(0).walked = false;
        next_plan = turn_plan;
        next_file = file + 1;
        next_end = turn_end;
        next_blocked = false;
    }
    coming_file& c = nth(0);
    if (!c.walked)
        c.walked = walk_file(record, c.path, false);
    bool ahead = c.fd >= 0;
    int f = ahead ? c.fd : open_at_turn(c.path);
    int err = errno;
    c.fd = -1;
    // The file's own open comes first: the ones ahead take only what is left.
    read_ahead();
    int cold = -1;
    int64_t rv = search_candidate(f, err, c.path, ahead ? &c.since : nullptr, &cold);
    learn_coldness(cold);
    coming_first = (coming_first + 1) % ring_size;
    coming_count--;
    return rv;
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
    turn_begins(block, p, b[0], b[0] + nfiles);
    int64_t total = 0;
    for (int64_t i = 0; i < nfiles; i++)
        total += search_turn(p[i], b[0] + i);
    turn_slice = nullptr;
    release(p);
    return total;
}

