// tarvex-read-words-bench DIR [ROUNDS]: the builder's reading of a tree on one
// thread, without the rest of the build. The tree is walked and cut into
// blocks as the builder does; then, ROUNDS times (default 9, after one round
// not counted), every file is read once with nothing done to its bytes, and
// each block's files are read into their distinct words with their keys.
// Prints each round, then the fastest and the median of both and of their
// difference: the cost of finding and telling the words apart. Two builds of
// the builder are compared by their fastest differences, run by turns; a
// whole build mixes in the later stages, whose times vary more.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "tarvex-index/common.h"
#include "tarvex-index/naming.h"
#include "tarvex-index/walk.h"
#include "tarvex-index/words.h"

using namespace builder;

namespace {

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// Opens each file by its path below DIR and reads it to its end: the floor
// of any reading (the builder opens a block's files through their directory
// and stops at a short read, a few calls fewer).
double read_only(const Tree& t, std::vector<char>& buf) {
    const double t0 = now();
    for (const FileEntry& f : t.files) {
        std::string why;
        const int in = open_regular(t.root_fd, f.rel, why);
        if (in < 0)
            continue;
        while (read(in, buf.data(), buf.size()) > 0) {
        }
        close(in);
    }
    return now() - t0;
}

// Reads the blocks into their words, as a reading thread of the builder does.
double read_words(const Tree& t, const std::vector<uint32_t>& cut, BlockWords& words, int64_t& bytes,
                  size_t& distinct) {
    const double t0 = now();
    bytes = 0;
    distinct = 0;
    for (size_t s = 0; s < cut.size(); s++) {
        words.clear();
        const size_t end = block_end(cut, s, t.files.size());
        for (size_t i = cut[s]; i < end; i++) {
            int64_t b = 0;
            words.add_file(t.root_fd, t.files[i].rel, t.root, b);
            bytes += b;
        }
        distinct += words.keys().size();
    }
    return now() - t0;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: tarvex-read-words-bench DIR [ROUNDS]\n");
        return 2;
    }
    char* end = nullptr;
    const long rounds = argc == 3 ? strtol(argv[2], &end, 10) : 9;
    if (argc == 3 && (*argv[2] == '\0' || *end != '\0' || rounds < 1 || rounds > 1000)) {
        fprintf(stderr, "tarvex-read-words-bench: ROUNDS wants a number from 1 to 1000, not '%s'\n", argv[2]);
        return 2;
    }
    Tree t = open_tree(argv[1], false, "", "/dev/null/tarvex.dat");
    walk_tree(t, WalkOptions{}, processors());
    const std::vector<uint32_t> cut = cut_blocks(t.files, 0);
    BlockWords words;
    std::vector<char> buf(BlockWords::default_read_size);
    std::vector<double> plain, worded, extra;
    int64_t bytes = 0;
    size_t distinct = 0;
    printf("%zu files in %zu blocks\n", t.files.size(), cut.size());
    // A first round, not counted, brings the tree into the page cache and
    // the tables to their size.
    for (long r = -1; r < rounds; r++) {
        const double a = read_only(t, buf);
        const double b = read_words(t, cut, words, bytes, distinct);
        if (r < 0)
            continue;
        plain.push_back(a);
        worded.push_back(b);
        extra.push_back(b - a);
        printf("round %ld: read only %.3f s, read into words %.3f s, difference %.3f s\n", r + 1, a, b, b - a);
    }
    printf("%lld bytes indexed, %zu distinct words summed over blocks\n", static_cast<long long>(bytes), distinct);
    printf("read only:       fastest %.3f s, median %.3f s\n", *std::min_element(plain.begin(), plain.end()),
           median(plain));
    printf("read into words: fastest %.3f s, median %.3f s (%.2f ns a byte)\n",
           *std::min_element(worded.begin(), worded.end()), median(worded),
           bytes ? 1e9 * median(worded) / static_cast<double>(bytes) : 0.0);
    printf("difference:      fastest %.3f s, median %.3f s\n", *std::min_element(extra.begin(), extra.end()),
           median(extra));
    return 0;
}
