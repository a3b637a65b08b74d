// The driver's search word, for unit tests that link the tool's modules
// without its main.
#include "tarvex.h"

char word[word_size];
