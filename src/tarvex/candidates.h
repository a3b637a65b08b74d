// Candidate search: a block's files, each file's path, and the scan of a file
// for the search word.
#pragma once

#include <cstdint>

// Searches every file of block; returns the lines printed.
int64_t search_block(int32_t block);

// Tells block expansion the blocks that the next search_block calls will
// search, in order, so that it can read ahead from one block into the next.
// A call outside the plan is searched without looking past its own block.
void plan_blocks(const int32_t* blocks, int32_t n);

// Reports that standard output could not be written and ends the process
// with status 1.
[[noreturn]] void write_failed();

// Gives stdout a large buffer unless it is a terminal; called before any
// output.
void buffer_output();

// Prints every piece of filename that holds word; returns how many it printed,
// 0 when the file cannot be opened. A piece is a line, or a 255-byte cut of a
// longer one, searched up to its first NUL.
int64_t search_file(const char* filename);
