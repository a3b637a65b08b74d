#include "candidates.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <unistd.h>

#include "index.h"
#include "tarvex.h"

char path[path_size];
char line[line_size];

// The fuzz harness survives failures by jumping out of the search: the live
// slice stays reachable so that the harness can free it, and candidate paths,
// which come from the fuzzed bytes, are opened only inside its sandbox.
#ifdef TARVEX_FUZZ
int32_t* fuzz_slice;
FILE* fuzz_fopen(const char* name);
static void hold(int32_t* p) { fuzz_slice = p; }
static FILE* open_candidate(const char* name) { return fuzz_fopen(name); }
#else
static void hold(int32_t*) {}
static FILE* open_candidate(const char* name) { return fopen(name, "r"); }
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

// Reads the name record at offset n, puts "/" and its name in front of the
// built part, and returns the record's parent directory.
static int32_t prepend_record(int64_t n, int32_t* pos) {
    unsigned char buf[name_window];
    CHECK(inside(n, 3), "name record inside the file");
    seek(n);
    int32_t got = Read(fd, buf, name_window, 0);
    // Only bytes really read count: the window may run past the end of the file.
    const void* nul = got > 2 ? memchr(buf + 2, 0, static_cast<size_t>(got - 2)) : nullptr;
    CHECK(nul != nullptr, "name record ends with a NUL");
    int16_t dir_num = le16(buf);
    CHECK(dir_num >= 0, "dir_num >= 0");
    auto len = static_cast<int32_t>(static_cast<const unsigned char*>(nul) - (buf + 2));
    // Every level adds at least its "/", so this bound also ends a parent
    // chain that loops.
    CHECK(len + 1 <= *pos, "path of at most 1023 bytes");
    *pos -= len;
    memcpy(path + *pos, buf + 2, static_cast<size_t>(len));
    path[--*pos] = '/';
    return dir_num;
}

static void prepend_dirs(int32_t d, int32_t* pos) {
    while (d != 0) {
        int64_t at = hdr.dir_table_offset + 4 * static_cast<int64_t>(d);
        CHECK(inside(at, 4), "directory table entry inside the file");
        int32_t record;
        seek(at);
        Read(fd, &record, 4, 1);
        d = prepend_record(record, pos);
    }
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

char* resolve_filename(int32_t n) {
    int32_t pos = path_size - 1;
    path[pos] = '\0';
    prepend_dirs(prepend_record(n, &pos), &pos);
    return finish(pos);
}

int64_t search_file(const char* filename) {
    auto lc = static_cast<unsigned char>(word[0]);
    unsigned char uc = lc >= 'a' && lc <= 'z' ? lc - 32 : lc;
    size_t len = strlen(word);

    FILE* f = open_candidate(filename);
    if (f == nullptr) {
        fprintf(stderr, "Cannot open %s: %s\n", filename, strerror(errno));
        return 0;
    }
    int64_t rv = 0;
    // Lines come in pieces of at most 255 bytes; a piece cut from a longer
    // line gets a newline of its own, and a match across a cut is not seen.
    while (fgets(line, 256, f) != nullptr) {
        size_t n = strlen(line);  // a NUL byte in the line ends the piece
        if (n == 0)
            continue;
        bool cut = n == 255 && line[254] != '\n';
        if (cut) {
            line[255] = '\n';
            line[256] = '\0';
            n = 256;
        }
        for (size_t s = 0; s < n; s++) {
            auto c = static_cast<unsigned char>(line[s]);
            if ((c == lc || c == uc) && strncasecmp(line + s, word, len) == 0) {
                rv++;
                // Every record ends with exactly one newline, so a last line
                // without one, or a piece cut at a NUL, is not glued to the next.
                fprintf(stdout, "%s: %s%s", filename, line, line[n - 1] == '\n' ? "" : "\n");
                break;
            }
        }
    }
    fclose(f);
    return rv;
}
