#include "ahead.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "candidates.h"
#include "index.h"
#include "open.h"
#include "scan.h"

// On a cold disc every candidate is a wait on the device, and a search that
// asks for one file at a time leaves the device idle while it scans, and
// itself idle while the device seeks. So while a file is scanned the next
// candidates are already open and the kernel has been told that their bytes
// are wanted: it reads them while the scan runs, and the device gets a queue
// of requests it can order. They come from the rest of the block's slice
// and, past its end, from the blocks that posting expansion will search next
// (plan_blocks).
//
// Everything the user sees stays as a search without read-ahead makes it: a
// file's path is walked quietly ahead (an index that breaks the layout fails
// at the turn's own walk), an open that fails ahead is made again at the
// file's turn and reported then, with the reason found then, and a file that
// changed after it was opened ahead (removed, renamed over, its mode or
// contents changed: its ctime moves, or it has no link left) is opened again
// at its turn, so it is searched as it is then.
//
// How far: 32 files ahead, refilled in bursts of 16 (advise_coming), so that
// the ring runs between 16 and 32 files ahead. The gain on a cold disc was
// all there by 8 to 16 files advised one by one, and bursts of 16 took most
// of what larger ones gave, with a few dozen descriptors (README.md, "Cold
// disc", has the measurements).
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
        if (nth(k).file_fd >= 0)
            close(nth(k).file_fd);
    coming_count = 0;
    coming_index = index_opened;
}

void plan_blocks(const int32_t* blocks, int32_t count) {
    drop_coming();
    planned_count = count < max_blocks ? count : max_blocks;
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
    int64_t at = block_entry_at(hdr, block);
    int32_t b[2];
    int32_t got = inside(at, 4) ? Peek_at(at, b, sizeof b, 1) : -1;
    bool last = block == hdr.num_blocks - 1;
    if (got != 8 && !(last && got >= 4))
        return false;
    int64_t nfiles = block_files_end(hdr, block, b[1]) - b[0];
    if (nfiles <= 0 || b[0] < 0 || b[0] + nfiles > hdr.num_files || !inside(file_entry_at(hdr, b[0]), 4 * nfiles))
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
    } else if (Peek_at(file_entry_at(hdr, next_file), record, 4, 1) != 4) {
        next_blocked = true;
        return false;
    }
    next_file++;
    return true;
}

// Advice costs a system call per file, as much as the file's read where the
// page cache holds it, so it is given only while the disc is found cold: the
// first read of each file asks for cached bytes only (scan_file's cold). It
// starts off, and the first file found cold turns it on, for the files
// already open ahead too; after advice_off_after turns in a row that found
// their bytes cached it stops again. A warm disc never pays for it; a cold
// one pays the first file's read, and one file read without advice per
// advice_off_after files whose reads the advice kept up with.
static bool advising = false;
static int64_t cached_turns, advice_off_after = 1024;

// The cost on a cold disc is per device request, not per byte: each one is a
// notification of the (virtual) device and an interrupt. Files of one block
// are neighbours in walk order and mostly on the disc too (tar wrote them in
// that order), but advice given file by file reaches the device as one
// request per file, dispatched before the next file's advice can join it.
// One posix_madvise(WILLNEED) over the mappings of several files gives all of
// their reads in one batch of the block layer, where neighbouring reads are
// merged into one request; README.md ("Cold disc") has the request counts.
//
// A burst maps each regular file of at most map_slot bytes into a slot of a
// reserved span, side by side, advises the span at once and unmaps it all
// again: the mappings are never touched, only advised. A larger file, or one
// that cannot be mapped, gets posix_fadvise; a file that is not regular is
// not mapped, since mapping a device can have effects of its own. Most
// source files fit a slot; the span stays small (8 MiB for 32 files).
constexpr size_t map_slot = 256 * 1024;  // a multiple of any page size

