// Read-ahead: while a candidate is scanned, the next ones are already open
// and, on a cold disc, their bytes asked for.
#pragma once

#include <cstdint>
#include <ctime>
#include <sys/stat.h>

#include "path.h"

// A candidate at its turn or read ahead of it.
struct coming_file {
    int32_t record;  // its name record (its file-table entry)
    int file_fd;     // opened ahead, or -1: opened at its turn
    bool walked;     // path holds its path
    bool advised;    // its advice is given (or it needs none)
    timespec since;  // the coarse clock just before it was opened ahead
    char path[path_size];
};

// A new block's turn: its place in the plan, and its slice of the file table
// (files [first, end)), from which the files after the one at its turn are
// read ahead. turn_ends is called before the slice is released.
void turn_begins(int32_t block, const int32_t* slice, int64_t first, int64_t end);
void turn_ends();

// The candidate at its turn: file number file, whose name record is record.
// What was read ahead for it, or a new start of the ring.
coming_file& turn_file(int32_t record, int64_t file);

// Opens the files after the one at its turn, a burst at a time, and advises
// them while the disc is found cold.
void read_ahead();

// The file at its turn is done; cold is what its scan's first read found.
void turn_done(int cold);

// Opens the file at its turn as a search without read-ahead opens it: the
// files held ahead give way when the descriptor limit leaves it no room.
int open_at_turn(const char* name);

// Did the file, opened ahead at since, change after that?
bool changed_since(const struct stat& st, const timespec& since);
