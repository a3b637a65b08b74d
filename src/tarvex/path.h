// Path reconstruction: a candidate's absolute path, built from its name record
// and the records of the directories above it.
#pragma once

#include <cstdint>

#include "index.h"

constexpr int path_size = max_path + 1;  // the longest path and its NUL

extern char path[path_size];

// The absolute path of the file whose name record is at offset record, in path.
char* resolve_filename(int32_t record);

// The path of directory dir ("" for the root, 0), in path.
char* resolve_dir(int32_t dir);

// The path of the file whose name record is at offset record, into out
// (path_size bytes). A walk at the file's turn ends the search with an
// integrity failure where the index breaks the record layout; a quiet walk,
// ahead of the turn, gives up instead and returns false.
bool walk_file(int32_t record, char* out, bool quiet);
