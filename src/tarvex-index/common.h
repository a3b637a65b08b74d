// What every stage of tarvex-index shares: how a failure ends the run, the
// progress display on standard error, running work on several threads, and
// putting the index file in place.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "indexlib/bytes.h"

namespace builder {

// "tarvex-index: what" on standard error, exit status 1; safe from any thread
// (the first caller reports, the process ends at once).
[[noreturn]] void fail(const std::string& what);
// The same for a usage error, exit status 2.
[[noreturn]] void usage_error(const std::string& what);

// A progress line on standard error, redrawn at most every 100 ms; off unless
// standard error is a terminal and -q is not given. The stages count into the
// atomic fields from any thread; only the thread that runs them draws.
// With timing on (--times), each phase's wall time is kept and
// print_times() reports them on standard error in one line.
struct Progress {
    bool on = false, timing = false;
    std::atomic<int64_t> done{0}, total{0}, bytes{0};
    void phase(const char* what, int64_t total_count = 0, bool in_bytes = false);
    void draw(bool force = false);
    void clear();
    void print_times();

private:
    std::vector<std::pair<const char*, double>> times_;
    std::chrono::steady_clock::time_point phase_start_;
    const char* what_ = "";
    bool in_bytes_ = false;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now(), last_{};
};

// The processors this process may run on.
int processors();

// Runs work(t) for t = 0 .. threads-1, each on a thread of its own (the
// caller's thread takes t = 0 when threads is 1), and draws progress every
// 100 ms meanwhile. Returns when all are done.
void parallel(int threads, const std::function<void(int)>& work, Progress* progress = nullptr);

// v as n zeros, its pages populated first: the tables of a large tree take
// hundreds of megabytes, and faulting them in one page at a time on one
// thread was most of the cost of zeroing them.
template <class T>
void zeros(std::vector<T>& v, size_t n, int threads) {
    std::vector<T>().swap(v);
    v.reserve(n);
    indexlib::populate(v.data(), n * sizeof(T), threads);
    v.resize(n);
}

// The index is written to a file that takes the target's place only when
// it is complete (and checked), so that the target is never a partial index
// and a failed run leaves the old one intact. In two steps, so that other
// work can go on while the bytes reach the disc: write_temp writes and syncs
// the file, and returns "" or what failed (the file is then gone);
// commit_temp puts it in place or ends the run; drop_temp gives it up. The
// file has no name until it is put in place where the file system allows
// it; elsewhere it is target.tmp-XXXXXX, removed on SIGHUP, SIGINT, SIGQUIT
// and SIGTERM. A signal the process was started ignoring stays ignored.
std::string write_temp(const std::string& target, const std::vector<uint8_t>& bytes);
void commit_temp(const std::string& target);
void drop_temp();

// The directory of a path: "/a/b" -> "/a", "/a" -> "/".
std::string dir_of(const std::string& path);

// Flushes standard output; a failed write ends the run with status 1.
void flush_stdout();

// Testing only (--pause-at): the process stops itself (SIGSTOP) when it
// reaches the named point, so that a test can change the tree or send a
// signal at a known moment and then let it go on. The points: "read" (the
// tree walked, no file read yet) and "write" (the index written and synced,
// not yet in place).
void set_pause_point(const std::string& point);
// Testing only (--named-temp): the named temporary file even where the file
// system would take an unnamed one.
void use_named_temp();
void pause_at(const char* point);

}  // namespace builder
