// tarvex-scan-bench [--reference | --read-only] WORD LIST: scans every file
// named in LIST (one path a line) for WORD with the tool's file scan, or with
// the line-by-line reference scan, printing as the tool does; or only reads
// each file into one buffer, the floor of any scan. Measures the scan alone,
// without the index.
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "candidates.h"
#include "open.h"
#include "scan_reference.h"
#include "tarvex.h"

char word[word_size];

static int64_t read_only(const char* name) {
    int f = open(name, O_RDONLY);
    if (f < 0)
        return 0;
    static char buf[1 << 18];
    int64_t n = 0;
    for (ssize_t r; (r = read(f, buf, sizeof buf)) > 0;)
        n += r;
    close(f);
    return n;
}

int main(int argc, char** argv) {
    bool reference = argc == 4 && strcmp(argv[1], "--reference") == 0;
    bool reads = argc == 4 && strcmp(argv[1], "--read-only") == 0;
    if (argc != (reference || reads ? 4 : 3)) {
        fputs("usage: tarvex-scan-bench [--reference | --read-only] WORD LIST\n", stderr);
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
    buffer_output();
    static char name[4096];
    long long total = 0;
    while (fgets(name, sizeof name, list) != nullptr) {
        size_t n = strlen(name);
        if (n > 0 && name[n - 1] == '\n')
            name[--n] = '\0';
        if (n > 0)
            total += reads       ? read_only(name)
                     : reference ? reference_search_file(name)
                                 : search_file(name);
    }
    fclose(list);
    return total > 0 ? 0 : 1;
}