static void advise_coming() {
    int todo[ring_size];
    int todo_count = 0;
    for (int k = 1; k < coming_count; k++) {
        coming_file& c = nth(k);
        if (c.file_fd >= 0 && !c.advised) {
            c.advised = true;
            todo[todo_count++] = k;
        }
    }
    if (todo_count == 0)
        return;
    size_t span_size = static_cast<size_t>(todo_count) * map_slot;
    void* span = mmap(nullptr, span_size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                      -1, 0);
    auto* base = span != MAP_FAILED ? static_cast<char*>(span) : nullptr;
    size_t mapped = 0;  // slots taken, from the start of the span
    for (int i = 0; i < todo_count; i++) {
        int file_fd = nth(todo[i]).file_fd;
        struct stat st;
        if (fstat(file_fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0)
            continue;
        if (base != nullptr && static_cast<uint64_t>(st.st_size) <= map_slot &&
            mmap(base + mapped * map_slot, map_slot, PROT_READ, MAP_SHARED | MAP_FIXED, file_fd,
                 0) != MAP_FAILED) {
            mapped++;
            continue;
        }
        posix_fadvise(file_fd, 0, 0, POSIX_FADV_WILLNEED);
    }
    if (mapped > 0)
        posix_madvise(base, mapped * map_slot, POSIX_MADV_WILLNEED);
    if (base != nullptr)
        munmap(base, span_size);
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
        held += nth(k).file_fd >= 0;
    return held;
}

void read_ahead() {
    int burst = advice_burst < ahead_room ? advice_burst : ahead_room;
    if (burst < 1 || 1 + ahead_room - coming_count < burst)
        return;
    int32_t record;
    while (coming_count < 1 + ahead_room && next_record(&record)) {
        coming_file& c = nth(coming_count++);
        c.record = record;
        c.file_fd = -1;
        c.advised = false;
        c.walked = walk_file(record, c.path, true);
        if (!c.walked)
            continue;
        clock_gettime(CLOCK_REALTIME_COARSE, &c.since);
        c.file_fd = open_candidate(c.path);
        if (c.file_fd < 0 && (errno == EMFILE || errno == ENFILE)) {
            ahead_room = held_ahead();
            break;
        }
        // Any other failure is the turn's to meet again and report.
    }
    if (advising)
        advise_coming();
}

// The files held ahead give way furthest first.
int open_at_turn(const char* name) {
    for (;;) {
        int file_fd = open_candidate(name);
        if (file_fd >= 0 || (errno != EMFILE && errno != ENFILE))
            return file_fd;
        int k = coming_count - 1;
        while (k >= 1 && nth(k).file_fd < 0)
            k--;
        if (k < 1)
            return file_fd;
        close(nth(k).file_fd);
        nth(k).file_fd = -1;
        ahead_room = held_ahead();
    }
}

// Every change of an inode (a write, a truncation, chmod, chown, a link
// removed or a rename over it) sets its ctime from a clock that is never
// behind the coarse one at that moment; a file that has lost its last link
// was removed. A file that changed within the same tick before the open is
// taken as changed too, which costs it one more open and nothing else.
bool changed_since(const struct stat& st, const timespec& since) {
    return st.st_nlink == 0 || st.st_ctim.tv_sec > since.tv_sec ||
           (st.st_ctim.tv_sec == since.tv_sec && st.st_ctim.tv_nsec >= since.tv_nsec);
}

void turn_begins(int32_t block, const int32_t* slice, int64_t first, int64_t end) {
    if (coming_index != index_opened)
        drop_coming();  // left by a search that ended by a jump (the fuzz harness)
    if (planned_index == index_opened && planned_turn >= 0 && planned_turn < planned_count &&
        planned[planned_turn] == block) {
        turn_plan = planned_turn++;
    } else {
        turn_plan = -1;
        planned_turn = -1;
    }
    turn_slice = slice;
    turn_first = first;
    turn_end = end;
}

void turn_ends() { turn_slice = nullptr; }

coming_file& turn_file(int32_t record, int64_t file) {
    if (coming_count == 0 || nth(0).record != record) {
        // Nothing read ahead for it (the first file, or a block outside the
        // plan): the ring starts again here.
        drop_coming();
        coming_first = 0;
        coming_count = 1;
        nth(0).record = record;
        nth(0).file_fd = -1;
        nth(0).walked = false;
        next_plan = turn_plan;
        next_file = file + 1;
        next_end = turn_end;
        next_blocked = false;
    }
    return nth(0);
}

void turn_done(int cold) {
    learn_coldness(cold);
    coming_first = (coming_first + 1) % ring_size;
    coming_count--;
}
