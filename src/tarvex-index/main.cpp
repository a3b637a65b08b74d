// tarvex-index: writes the word index utils/tarvex.dat for a directory tree,
// or checks an existing one against the tree. The stages: the walk (walk.h),
// cutting the files into blocks and naming them (naming.h), the words and
// their blocks (words.h), placing the words (placement.h), fitting the areas
// (fitting.h), the bytes (indexlib/layout.h), the check (check.h); this file
// reads the options, runs them and prints the summary.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "check.h"
#include "common.h"
#include "fitting.h"
#include "indexlib/layout.h"
#include "naming.h"
#include "placement.h"
#include "walk.h"
#include "store.h"

namespace {

using namespace builder;

const char version[] = "tarvex-index 1.0.0";

void print_help() {
    fputs("usage: tarvex-index [options] DIR\n"
          "Indexes every regular file under DIR into DIR/utils/tarvex.dat, so that\n"
          "`cd DIR && tarvex WORD` finds every line holding WORD.\n"
          "  -o FILE          write the index to FILE instead\n"
          "  --mount PREFIX   store PREFIX as the tree's absolute path (where the tree\n"
          "                   will be mounted when searched) instead of DIR's own\n"
          "  --blocks N       group the files into at most N blocks (1 to 4096; default\n"
          "                   4096, or one block per file for smaller trees)\n"
          "  -j N             use N threads (default: the number of processors); the\n"
          "                   index is the same for any N\n"
          "  --exclude PATTERN\n"
          "                   leave out files and directories (with all under them)\n"
          "                   whose name matches the shell PATTERN, or whose path\n"
          "                   below DIR does if PATTERN holds a '/'; repeatable\n"
          "  --exclude-from FILE\n"
          "                   the same for each line of FILE (blank lines and lines\n"
          "                   starting with # ignored)\n"
          "  -x, --one-file-system\n"
          "                   do not descend into directories on other file systems\n"
          "                   than DIR's\n"
          "  --check          verify an existing index against DIR instead of writing\n"
          "  -q               no progress display\n"
          "  --times          print each stage's wall time on standard error\n"
          "  --hash-slots N   testing only: a hash table of the first prime >= N slots,\n"
          "                   grown only as far as the words need (may be over half full)\n"
          "  --area-limit N   testing only: bitmaps and block lists must end by byte N\n"
          "                   (1024 to 16777216, the default), as if the format's\n"
          "                   24-bit offsets were shorter\n"
          "  --read-size N    testing only: read files N bytes at a time (1 to 1048576,\n"
          "                   the default), so that words cross the reads' edges\n"
          "  --pause-at POINT testing only: stop (SIGSTOP) at POINT, 'read' or 'write'\n"
          "  --named-temp     testing only: write through a named temporary file\n"
          "  --help, --version\n"
          "Exit status: 0 done (or index sound), 1 failure (or index not sound), 2 usage.\n",
          stdout);
}

struct Options {
    std::string dir, out, mount;
    bool have_mount = false, check = false, quiet = false, times = false;
    WalkOptions walk;
    int32_t blocks = 0;
    int threads = 0;
    uint32_t hash_slots = 0;
    uint32_t area_limit = max_area_offset;
    size_t read_size = BlockWords::default_read_size;
};

long number(const std::string& opt, const char* text, long lo, long hi) {
    char* end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno || *text == '\0' || *end != '\0' || v < lo || v > hi)
        usage_error(opt + " wants a number from " + std::to_string(lo) + " to " + std::to_string(hi) + ", not '" +
                    text + "'");
    return v;
}

