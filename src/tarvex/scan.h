// The line scan: a candidate's pieces that hold the word, printed under its
// path, and the output buffer they go through.
#pragma once

#include <cstddef>
#include <cstdint>

// The scan's read buffer; a build with TARVEX_TINY_SCAN_BUFFER makes it small
// enough for tests to cross its edges everywhere.
#ifdef TARVEX_TINY_SCAN_BUFFER
constexpr size_t scan_buf_size = 640;
#else
constexpr size_t scan_buf_size = 256 * 1024;
#endif

// Cleared for the rest of the run when the file system cannot tell whether a
// file's bytes are cached (a first read with RWF_NOWAIT).
extern bool nowait_usable;

// Prints every piece of the open regular file file_fd that holds the word,
// under filename; returns how many it printed. A piece is a line, or a
// 255-byte cut of a longer one, searched up to its first NUL. The file is
// read up to size, its size at its turn, and no further, which spares the
// read that would only find its end; 0 (an empty file, or a file system that
// does not know the size) reads to the end. *cold tells what the first read
// found: 1 nothing cached, 0 cached, -1 not known.
int64_t scan_file(int file_fd, const char* filename, uint64_t size, int* cold);
