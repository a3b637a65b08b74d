// The command-line driver's process-wide search word.
#pragma once

#include "index.h"

constexpr int word_size = max_word + 1;  // the word and its NUL

// The argument, with A to Z lower-cased; written once before the index opens.
extern char word[word_size];
