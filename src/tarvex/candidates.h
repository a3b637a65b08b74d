// Candidate search: a block's files, each file's path, and the scan of a file
// for the search word.
#pragma once

#include <cstdint>

constexpr int path_size = 1024;  // a path holds at most 1023 bytes
constexpr int line_size = 257;   // a 255-byte piece, an added newline, the NUL

extern char path[path_size];
extern char line[line_size];

// Searches every file of block; returns the lines printed.
int64_t search_block(int32_t block);

// The absolute path of the file whose name record is at offset n, in path.
char* resolve_filename(int32_t n);

// The path of directory n ("" for the root, 0), in path.
char* resolve_dir(int32_t n);

// Prints every piece of filename that holds word; returns how many it printed,
// 0 when the file cannot be opened.
int64_t search_file(const char* filename);
