// The check (--check): verifies an existing index against the tree.
//
// First every structure of the index: the header's fields, the tables, the
// name records and the paths they make, every hash entry and the bitmap or
// list it points at. Then the tree against the index: every indexable file is
// in it and every file in it is in the tree; and every file is read again,
// each of its words looked up by the search's own probe (from the word's hash
// values) and found to name the file's block. Reports the first problem.
#pragma once

#include <string>

#include "common.h"
#include "walk.h"

namespace builder {

// Returns the exit status: 0 sound, 1 not sound (or a failure). Prints one
// line on standard output.
int check_index(const std::string& dir, bool have_mount, const std::string& mount, const std::string& out,
                const WalkOptions& walk, int threads, Progress& progress);

}  // namespace builder
