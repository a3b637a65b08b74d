// tarvex-index: writes the word index utils/tarvex.dat for a directory tree,
// or checks an existing one against the tree.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "indexlib/indexwriter.h"
#include "tarvex/hash.h"

namespace {

using indexlib::WordSet;

constexpr int32_t max_path = 1023;
constexpr size_t binary_probe = 8192;
constexpr size_t chunk = 1 << 20;
const char version[] = "tarvex-index 1.0.0";

[[noreturn]] void fail(const std::string& what) {
    fprintf(stderr, "tarvex-index: %s\n", what.c_str());
    exit(1);
}

[[noreturn]] void usage_error(const std::string& what) {
    fprintf(stderr, "tarvex-index: %s (try --help)\n", what.c_str());
    exit(2);
}

void print_help() {
    fputs("usage: tarvex-index [options] DIR\n"
          "Indexes every regular file under DIR into DIR/utils/tarvex.dat, so that\n"
          "`cd DIR && tarvex WORD` finds every line holding WORD.\n"
          "  -o FILE          write the index to FILE instead\n"
          "  --mount PREFIX   store PREFIX as the tree's absolute path (where the tree\n"
          "                   will be mounted when searched) instead of DIR's own\n"
          "  --blocks N       group the files into at most N blocks (1 to 4096; default\n"
          "                   4096, or one block per file for smaller trees)\n"
          "  --check          verify an existing index against DIR instead of writing\n"
          "  -q               no progress display\n"
          "  --hash-slots N   testing only: a hash table of the first prime >= N slots,\n"
          "                   grown only as far as the words need (may be over half full)\n"
          "  --help, --version\n"
          "Exit status: 0 done (or index sound), 1 failure (or index not sound), 2 usage.\n",
          stdout);
}

// ---- options and the tree's names ------------------------------------------------

struct Options {
    std::string dir, out, mount;
    bool have_mount = false, check = false, quiet = false;
    int32_t blocks = 0;
    uint32_t hash_slots = 0;
};

long number(const std::string& opt, const char* text, long lo, long hi) {
    char* end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno || *text == '\0' || *end != '\0' || v < lo || v > hi)
        usage_error(opt + " wants a number from " + std::to_string(lo) + " to " + std::to_string(hi) +
                    ", not '" + text + "'");
    return v;
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
            exit(0);
        } else if (a == "--version") {
            puts(version);
            exit(0);
        } else if (a == "-o") {
            o.out = value(a);
        } else if (a == "--mount") {
            o.mount = value(a);
            o.have_mount = true;
        } else if (a == "--blocks") {
            o.blocks = static_cast<int32_t>(number(a, value(a), 1, max_blocks));
        } else if (a == "--hash-slots") {
            o.hash_slots = static_cast<uint32_t>(number(a, value(a), 1, 1L << 29));
        } else if (a == "--check") {
            o.check = true;
        } else if (a == "-q") {
            o.quiet = true;
        } else {
            usage_error("unknown option '" + a + "'");
        }
    }
    if (o.dir.empty())
        usage_error("no directory given");
    return o;
}

