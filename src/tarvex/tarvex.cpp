// tarvex WORD: prints every line, in the files the index names for WORD,
// that contains WORD, ignoring the case of ASCII letters.
#include "tarvex.h"

#include <cstdio>
#include <cstring>

#include "candidates.h"
#include "hash.h"
#include "index.h"

char word[word_size];

int main(int argc, char** argv) {
    if (argc != 2) {
        fputs("usage: tarvex <word>\n"
              "       Search a CDROM for all files containing\n"
              "       the specified word.\n",
              stderr);
        quit(1);
    }
    size_t len = strlen(argv[1]);
    if (len >= word_size) {
        fprintf(stderr, "tarvex: word too long: %zu bytes, at most %d\n", len, word_size - 1);
        quit(1);
    }
    memcpy(word, argv[1], len + 1);
    // ASCII only: bytes 128 to 255 are never folded, whatever the locale.
    for (char* c = word; *c; c++)
        if (*c >= 'A' && *c <= 'Z')
            *c = static_cast<char>(*c - 'A' + 'a');

    buffer_output();
    open_index();
    uint32_t entry = find_entry();
    int64_t match = entry != 0 ? search(entry) : 0;
    if (match == 0)
        fputs("sorry, no match\n", stdout);
    // Lines lost to a full disk or a closed pipe must not pass for a success.
    if (fflush(stdout) != 0 || ferror(stdout))
        write_failed();
    quit(match > 0 ? 0 : 1);
}
