#include "scan_reference.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <strings.h>

#include "tarvex.h"

namespace {
char line[257];  // a 255-byte piece, an added newline, the NUL
}

int64_t reference_search_file(const char* filename) {
    auto lc = static_cast<unsigned char>(word[0]);
    unsigned char uc = lc >= 'a' && lc <= 'z' ? lc - 32 : lc;
    size_t len = strlen(word);

    FILE* f = fopen(filename, "r");
    if (f == nullptr) {
        fprintf(stderr, "Cannot open %s: %s\n", filename, strerror(errno));
        return 0;
    }
    // Only a regular file is searched (every candidate here is a file or a
    // directory, which fopen does not wait on).
    struct stat st;
    if (fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
        fprintf(stderr, "Cannot open %s: %s\n", filename, strerror(EISDIR));
        fclose(f);
        return 0;
    }
    int64_t rv = 0;
    // Lines come in pieces of at most 255 bytes; a piece cut from a longer
    // line gets a newline of its own, and a match across a cut is not seen.
    while (fgets(line, 256, f) != nullptr) {
        size_t n = strlen(line);  // a NUL byte in the line ends the piece
        if (n == 0)
            continue;
        bool cut = n == 255 && line[254] != '\n';
        if (cut) {
            line[255] = '\n';
            line[256] = '\0';
            n = 256;
        }
        for (size_t s = 0; s < n; s++) {
            auto c = static_cast<unsigned char>(line[s]);
            if ((c == lc || c == uc) && strncasecmp(line + s, word, len) == 0) {
                rv++;
                // Every record ends with exactly one newline, so a last line
                // without one, or a piece cut at a NUL, is not glued to the next.
                fprintf(stdout, "%s: %s%s", filename, line, line[n - 1] == '\n' ? "" : "\n");
                break;
            }
        }
    }
    fclose(f);
    return rv;
}
