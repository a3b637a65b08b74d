// tarvex-scan-bench [--reference] WORD LIST: scans every file named in LIST
// (one path a line) for WORD with the tool's file scan, or with the
// line-by-line reference scan, printing as the tool does. Measures the scan
// alone, without the index.
#include <cstdio>
#include <cstring>

#include "candidates.h"
#include "scan_reference.h"
#include "tarvex.h"

char word[word_size];

int main(int argc, char** argv) {
    bool reference = argc == 4 && strcmp(argv[1], "--reference") == 0;
    if (argc != (reference ? 4 : 3)) {
        fputs("usage: tarvex-scan-bench [--reference] WORD LIST\n", stderr);
        return 2;
    }
    const char* w = argv[argc - 2];
    if (strlen(w) >= word_size) {
        fputs("tarvex-scan-bench: word too long\n", stderr);
        return 2;
    }
    strcpy(word, w);
    for (char* c = word; *c; c++)
        if (*c >= 'A' && *c <= 'Z')
            *c = static_cast<char>(*c - 'A' + 'a');
    FILE* list = fopen(argv[argc - 1], "r");
    if (list == nullptr) {
        perror(argv[argc - 1]);
        return 2;
    }
    static char name[4096];
    long long total = 0;
    while (fgets(name, sizeof name, list) != nullptr) {
        size_t n = strlen(name);
        if (n > 0 && name[n - 1] == '\n')
            name[--n] = '\0';
        if (n > 0)
            total += reference ? reference_search_file(name) : search_file(name);
    }
    fclose(list);
    return total > 0 ? 0 : 1;
}
