// Candidate search: the files of the blocks a word's entry names, each opened
// by the path rebuilt from the index and scanned for the word.
#pragma once

#include <cstdint>

// Searches every file of block; returns the lines printed.
int64_t search_block(int32_t block);

// Tells block expansion the blocks that the next search_block calls will
// search, in order, so that it can read ahead from one block into the next.
// A call outside the plan is searched without looking past its own block.
void plan_blocks(const int32_t* blocks, int32_t count);

// Gives stdout a large buffer unless it is a terminal; called before any
// output.
void buffer_output();

// Reports that standard output could not be written and ends the process
// with status 1.
[[noreturn]] void write_failed();
