#include "candidates.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "ahead.h"
#include "index.h"
#include "open.h"
#include "path.h"

// The fuzz harness survives failures by jumping out of the search: the live
// slice stays reachable so that the harness can free it.
#ifdef TARVEX_FUZZ
int32_t* fuzz_slice;
static void hold(int32_t* slice) { fuzz_slice = slice; }
#else
static void hold(int32_t*) {}
#endif

static void release(int32_t* slice) {
    hold(nullptr);
    free(slice);
}

// Searches file number file, whose name record is record, at its turn.
static int64_t search_turn(int32_t record, int64_t file) {
    coming_file& c = turn_file(record, file);
    if (!c.walked)
        c.walked = walk_file(record, c.path, false);
    bool ahead = c.file_fd >= 0;
    int file_fd = ahead ? c.file_fd : open_at_turn(c.path);
    int err = errno;
    c.file_fd = -1;
    // The file's own open comes first: the ones ahead take only what is left.
    read_ahead();
    int cold = -1;
    int64_t printed = search_candidate(file_fd, err, c.path, ahead ? &c.since : nullptr, &cold);
    turn_done(cold);
    return printed;
}

int64_t search_block(int32_t block) {
    int64_t entry_at = block_entry_at(hdr, block);
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
    int64_t nfiles = block_files_end(hdr, block, b[1]) - b[0];
    CHECK(nfiles > 0, "nfiles > 0");
    CHECK(b[0] >= 0, "b[0] >= 0");
    CHECK(b[0] + nfiles <= hdr.num_files, "b[0] + nfiles <= hdr.num_files");

    int64_t slice_at = file_entry_at(hdr, b[0]);
    if (lseek(fd, slice_at, SEEK_SET) == -1) {
        fprintf(stderr, "lseek <2> failed: %s\n", strerror(errno));
        quit(1);
    }
    CHECK(lseek(fd, 0L, SEEK_CUR) == slice_at,
          "lseek(fd, 0L, SEEK_CUR) == hdr.file_table_offset + (b[0] * 4)");
    // Bounds the allocation by the file's own size.
    CHECK(inside(slice_at, 4 * nfiles), "file table slice inside the file");
    auto slice_bytes = static_cast<int32_t>(4 * nfiles);
    auto* slice = static_cast<int32_t*>(malloc(static_cast<size_t>(slice_bytes)));
    if (slice == nullptr) {
        fprintf(stderr, "tarvex: out of memory for the %lld files of block %d\n",
                static_cast<long long>(nfiles), block);
        quit(1);
    }
    hold(slice);
    if (Read(fd, slice, slice_bytes, 1) != slice_bytes) {
        release(slice);
        CHECK(false, "file table slice inside the file");
    }
    // The whole slice is read before the first file's turn: read-ahead takes
    // the records of the files after it from the slice.
    turn_begins(block, slice, b[0], b[0] + nfiles);
    int64_t total = 0;
    for (int64_t i = 0; i < nfiles; i++)
        total += search_turn(slice[i], b[0] + i);
    turn_ends();
    release(slice);
    return total;
}