// One pattern a line; blank lines and lines starting with '#' are not patterns.
void exclude_from(const std::string& path, WalkOptions& walk) {
    FILE* f = fopen(path.c_str(), "re");
    if (f == nullptr)
        usage_error("cannot read --exclude-from " + path + ": " + strerror(errno));
    std::string line;
    for (int c;;) {
        c = getc(f);
        if (c != EOF && c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        if (!line.empty() && line[0] != '#' && !walk.exclude(line))
            usage_error("--exclude-from " + path + ": '" + line + "' is not a pattern");
        line.clear();
        if (c == EOF)
            break;
    }
    const bool failed = ferror(f);
    const int e = errno;
    fclose(f);
    if (failed)
        usage_error("cannot read --exclude-from " + path + ": " + strerror(e));
}

Options parse(int argc, char** argv) {
    Options o;
    bool dashes = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](const std::string& opt) -> const char* {
            if (i + 1 >= argc)
                usage_error(opt + " needs a value");
            return argv[++i];
        };
        if (dashes || a.empty() || a[0] != '-' || a == "-") {
            if (!o.dir.empty())
                usage_error("one directory only, got '" + o.dir + "' and '" + a + "'");
            o.dir = a;
        } else if (a == "--") {
            dashes = true;
        } else if (a == "--help") {
            print_help();
            flush_stdout();
            exit(0);
        } else if (a == "--version") {
            puts(version);
            flush_stdout();
            exit(0);
        } else if (a == "-o") {
            o.out = value(a);
        } else if (a == "--mount") {
            o.mount = value(a);
            o.have_mount = true;
        } else if (a == "--blocks") {
            o.blocks = static_cast<int32_t>(number(a, value(a), 1, max_blocks));
        } else if (a == "-j") {
            o.threads = static_cast<int>(number(a, value(a), 1, 1024));
        } else if (a.rfind("-j", 0) == 0 && a.size() > 2) {
            o.threads = static_cast<int>(number("-j", a.c_str() + 2, 1, 1024));
        } else if (a == "--hash-slots") {
            o.hash_slots = static_cast<uint32_t>(number(a, value(a), 1, 1L << 29));
        } else if (a == "--area-limit") {
            o.area_limit = static_cast<uint32_t>(number(a, value(a), 1024, max_area_offset));
        } else if (a == "--read-size") {
            o.read_size = static_cast<size_t>(number(a, value(a), 1, static_cast<long>(BlockWords::default_read_size)));
        } else if (a == "--exclude") {
            const char* pattern = value(a);
            if (!o.walk.exclude(pattern))
                usage_error("--exclude wants a pattern, not '" + std::string(pattern) + "'");
        } else if (a == "--exclude-from") {
            exclude_from(value(a), o.walk);
        } else if (a == "-x" || a == "--one-file-system") {
            o.walk.one_file_system = true;
        } else if (a == "--pause-at") {
            const std::string point = value(a);
            if (point != "read" && point != "write")
                usage_error("--pause-at wants 'read' or 'write', not '" + point + "'");
            set_pause_point(point);
        } else if (a == "--named-temp") {
            use_named_temp();
        } else if (a == "--check") {
            o.check = true;
        } else if (a == "--times") {
            o.times = true;
        } else if (a == "-q") {
            o.quiet = true;
        } else {
            usage_error("unknown option '" + a + "'");
        }
    }
    if (o.dir.empty())
        usage_error("no directory given");
    if (o.threads == 0)
        o.threads = processors();
    return o;
}

std::string percent(double part, double whole) {
    char buf[32];
    snprintf(buf, sizeof buf, "%.1f%%", whole > 0 ? 100.0 * part / whole : 0.0);
    return buf;
}

// ---- build ---------------------------------------------------------------------------

// The tree's files, in walk order, once the target is known to take an index.
Tree walk(const Options& o, Progress& progress) {
    progress.phase("walking the tree");
    Tree t = open_tree(o.dir, o.have_mount, o.mount, o.out);
    check_target_writable(t);
    walk_tree(t, o.walk, o.threads);
    pause_at("read");
    return t;
}

// Reads the blocks on all threads, each by one, into store; each file's
// status and bytes read. Files that could not be read are reported in walk
// order.
void read_blocks(const Options& o, const Tree& t, const std::vector<uint32_t>& cut, WordStore& store,
                 std::vector<uint8_t>& status, std::vector<int64_t>& bytes, Progress& progress) {
    const auto& files = t.files;
    status.assign(files.size(), file_indexed);
    bytes.assign(files.size(), 0);
    std::vector<std::pair<size_t, std::string>> unreadable;
    std::mutex m;
    std::atomic<size_t> next{0};
    progress.phase("reading", static_cast<int64_t>(files.size()), true);
    parallel(o.threads, [&](int) {
        BlockWords words(o.read_size, BlockWords::kept_slots_for(o.threads));
        for (size_t s; (s = next++) < cut.size();) {
            words.clear();
            const size_t end = block_end(cut, s, files.size());
            for (size_t i = cut[s]; i < end; i++) {
                const FileStatus st = words.add_file(t.root_fd, files[i].rel, t.root, bytes[i]);
                status[i] = st;
                if (st == file_unreadable) {
                    std::lock_guard<std::mutex> g(m);
                    unreadable.emplace_back(i, words.why());
                }
                progress.done++;
                progress.bytes += bytes[i];
            }
            store.add_block(static_cast<uint32_t>(s), words.keys());
        }
    }, &progress);
    progress.clear();
    std::sort(unreadable.begin(), unreadable.end());
    for (const auto& [i, why] : unreadable)
        fprintf(stderr, "tarvex-index: cannot read %s: %s (skipped)\n", t.shown(files[i].rel).c_str(), why.c_str());
}

// The check and the writing go side by side: most of writing is waiting for
// the disc. The written file takes the target's place only once the check
// has passed. With more than one thread, the words are given back once
// checked, while the disc may still be busy.
void check_and_write(const std::string& target, const std::vector<uint8_t>& bytes, Words words, int threads,
                     Progress& progress) {
    progress.phase("checking words");
    std::string problem, write_problem;
    if (threads > 1) {
        std::thread writer([&] { write_problem = write_temp(target, bytes); });
        problem = check_placed(bytes, words, threads);
        words = Words{};
        writer.join();
    } else {
        problem = check_placed(bytes, words, threads);
        if (problem.empty())
            write_problem = write_temp(target, bytes);
    }
    if (!problem.empty()) {
        drop_temp();
        fail("internal error, index not written: " + problem);
    }
    if (!write_problem.empty())
        fail(write_problem);
    progress.phase("writing");
    commit_temp(target);
    progress.clear();
}

