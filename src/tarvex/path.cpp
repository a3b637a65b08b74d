#include "path.h"

#include <cstring>

#include "index.h"

char path[path_size];

// The path is built from its end backwards, one name record at a time from
// the file up to the root, so that no level has to be held while the walk
// goes on; pos is where the built part starts in out (path, or the buffer of
// a file read ahead).
//
// A quiet walk gives up where the index breaks the record layout, so that
// the turn's own walk reports the failure at the point where a search
// without read-ahead meets it.
#define WALK_CHECK(expr, text) \
    do { \
        if (!(expr)) { \
            if (quiet) \
                return false; \
            integrity_failure(__FILE__, __LINE__, text); \
        } \
    } while (0)

// Puts "/" and len bytes of name in front of the built part.
static bool prepend_name(char* out, const unsigned char* name, int32_t len, int32_t* pos,
                         bool quiet) {
    // Every level adds at least its "/", so this bound also ends a parent
    // chain that loops.
    WALK_CHECK(len + 1 <= *pos, "path of at most 1023 bytes");
    *pos -= len;
    memcpy(out + *pos, name, static_cast<size_t>(len));
    out[--*pos] = '/';
    return true;
}

// Reads the name record at offset record, puts "/" and its name in front of
// the built part, and gives the record's parent directory.
static bool prepend_record(char* out, int64_t record, int32_t* pos, int32_t* parent, bool quiet) {
    unsigned char buf[name_window];
    WALK_CHECK(inside(record, 3), "name record inside the file");
    int32_t got =
        quiet ? Peek_at(record, buf, name_window, 0) : Read_at(record, buf, name_window, 0);
    if (got < 0)
        return false;  // a quiet read failed; the turn's read will report it
    // Only bytes really read count: the window may run past the end of the file.
    int16_t dir_num;
    int32_t len;
    WALK_CHECK(read_name_record(buf, got, &dir_num, &len), "name record ends with a NUL");
    WALK_CHECK(dir_num >= 0, "dir_num >= 0");
    if (!prepend_name(out, buf + 2, len, pos, quiet))
        return false;
    *parent = dir_num;
    return true;
}

// Reads directory dir's entry and record, puts "/" and its name in front of
// the built part, and gives its parent.
static bool prepend_dir(char* out, int32_t dir, int32_t* pos, int32_t* parent, bool quiet) {
    int64_t at = dir_entry_at(hdr, dir);
    WALK_CHECK(inside(at, 4), "directory table entry inside the file");
    int32_t record;
    if ((quiet ? Peek_at(at, &record, 4, 1) : Read_at(at, &record, 4, 1)) < 0)
        return false;
    return prepend_record(out, record, pos, parent, quiet);
}

static char* finish(char* out, int32_t pos) {
    memmove(out, out + pos, static_cast<size_t>(path_size - pos));
    return out;
}

char* resolve_dir(int32_t dir) {
    int32_t pos = path_size - 1;
    path[pos] = '\0';
    while (dir != 0)
        prepend_dir(path, dir, &pos, &dir, false);
    return finish(path, pos);
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

// Where directory dir stands on the kept path, or -1.
static int32_t kept_level(int32_t dir) {
    if (kept_index != index_opened)
        return -1;
    for (int32_t k = kept_depth - 1; k >= 0; k--)
        if (kept_dir[k] == dir)
            return k;
    return -1;
}

bool walk_file(int32_t record, char* out, bool quiet) {
    int32_t pos = path_size - 1;
    out[pos] = '\0';
    int32_t dir;
    if (!prepend_record(out, record, &pos, &dir, quiet))
        return false;
    int32_t dir_end = pos;
    // Each level puts at least its "/" in front, so path_size bounds the walk.
    int32_t walked_dir[path_size], walked_end[path_size];
    int32_t walked = 0, level = -1;
    while (dir != 0 && (level = kept_level(dir)) < 0) {
        walked_dir[walked] = dir;
        walked_end[walked++] = pos;
        if (!prepend_dir(out, dir, &pos, &dir, quiet))
            return false;
    }
    // The kept path is "/" and the rest, so it goes in as one more level.
    if (dir != 0 && !prepend_name(out, kept_path + 1, kept_len[level] - 1, &pos, quiet))
        return false;
    if (walked > 0) {
        kept_depth = dir != 0 ? level + 1 : 0;
        for (int32_t i = walked - 1; i >= 0; i--) {
            kept_dir[kept_depth] = walked_dir[i];
            kept_len[kept_depth++] = walked_end[i] - pos;
        }
        memcpy(kept_path, out + pos, static_cast<size_t>(dir_end - pos));
        kept_index = index_opened;
    }
    finish(out, pos);
    return true;
}

char* resolve_filename(int32_t record) {
    walk_file(record, path, false);
    return path;
}
