// The command-line driver's process-wide search word.
#pragma once

constexpr int word_size = 256;  // at most 255 bytes and the NUL

// The argument, with A to Z lower-cased; written once before the index opens.
extern char word[word_size];