// What one build did, for its summary line.
struct Outcome {
    size_t files = 0, binary = 0, unreadable = 0, excluded = 0, words = 0, shared = 0;
    bool excluding = false;
    int32_t blocks = 0;
    size_t index_bytes = 0;
    int64_t tree_bytes = 0;
    Widening widened;
};

void print_summary(const Outcome& r, const std::string& target) {
    std::string skipped = std::to_string(r.binary + r.unreadable) + " skipped (" + std::to_string(r.binary) +
                          " binary, " + std::to_string(r.unreadable) + " unreadable)";
    if (r.excluding)
        skipped += ", " + std::to_string(r.excluded) + " excluded";
    std::string given_up = std::to_string(r.widened.words) + " words widened";
    if (r.widened.words > 0)
        given_up +=
            " (their candidate bytes +" + percent(r.widened.after - r.widened.before, r.widened.before) + ")";
    printf("tarvex-index: %zu files indexed, %s, %zu words, %d blocks, index %zu bytes (%s of %lld), "
           "%zu words share an entry, %s; wrote %s\n",
           r.files, skipped.c_str(), r.words, r.blocks, r.index_bytes,
           percent(static_cast<double>(r.index_bytes), static_cast<double>(r.tree_bytes)).c_str(),
           static_cast<long long>(r.tree_bytes), r.shared, given_up.c_str(), target.c_str());
}

int build(const Options& o, Progress& progress) {
    Tree t = walk(o, progress);
    const std::vector<uint32_t> cut = cut_blocks(t.files, o.blocks);

    WordStore store;
    std::vector<uint8_t> status;
    std::vector<int64_t> bytes;
    read_blocks(o, t, cut, store, status, bytes, progress);
    progress.phase("naming");
    Named named = name_files(t, cut, status, bytes);
    if (named.index.files.empty())
        fail(t.root + "/: no file to index");
    std::vector<FileEntry>().swap(t.files);
    std::vector<uint8_t>().swap(status);
    std::vector<int64_t>().swap(bytes);

    // The words in the order they are placed.
    progress.phase("sorting words");
    store.gather(named.remap, o.threads);
    const uint32_t prime = first_prime(store.words(), o.hash_slots);
    Words words = store.take_words(
        order_buckets(prime), [prime](uint64_t key, uint32_t blocks) { return order_bucket(key, blocks, prime); },
        o.threads);

    progress.phase("placing words");
    Table table = place(words, prime, o.threads);
    progress.phase("fitting areas");
    Outcome r;
    indexlib::AreaPieces pieces = fit_areas(table, words, named.block_bytes, o.area_limit, o.threads, r.widened);
    named.index.num_words = static_cast<int32_t>(words.size());
    named.index.slots = std::move(table.entry);
    progress.phase("laying out");
    r.shared = table.shared;
    table = Table{};
    indexlib::Image im = indexlib::lay_out(named.index, pieces, false, o.threads);
    if (!im.error.empty()) {
        if (im.error.find("16 MiB") != std::string::npos)
            fail("internal error, index not written: bitmaps and block lists run past 16 MiB");
        fail(t.root + "/: the index would be larger than 2 GiB, the limit of its offsets");
    }
    pieces = indexlib::AreaPieces{};
    r.files = named.index.files.size();
    named.index = indexlib::Index{};
    r.words = words.size();
    check_and_write(t.target, im.bytes, std::move(words), o.threads, progress);

    r.binary = named.binary;
    r.unreadable = named.unreadable + t.unreadable;
    r.excluding = !o.walk.exclude_names.empty() || !o.walk.exclude_paths.empty();
    r.excluded = t.excluded;
    r.blocks = im.hdr.num_blocks;
    r.index_bytes = im.bytes.size();
    r.tree_bytes = named.bytes;
    print_summary(r, t.target);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef __GLIBC__
    // Blocks of 1 MiB and more straight from the system and back: the
    // stages free hundreds of megabytes in chunks that the next stage would
    // not reuse.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
    // A write past a file-size limit then fails (EFBIG) and is reported like
    // a full disc, instead of killing the process with the index unwritten.
    signal(SIGXFSZ, SIG_IGN);
    Options o = parse(argc, argv);
    Progress progress;
    progress.on = !o.quiet && isatty(2);
    progress.timing = o.times;
    int status = o.check ? check_index(o.dir, o.have_mount, o.mount, o.out, o.walk, o.threads, progress)
                         : build(o, progress);
    progress.print_times();
    flush_stdout();
    return status;
}
