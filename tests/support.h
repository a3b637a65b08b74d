// Test support: temporary directories, runs of the real binary, and small
// trees of real files indexed with the index-writing library.
#pragma once

#include <cstdint>
#include <functional>
#include <sys/types.h>
#include <map>
#include <string>
#include <vector>

#include "indexlib/areas.h"
#include "indexlib/bytes.h"
#include "indexlib/layout.h"

namespace testing_support {

struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
};

struct Result {
    int status = -1;   // exit status, or 128 + signal
    std::string out, err;
    int stops = 0;     // times the program stopped itself (SIGSTOP), with at_stop
};

// Runs the tarvex binary in dir with the given arguments (argv[1]...). With a
// time limit, a run that hangs is killed by SIGALRM after that many seconds
// (status 128 + 14) rather than hanging the test.
Result run_tarvex(const std::string& dir, const std::vector<std::string>& args,
                  unsigned time_limit = 0);
// Runs any binary the same way: in dir, standard input from /dev/null.
Result run_binary(const std::string& bin, const std::string& dir, const std::vector<std::string>& args,
                  unsigned time_limit = 0);

struct RunOptions {
    unsigned time_limit = 0;
    std::function<void()> in_child;           // in the child, before the exec
    std::function<void(pid_t)> at_stop;       // each time it stops itself; then it goes on
    std::string out_file;                     // standard output there (not read back)
};
Result run_binary(const std::string& bin, const std::string& dir, const std::vector<std::string>& args,
                  const RunOptions& options);

void write_text(const std::string& path, const std::string& text);
std::string read_text(const std::string& path);
void make_dirs(const std::string& path);

// Name records for absolute paths: directories are numbered as first met.
struct Tree {
    indexlib::Index index;
    std::map<std::string, int16_t> dirs;
    int16_t dir(const std::string& abs);       // number of directory abs ("" is the root)
    int32_t file(const std::string& abs);      // appends a file record; its number
};

struct Probe {
    uint32_t slot, r6, r16;
};
Probe probe(const std::string& word, uint32_t prime);

// Writes dir/utils/tarvex.dat.
void write_index(const std::string& dir, const std::vector<uint8_t>& bytes);

// A disc of real files under root: each block's files are written with their
// texts, in order; the index names them by absolute path. Entries are set by
// the caller (explicit) or placed for every word of the files (place).
struct Disc {
    std::string root;
    Tree tree;
    std::vector<std::string> paths;   // file f's absolute path
    explicit Disc(std::string root_dir) : root(std::move(root_dir)) {}
    // Adds a block of files (relative names and texts); returns its number.
    int32_t block(const std::vector<std::pair<std::string, std::string>>& files);
    // Sets the entry of word in a table of prime slots at the word's first slot.
    void entry(const std::string& word, uint32_t value, uint32_t prime = 101);
    // Sets a bitmap or list entry: the area is placed by lay_out.
    void area_entry(const std::string& word, bool bitmap, const std::vector<uint8_t>& bytes,
                    uint32_t prime = 101);
    // Places every word of every file by the probe rule.
    void place(uint32_t prime);
    indexlib::Image image() const;
    void write() const;   // root/utils/tarvex.dat
};

}  // namespace testing_support
