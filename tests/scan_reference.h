// The straightforward line-by-line scan that the tool's file scan must match
// byte for byte: fgets pieces of at most 255 bytes through one line buffer.
#pragma once

#include <cstdint>

int64_t reference_search_file(const char* filename);