std::vector<std::string> components(const std::string& abs) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < abs.size()) {
        size_t j = abs.find('/', i);
        if (j == std::string::npos)
            j = abs.size();
        if (j > i)
            out.push_back(abs.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

std::string join(const std::vector<std::string>& parts) {
    std::string s;
    for (const auto& p : parts)
        s += "/" + p;
    return s;
}

// ---- the walk ------------------------------------------------------------------------

struct FileEntry {
    std::string rel;   // path below DIR, "a/b.txt"
    int64_t size;
};

struct Walk {
    std::vector<FileEntry> files;
    std::vector<std::string> unreadable;   // directories and files that could not be read
    dev_t skip_dev = 0;
    ino_t skip_ino = 0;
    bool have_skip = false;
};

// Regular files of a directory first, in bytewise name order, then its
// subdirectories in the same order, each walked the same way.
void walk(const std::string& root, const std::string& rel, Walk& w) {
    std::string here = rel.empty() ? root : root + "/" + rel;
    DIR* d = opendir(here.c_str());
    if (d == nullptr) {
        fprintf(stderr, "tarvex-index: cannot read directory %s: %s (skipped)\n", here.c_str(),
                strerror(errno));
        w.unreadable.push_back(here);
        return;
    }
    std::vector<std::pair<std::string, int64_t>> files;
    std::vector<std::string> dirs;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        std::string full = here + "/" + name;
        struct stat st;
        if (lstat(full.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            dirs.push_back(name);
        else if (S_ISREG(st.st_mode) &&
                 !(w.have_skip && st.st_dev == w.skip_dev && st.st_ino == w.skip_ino))
            files.emplace_back(name, static_cast<int64_t>(st.st_size));
    }
    closedir(d);
    std::sort(files.begin(), files.end());
    std::sort(dirs.begin(), dirs.end());
    for (auto& [name, size] : files)
        w.files.push_back({rel.empty() ? name : rel + "/" + name, size});
    for (auto& name : dirs)
        walk(root, rel.empty() ? name : rel + "/" + name, w);
}

// ---- progress ------------------------------------------------------------------------

struct Progress {
    bool on = false;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now(), last;
    void show(const char* phase, size_t files, size_t total_files, int64_t bytes, bool force = false) {
        if (!on)
            return;
        auto now = std::chrono::steady_clock::now();
        if (!force && now - last < std::chrono::milliseconds(100))
            return;
        last = now;
        if (bytes < 0) {
            fprintf(stderr, "\r%s: %zu/%zu words   ", phase, files, total_files);
            return;
        }
        double secs = std::chrono::duration<double>(now - start).count();
        fprintf(stderr, "\r%s: %zu/%zu files, %.1f MB, %.1f MB/s   ", phase, files, total_files,
                static_cast<double>(bytes) / 1e6, secs > 0 ? static_cast<double>(bytes) / 1e6 / secs : 0.0);
    }
    void phase(const char* what) {
        if (on)
            fprintf(stderr, "\r%-60s", what);
    }
    void done() {
        if (on)
            fprintf(stderr, "\r%-60s\r", "");
    }
};

// ---- words ---------------------------------------------------------------------------

// Word bytes map to themselves lower-cased in A to Z; other bytes to 0.
struct WordBytes {
    unsigned char map[256];
    WordBytes() {
        for (int c = 0; c < 256; c++)
            map[c] = indexlib::word_byte(static_cast<unsigned char>(c));
    }
};
const WordBytes word_bytes;

// Collects each distinct word once with the blocks it occurs in. Blocks come
// in rising order while building, so a word's last block tells whether this
// block is already counted; per block, the ids of its new words are appended
// to one array that is turned into per-word lists at the end.
class Collector {
public:
    Collector() : slots_(1 << 16, 0) {}

    void start_block(uint32_t b) { block_ = b; }

    // Returns 0 indexed, 1 binary, 2 cannot be opened; bytes gets the bytes
    // read. A read error part way is fatal: some words would be lost.
    int scan(const std::string& path, int64_t& bytes) {
        bytes = 0;
        int in = open(path.c_str(), O_RDONLY);
        if (in < 0)
            return 2;
        buf_.resize(chunk);
        size_t len = 0;       // bytes of the current run
        bool first = true;
        for (;;) {
            size_t got = 0;
            // The first read fills the binary probe's 8 KiB unless the file ends.
            while (got < (first ? binary_probe : 1)) {
                ssize_t n = read(in, buf_.data() + got, chunk - got);
                if (n < 0)
                    fail("cannot read " + path + ": " + strerror(errno));
                if (n == 0)
                    break;
                got += static_cast<size_t>(n);
            }
            if (first && memchr(buf_.data(), 0, std::min(got, binary_probe)) != nullptr) {
                close(in);
                return 1;
            }
            first = false;
            if (got == 0)
                break;
            bytes += static_cast<int64_t>(got);
            const unsigned char* p = reinterpret_cast<const unsigned char*>(buf_.data());
            for (size_t i = 0; i < got; i++) {
                unsigned char c = word_bytes.map[p[i]];
                if (c) {
                    if (len < 256)
                        word_[len] = static_cast<char>(c);
                    len++;
                } else if (len) {
                    if (len <= 255)
                        add(len);
                    len = 0;
                }
            }
        }
        if (len && len <= 255)
            add(len);
        close(in);
        return 0;
    }

    // Turns the collected words into a word set; the collector is spent.
    WordSet finish() {
        WordSet set;
        const size_t n = recs_.size();
        set.start.assign(n + 1, 0);
        for (size_t w = 0; w < n; w++)
            set.start[w + 1] = set.start[w] + recs_[w].count;
        set.blocks.resize(postings_.size());
        std::vector<uint32_t> fill(set.start.begin(), set.start.end() - 1);
        for (size_t b = 0; b < block_first_.size(); b++) {
            size_t from = block_first_[b];
            size_t to = b + 1 < block_first_.size() ? block_first_[b + 1] : postings_.size();
            for (size_t i = from; i < to; i++)
                set.blocks[fill[postings_[i]]++] = static_cast<uint16_t>(block_of_[b]);
        }
        std::vector<uint32_t>().swap(postings_);
        std::vector<uint64_t>().swap(slots_);
        set.text_at.resize(n);
        for (size_t w = 0; w < n; w++)
            set.text_at[w] = recs_[w].text_at;
        std::vector<Rec>().swap(recs_);
        set.text = std::move(text_);
        return set;
    }

    size_t words() const { return recs_.size(); }

private:
    struct Rec {
        uint32_t text_at;
        uint32_t count;
        uint16_t len;
        uint16_t last;   // last block + 1, 0 for none
    };

    void add(size_t len) {
        // Eight bytes at a time; the bytes past the word are cleared first.
        uint64_t h = len * 0x9E3779B97F4A7C15ull;
        memset(word_ + len, 0, 8);
        for (size_t i = 0; i < len; i += 8) {
            uint64_t v;
            memcpy(&v, word_ + i, 8);
            h = (h ^ v) * 0xFF51AFD7ED558CCDull;
            h ^= h >> 29;
        }
        auto h32 = static_cast<uint32_t>(h ^ (h >> 32));
        size_t mask = slots_.size() - 1;
        // A slot holds the word's hash beside its id, so that most other
        // words in the way are passed without touching their records.
        for (size_t k = h32 & mask;; k = (k + 1) & mask) {
            uint64_t slot = slots_[k];
            auto id = static_cast<uint32_t>(slot);
            if (id == 0) {
                id = static_cast<uint32_t>(recs_.size()) + 1;
                slots_[k] = uint64_t{h32} << 32 | id;
                recs_.push_back({static_cast<uint32_t>(text_.size()), 0, static_cast<uint16_t>(len), 0});
                // Zeros after the NUL up to a multiple of 8 let same() compare
                // whole 8-byte groups.
                text_.insert(text_.end(), word_, word_ + len);
                text_.resize(text_.size() + (len + 8) / 8 * 8 - len, '\0');
                hit(id - 1);
                if (recs_.size() * 2 > slots_.size())
                    grow();
                return;
            }
            if (slot >> 32 != h32)
                continue;
            const Rec& r = recs_[id - 1];
            if (r.len == len && same(text_.data() + r.text_at, len)) {
                hit(id - 1);
                return;
            }
        }
    }

    // Is the stored word at p the current word? Both are zero after their end.
    bool same(const char* p, size_t len) const {
        for (size_t i = 0; i < len; i += 8) {
            uint64_t a, b;
            memcpy(&a, p + i, 8);
            memcpy(&b, word_ + i, 8);
            if (a != b)
                return false;
        }
        return true;
    }

    void hit(uint32_t w) {
        Rec& r = recs_[w];
        if (r.last == block_ + 1)
            return;
        if (block_first_.empty() || block_of_.back() != block_) {
            block_first_.push_back(postings_.size());
            block_of_.push_back(block_);
        }
        r.last = static_cast<uint16_t>(block_ + 1);
        r.count++;
        postings_.push_back(w);
    }

    void grow() {
        std::vector<uint64_t> bigger(slots_.size() * 2, 0);
        size_t mask = bigger.size() - 1;
        for (uint64_t slot : slots_) {
            if (slot == 0)
                continue;
            size_t k = (slot >> 32) & mask;
            while (bigger[k] != 0)
                k = (k + 1) & mask;
            bigger[k] = slot;
        }
        slots_.swap(bigger);
    }

    char word_[256 + 8];
    uint32_t block_ = 0;
    std::vector<char> buf_;
    std::vector<uint64_t> slots_;
    std::vector<Rec> recs_;
    std::vector<char> text_;
    std::vector<uint32_t> postings_;
    std::vector<size_t> block_first_;
    std::vector<uint32_t> block_of_;
};

// ---- the index's names ---------------------------------------------------------------

// Name records for the tree: the mount prefix's directories, then every
// directory that holds an indexed file, numbered as first met.
struct Names {
    indexlib::Index& index;
    std::vector<std::string> prefix;
    std::unordered_map<std::string, int16_t> dirs;   // relative path -> number

    Names(indexlib::Index& ix, std::vector<std::string> pre) : index(ix), prefix(std::move(pre)) {}

    int16_t new_dir(int16_t parent, const std::string& name, const std::string& shown) {
        if (name.size() > static_cast<size_t>(max_name))
            fail(shown + ": name of " + std::to_string(name.size()) + " bytes, at most " +
                 std::to_string(max_name));
        if (index.dirs.size() >= static_cast<size_t>(max_dir))
            fail(shown + ": more than " + std::to_string(max_dir) + " directories");
        index.dirs.push_back({parent, name});
        return static_cast<int16_t>(index.dirs.size());
    }

    int16_t root() {
        auto it = dirs.find("");
        if (it != dirs.end())
            return it->second;
        int16_t d = 0;
        std::string shown;
        for (const auto& p : prefix) {
            shown += "/" + p;
            d = new_dir(d, p, shown);
        }
        dirs[""] = d;
        return d;
    }

    int16_t dir(const std::string& rel, const std::string& root_shown) {
        if (rel.empty())
            return root();
        auto it = dirs.find(rel);
        if (it != dirs.end())
            return it->second;
        size_t slash = rel.rfind('/');
        int16_t parent = dir(slash == std::string::npos ? "" : rel.substr(0, slash), root_shown);
        int16_t d = new_dir(parent, slash == std::string::npos ? rel : rel.substr(slash + 1),
                            root_shown + "/" + rel);
        dirs[rel] = d;
        return d;
    }

    void file(const std::string& rel, const std::string& root_shown) {
        std::string stored = join(prefix) + "/" + rel;
        std::string shown = root_shown + "/" + rel;
        if (stored.size() > static_cast<size_t>(max_path))
            fail(shown + ": path of " + std::to_string(stored.size()) + " bytes as stored, at most " +
                 std::to_string(max_path));
        size_t slash = rel.rfind('/');
        std::string name = slash == std::string::npos ? rel : rel.substr(slash + 1);
        if (name.size() > static_cast<size_t>(max_name))
            fail(shown + ": name of " + std::to_string(name.size()) + " bytes, at most " +
                 std::to_string(max_name));
        int16_t parent = dir(slash == std::string::npos ? "" : rel.substr(0, slash), root_shown);
        index.files.push_back({parent, name});
    }
};

// ---- the index file ------------------------------------------------------------------

std::string temp_path;

extern "C" void on_signal(int sig) {
    if (!temp_path.empty())
        unlink(temp_path.c_str());
    signal(sig, SIG_DFL);
    raise(sig);
}

// Writes beside the target and renames into place, so that the target is
// never a partial index.
void write_index(const std::string& target, const std::vector<uint8_t>& bytes) {
    std::string dir = target.substr(0, target.rfind('/'));
    std::vector<char> tmpl(target.begin(), target.end());
    const char suffix[] = ".tmp-XXXXXX";
    tmpl.insert(tmpl.end(), suffix, suffix + sizeof(suffix));
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST)
        fail("cannot create directory " + dir + ": " + strerror(errno));
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    signal(SIGHUP, on_signal);
    int out = mkstemp(tmpl.data());
    if (out < 0)
        fail("cannot create a temporary file in " + dir + ": " + strerror(errno));
    temp_path = tmpl.data();
    auto give_up = [&](const std::string& what) {
        int e = errno;
        close(out);
        unlink(temp_path.c_str());
        fail(what + ": " + strerror(e));
    };
    mode_t mask = umask(0);
    umask(mask);
    if (fchmod(out, 0666 & ~mask) != 0)
        give_up("cannot set the mode of " + temp_path);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(out, bytes.data() + done, bytes.size() - done);
        if (n < 0)
            give_up("cannot write " + temp_path);
        done += static_cast<size_t>(n);
    }
    if (fsync(out) != 0)
        give_up("cannot write " + temp_path);
    if (close(out) != 0) {
        int e = errno;
        unlink(temp_path.c_str());
        fail("cannot write " + temp_path + ": " + strerror(e));
    }
    if (rename(temp_path.c_str(), target.c_str()) != 0) {
        int e = errno;
        unlink(temp_path.c_str());
        fail("cannot rename " + temp_path + " to " + target + ": " + strerror(e));
    }
    temp_path.clear();
}

bool read_whole(const std::string& path, std::vector<uint8_t>& bytes) {
    int in = open(path.c_str(), O_RDONLY);
    if (in < 0)
        return false;
    struct stat st;
    if (fstat(in, &st) != 0) {
        close(in);
        return false;
    }
    bytes.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = read(in, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            close(in);
            if (n == 0)
                errno = EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    close(in);
    return true;
}

// Every word of the set, by the search's own lookup and expansion over the
// bytes, must come to an entry naming all of its blocks. Returns the first
// word that does not, with why, or "" when all do.
std::string check_words(const std::vector<uint8_t>& bytes, const WordSet& words, Progress& progress) {
    std::vector<uint8_t> named(max_blocks);
    for (size_t w = 0; w < words.size(); w++) {
        if (w % 4096 == 0)
            progress.show("checking words", w, words.size(), -1);
        indexlib::Lookup found = indexlib::lookup(bytes, words.word(w));
        if (!found.error.empty())
            return std::string("word '") + words.word(w) + "': " + found.error;
        for (uint32_t b : found.blocks)
            named[b] = 1;
        std::string missing;
        for (uint32_t i = words.start[w]; i < words.start[w + 1] && missing.empty(); i++)
            if (!named[words.blocks[i]])
                missing = std::to_string(words.blocks[i]);
        for (uint32_t b : found.blocks)
            named[b] = 0;
        if (!missing.empty())
            return std::string("word '") + words.word(w) + "' is not found in block " + missing;
    }
    return "";
}

struct Tree {
    std::string root;              // DIR, absolute
    std::vector<std::string> prefix;
    std::string target;            // the index file
    Walk walk;
};

Tree open_tree(const Options& o) {
    Tree t;
    char* real = realpath(o.dir.c_str(), nullptr);
    if (real == nullptr)
        fail("cannot open directory " + o.dir + ": " + strerror(errno));
    t.root = real;
    free(real);
    struct stat st;
    if (stat(t.root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        fail(o.dir + ": not a directory");
    if (o.have_mount) {
        if (o.mount.empty() || o.mount[0] != '/')
            usage_error("--mount wants an absolute path, not '" + o.mount + "'");
        t.prefix = components(o.mount);
        for (const auto& c : t.prefix)
            if (c == "." || c == "..")
                usage_error("--mount wants a path without . or .., not '" + o.mount + "'");
    } else {
        t.prefix = components(t.root);
    }
    std::string root_slash = t.root == "/" ? "" : t.root;
    if (o.out.empty()) {
        t.target = root_slash + "/utils/tarvex.dat";
    } else {
        t.target = o.out[0] == '/' ? o.out : [] {
            char* cwd = getcwd(nullptr, 0);
            std::string s = cwd ? cwd : ".";
            free(cwd);
            return s;
        }() + "/" + o.out;
    }
    // The index itself is never indexed, nor is a stale one at the target.
    if (lstat(t.target.c_str(), &st) == 0) {
        t.walk.skip_dev = st.st_dev;
        t.walk.skip_ino = st.st_ino;
        t.walk.have_skip = true;
    }
    walk(t.root, "", t.walk);
    if (t.root == "/")
        t.root = "";
    return t;
}

std::string percent(int64_t part, int64_t whole) {
    char buf[32];
    snprintf(buf, sizeof buf, "%.1f%%", whole > 0 ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0);
    return buf;
}

// ---- build ---------------------------------------------------------------------------

int build(const Options& o, Progress& progress) {
    Tree t = open_tree(o);
    const auto& files = t.walk.files;
    int64_t total = 0;
    for (const auto& f : files)
        total += f.size;
    int32_t want_blocks = o.blocks ? o.blocks : max_blocks;
    want_blocks = static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(want_blocks), std::max<size_t>(files.size(), 1)));

    indexlib::Index index;
    Names names(index, t.prefix);
    names.root();
    Collector words;
    size_t binary = 0, unreadable = t.walk.unreadable.size();
    int64_t scanned = 0, offset = 0;
    int64_t block_start = 0;   // offset where the open block began
    for (size_t i = 0; i < files.size(); i++) {
        const FileEntry& f = files[i];
        // Each block takes about an equal share of the bytes still to come, so
        // that a large file, which fills a block alone, leaves the other
        // blocks to the rest. A block is opened only when an indexed file
        // needs it, so none is empty.
        const auto opened = static_cast<int64_t>(index.blocks.size());
        bool opens = opened == 0 ||
                     (opened < want_blocks &&
                      offset - block_start + f.size / 2 >= (total - block_start) / (want_blocks - opened + 1));
        uint32_t block = static_cast<uint32_t>(index.blocks.size()) - (opens ? 0 : 1);
        words.start_block(block);
        int64_t got = 0;
        int status = words.scan(t.root + "/" + f.rel, got);
        offset += f.size;
        if (status == 1) {
            binary++;
            continue;
        }
        if (status == 2) {
            fprintf(stderr, "tarvex-index: cannot read %s: %s (skipped)\n", (t.root + "/" + f.rel).c_str(),
                    strerror(errno));
            unreadable++;
            continue;
        }
        if (opens) {
            index.blocks.push_back(static_cast<int32_t>(index.files.size()));
            block_start = offset - f.size;
        }
        names.file(f.rel, t.root);
        scanned += got;
        progress.show("scanning", i + 1, files.size(), scanned);
    }
    if (index.files.empty())
        fail(t.root + "/: no file to index");

    progress.phase("placing words");
    WordSet set = words.finish();
    uint32_t prime = indexlib::next_prime(o.hash_slots ? o.hash_slots : static_cast<uint32_t>(2 * set.size() + 1));
    indexlib::Placement placed = indexlib::place_words(set, prime, index);
    while (!placed.ok) {
        prime = indexlib::next_prime(prime + 1);
        placed = indexlib::place_words(set, prime, index);
    }
    progress.phase("laying out");
    index.share_areas = true;
    indexlib::Image im = indexlib::lay_out(index);
    if (!im.error.empty()) {
        if (im.error.find("16 MiB") != std::string::npos)
            fail(t.root + "/: bitmaps and block lists run past 16 MiB, the limit of their offsets (try fewer --blocks)");
        fail(t.root + "/: the index would be larger than 2 GiB, the limit of its offsets");
    }
    index = indexlib::Index{};
    std::string problem = check_words(im.bytes, set, progress);
    if (!problem.empty())
        fail("internal error, index not written: " + problem);
    progress.phase("writing");
    write_index(t.target, im.bytes);
    progress.done();

    std::string skipped = std::to_string(binary + unreadable) + " skipped (" + std::to_string(binary) +
                          " binary, " + std::to_string(unreadable) + " unreadable)";
    printf("tarvex-index: %zu files indexed, %s, %zu words, %d blocks, index %zu bytes (%s of %lld), "
           "%u words share an entry; wrote %s\n",
           im.file_record.size(), skipped.c_str(), set.size(), im.hdr.num_blocks, im.bytes.size(),
           percent(static_cast<int64_t>(im.bytes.size()), scanned).c_str(), static_cast<long long>(scanned),
           placed.shared, t.target.c_str());
    return 0;
}

// ---- check ---------------------------------------------------------------------------

// Returns "" when every structure of the index is inside the file and sound.
std::string check_structure(const std::vector<uint8_t>& b, std::vector<std::string>& paths,
                            std::vector<int32_t>& block_of) {
    const int64_t size = static_cast<int64_t>(b.size());
    if (size < header_bytes)
        return "shorter than its 80-byte header";
    auto field = [&b](int i) { return static_cast<int32_t>(le32(b.data() + 4 * i)); };
    auto in = [size](int64_t at, int64_t n) { return at >= 0 && n >= 0 && at + n <= size; };
    const int32_t header_size = field(1), filesize = field(2), num_words = field(3), num_dirs = field(4),
                  num_files = field(5), num_blocks = field(6), prime = field(8);
    const int32_t block_at = field(13), dir_at = field(14), file_at = field(15), hash_at = field(17);
    if (field(0) != indexlib::default_magic)
        return "magic is not tarvex-index's";
    if (header_size != header_bytes)
        return "header_size is " + std::to_string(header_size) + ", not 80";
    if (filesize != size)
        return "filesize is " + std::to_string(filesize) + ", the file has " + std::to_string(size) + " bytes";
    if (num_blocks < 1 || num_blocks > max_blocks)
        return "num_blocks " + std::to_string(num_blocks) + " is not from 1 to 4096";
    if (num_files < 1 || num_dirs < 0 || num_dirs > max_dir || num_words < 0)
        return "num_files, num_dirs or num_words out of range";
    if (prime < 1 || !in(hash_at, 4 * int64_t{prime}) || field(9) != 4 * prime)
        return "hash table outside the file or its size wrong";
    // The fields the search does not read are still the builder's truth.
    const int32_t strings_size = field(7), lists_size = field(11), maps_size = field(12),
                  strings_at = field(16), lists_at = field(18), maps_at = field(19);
    if (field(10) != (num_blocks + 7) / 8)
        return "bytes_per_bitmap is not the bytes of " + std::to_string(num_blocks) + " bits";
    if (!in(strings_at, strings_size) || !in(lists_at, lists_size) || !in(maps_at, maps_size) ||
        int64_t{lists_at} + lists_size > max_area_offset || int64_t{maps_at} + maps_size > max_area_offset)
        return "strings, block-list or bitmap area outside the file or past 16 MiB";
    auto within = [](int64_t at, int64_t n, int64_t from, int64_t size) { return at >= from && at + n <= from + size; };
    if (!in(block_at, 4 * int64_t{num_blocks}) || !in(file_at, 4 * int64_t{num_files}) ||
        !in(dir_at, 4 * (int64_t{num_dirs} + 1)))
        return "block, file or directory table outside the file";
    int32_t prev = -1;
    block_of.assign(static_cast<size_t>(num_files), -1);
    for (int32_t k = 0; k < num_blocks; k++) {
        auto first = static_cast<int32_t>(le32(b.data() + block_at + 4 * k));
        if (first <= prev || first >= num_files || (k == 0 && first != 0))
            return "block table entry " + std::to_string(k) + " does not rise within the files";
        int32_t end = k + 1 < num_blocks ? static_cast<int32_t>(le32(b.data() + block_at + 4 * (k + 1))) : num_files;
        for (int32_t f = first; f < end && f < num_files; f++)
            block_of[static_cast<size_t>(f)] = k;
        prev = first;
    }
    auto name = [&](int32_t at, int16_t& parent, std::string& text) -> bool {
        if (!in(at, name_window) || !within(at, 3, strings_at, strings_size))
            return false;
        const uint8_t* p = b.data() + at;
        const void* nul = memchr(p + 2, 0, name_window - 2);
        if (nul == nullptr)
            return false;
        parent = le16(p);
        text.assign(reinterpret_cast<const char*>(p + 2), static_cast<const uint8_t*>(nul) - (p + 2));
        return parent >= 0 && parent <= num_dirs && !text.empty();
    };
    std::vector<std::string> dir_path(static_cast<size_t>(num_dirs) + 1);
    for (int32_t d = 1; d <= num_dirs; d++) {
        int16_t parent;
        std::string text;
        if (!name(static_cast<int32_t>(le32(b.data() + dir_at + 4 * d)), parent, text))
            return "directory record " + std::to_string(d) + " broken";
        // The builder numbers a directory after its parent, so chains cannot loop.
        if (parent >= d)
            return "directory record " + std::to_string(d) + " names a later parent";
        dir_path[static_cast<size_t>(d)] = dir_path[static_cast<size_t>(parent)] + "/" + text;
    }
    paths.clear();
    for (int32_t f = 0; f < num_files; f++) {
        int16_t parent;
        std::string text;
        if (!name(static_cast<int32_t>(le32(b.data() + file_at + 4 * f)), parent, text))
            return "file record " + std::to_string(f) + " broken";
        paths.push_back(dir_path[static_cast<size_t>(parent)] + "/" + text);
        if (paths.back().size() > static_cast<size_t>(max_path))
            return "path of file " + std::to_string(f) + " longer than 1023 bytes";
    }
    int64_t entries = 0;
    for (int32_t k = 0; k < prime; k++) {
        uint32_t x = le32(b.data() + hash_at + 4 * k);
        if (x == 0)
            continue;
        entries++;
        uint32_t kind = entry_kind(x);
        std::vector<uint32_t> named;
        if (kind == 1) {
            named = {x & 0xFFF};
        } else if (kind == 2) {
            named = {x & 0xFFF, (x >> 12) & 0xFFF};
        } else {
            int64_t at = entry_offset(x);
            if (!in(at, block_window))
                return "hash slot " + std::to_string(k) + ": its 512-byte window runs past the file";
            if (entry_check6(x) > 60)
                return "hash slot " + std::to_string(k) + ": check code above 60";
            if (kind == 0 && !within(at, (num_blocks + 7) / 8, maps_at, maps_size))
                return "hash slot " + std::to_string(k) + ": bitmap outside the bitmap area";
            if (kind == 3) {
                uint32_t n = unpack12(b.data() + at, 0);
                if (!within(at, list_bytes(std::min<uint32_t>(n, max_list_count)), lists_at, lists_size))
                    return "hash slot " + std::to_string(k) + ": block list outside the list area";
                if (n > max_list_count)
                    return "hash slot " + std::to_string(k) + ": block list of more than 340 blocks";
                for (uint32_t i = 1; i <= n; i++)
                    named.push_back(unpack12(b.data() + at, i));
            }
        }
        for (uint32_t blk : named)
            if (blk >= static_cast<uint32_t>(num_blocks))
                return "hash slot " + std::to_string(k) + " names block " + std::to_string(blk) +
                       " of " + std::to_string(num_blocks);
    }
    if (entries > num_words)
        return "more hash entries than num_words";
    return "";
}

int check(const Options& o, Progress& progress) {
    Tree t = open_tree(o);
    std::vector<uint8_t> bytes;
    if (!read_whole(t.target, bytes))
        fail("cannot read " + t.target + ": " + strerror(errno));
    auto unsound = [&](const std::string& why) {
        progress.done();
        printf("tarvex-index: %s: NOT SOUND: %s\n", t.target.c_str(), why.c_str());
        return 1;
    };
    std::vector<std::string> paths;
    std::vector<int32_t> block_of;
    std::string problem = check_structure(bytes, paths, block_of);
    if (!problem.empty())
        return unsound(problem);

    std::unordered_map<std::string, size_t> file_no;
    for (size_t f = 0; f < paths.size(); f++)
        file_no[paths[f]] = f;
    std::string stored_root = join(t.prefix);
    std::vector<bool> seen(paths.size());
    Collector words;
    int64_t scanned = 0;
    size_t checked = 0;
    for (size_t i = 0; i < t.walk.files.size(); i++) {
        const FileEntry& f = t.walk.files[i];
        std::string shown = t.root + "/" + f.rel;
        auto it = file_no.find(stored_root + "/" + f.rel);
        int64_t got = 0;
        if (it == file_no.end()) {
            // A file the builder skipped is fine as long as it would still be skipped.
            Collector probe;
            int status = probe.scan(shown, got);
            if (status == 0)
                return unsound(shown + " is not in the index");
            continue;
        }
        seen[it->second] = true;
        int32_t block = block_of[it->second];
        if (block < 0)
            return unsound(shown + " is in no block");
        // Files come in the builder's order, so blocks rise; in a reordered
        // tree a word may list a block twice, which the check takes in stride.
        words.start_block(static_cast<uint32_t>(block));
        int status = words.scan(shown, got);
        if (status != 0)
            return unsound(shown + (status == 1 ? " now looks binary" : " cannot be read"));
        scanned += got;
        checked++;
        progress.show("reading", i + 1, t.walk.files.size(), scanned);
    }
    for (size_t f = 0; f < paths.size(); f++)
        if (!seen[f])
            return unsound(paths[f] + " is in the index but not in the tree");
    WordSet set = words.finish();
    for (size_t w = 0; w < set.size(); w++) {
        auto from = set.blocks.begin() + set.start[w], to = set.blocks.begin() + set.start[w + 1];
        std::sort(from, to);
    }
    problem = check_words(bytes, set, progress);
    if (!problem.empty())
        return unsound(problem);
    progress.done();
    const int32_t num_blocks = static_cast<int32_t>(le32(bytes.data() + 24));
    const int32_t num_dirs = static_cast<int32_t>(le32(bytes.data() + 16));
    printf("tarvex-index: %s: sound: header, %d blocks, %zu files, %d directories, hash table; "
           "%zu words of %zu files found in their blocks\n",
           t.target.c_str(), num_blocks, paths.size(), num_dirs, set.size(), checked);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parse(argc, argv);
    Progress progress;
    progress.on = !o.quiet && isatty(2);
    int status = o.check ? check(o, progress) : build(o, progress);
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "tarvex-index: write failed: %s\n", strerror(errno));
        return 1;
    }
    return status;
}
