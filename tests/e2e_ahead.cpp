// Read-ahead of candidate files: what the user sees is what a search that
// reads nothing ahead shows. The tool built without read-ahead
// (TARVEX_NO_AHEAD_BIN) is the yardstick; both run on a pseudo-terminal, so
// that standard output goes out a file at a time and "Cannot open" lines land
// between the records exactly where they were written. Every run has a time
// limit, so that a regression fails instead of hanging.
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <set>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support.h"

using namespace testing_support;

namespace {

namespace fs = std::filesystem;
constexpr unsigned time_limit = 30;
constexpr rlim_t no_limit = RLIM_INFINITY;

struct Seen {
    int status = -1;
    std::string text;  // standard output and standard error, as written
};

// In the child: only 0, 1 and 2 stay open, so that the index is descriptor 3
// and a descriptor limit means the same in every run.
void child_setup(const std::string& dir, rlim_t nofile) {
    closefrom(3);
    if (chdir(dir.c_str()) != 0)
        _exit(127);
    if (nofile != no_limit) {
        // In the sanitizer build the leak check at exit needs descriptors of
        // its own, which a tight limit does not leave it; the tool reads no
        // environment.
        setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
        rlimit r = {nofile, nofile};
        if (setrlimit(RLIMIT_NOFILE, &r) != 0)
            _exit(127);
    }
    alarm(time_limit);  // kept across exec
}

// Runs bin WORD in dir with standard output and standard error on one
// pseudo-terminal in raw mode.
//
// The output ends when the child has been reaped and nothing is left to
// read, not at the first read that fails: the test keeps its own end of the
// terminal open, so no EIO for the child's close can end the reading while
// its last lines are on their way (a loaded emulated run once came back
// with its last lines missing, from a loop that stopped at that EIO).
Seen run_on_terminal(const std::string& bin, const std::string& dir, const std::string& word,
                    rlim_t nofile = no_limit) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        throw std::runtime_error("no pseudo-terminal");
    std::string slave_name = ptsname(master);
    int slave = open(slave_name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0)
        throw std::runtime_error("cannot open " + slave_name);
    termios t;
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    if (fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK) != 0)
        throw std::runtime_error("cannot make the pseudo-terminal non-blocking");
    pid_t pid = fork();
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        if (in < 0 || dup2(in, 0) < 0 || dup2(slave, 1) < 0 || dup2(slave, 2) < 0)
            _exit(127);
        child_setup(dir, nofile);
        execl(bin.c_str(), bin.c_str(), word.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid < 0)
        throw std::runtime_error("cannot fork");
    Seen run;
    int st = 0;
    bool reaped = false;
    char buf[4096];
    for (;;) {
        // A read that finds the queue empty first waits for the terminal's
        // pending input to be passed on, so after the reaping one empty read
        // means all of it has been read.
        ssize_t n = read(master, buf, sizeof buf);
        if (n > 0) {
            run.text.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (reaped)
            break;
        pid_t done = waitpid(pid, &st, WNOHANG);
        if (done < 0 && errno != EINTR)
            throw std::runtime_error("cannot wait for the search");
        if (done == pid) {
            reaped = true;
            continue;
        }
        pollfd p = {master, POLLIN, 0};
        poll(&p, 1, 20);
    }
    close(slave);
    close(master);
    run.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return run;
}

// What a search of these files for "widget" prints, in this order: a missing
// file or a directory is reported, a file's lines holding the word (A to Z
// folded) are printed; the lines here are short and plain.
std::string expected(const std::vector<std::string>& order) {
    std::string want;
    for (const std::string& p : order) {
        struct stat st;
        if (stat(p.c_str(), &st) != 0) {
            want += "Cannot open " + p + ": No such file or directory\n";
        } else if (S_ISDIR(st.st_mode)) {
            want += "Cannot open " + p + ": Is a directory\n";
        } else {
            std::string text = read_text(p);
            for (size_t at = 0; at < text.size();) {
                size_t nl = text.find('\n', at);
                std::string line = text.substr(at, nl - at), folded = line;
                for (char& c : folded)
                    c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
                if (folded.find("widget") != std::string::npos)
                    want += p + ": " + line + "\n";
                at = nl + 1;
            }
        }
    }
    return want;
}

// Three blocks of 14 files each, some missing and one a directory, searched
// in the order 2, 0, 1 (a block list): more candidates than are read ahead,
// and read-ahead that crosses from one block into the next.
struct Mixed {
    TempDir dir;
    Disc disc{dir.path};
    std::vector<std::string> order;
    Mixed() {
        std::vector<std::vector<std::string>> blocks;
        for (int b = 0; b < 3; b++) {
            std::vector<std::pair<std::string, std::string>> files;
            for (int f = 0; f < 14; f++) {
                std::string name = "b" + std::to_string(b) + "/f" + std::to_string(f);
                std::string text = "line " + std::to_string(f) + "\n";
                if (f % 3 != 1)
                    text += "a widget in " + name + "\nno\nWIDGETS too\n";
                files.emplace_back(name, text);
            }
            disc.block(files);
            blocks.emplace_back();
            for (int f = 0; f < 14; f++)
                blocks.back().push_back(disc.paths[static_cast<size_t>(b * 14 + f)]);
        }
        // The search starts with two missing files: the first one's turn
        // can fill the descriptor limit ahead, and the second one's own open
        // then needs a descriptor back.
        for (size_t i : {0u, 5u, 6u, 13u, 14u, 27u, 28u, 29u, 30u, 41u})
            std::remove(disc.paths[i].c_str());
        fs::remove(disc.paths[20]);
        fs::create_directory(disc.paths[20]);
        disc.area_entry("widget", false, indexlib::block_list({2, 0, 1}));
        disc.write();
        for (int b : {2, 0, 1})
            order.insert(order.end(), blocks[static_cast<size_t>(b)].begin(),
                         blocks[static_cast<size_t>(b)].end());
    }
};

TEST(ReadAhead, CannotOpenLinesStandWhereTheyStoodWithoutIt) {
    Mixed m;
    Seen ahead = run_on_terminal(TARVEX_BIN, m.dir.path, "widget");
    Seen plain = run_on_terminal(TARVEX_NO_AHEAD_BIN, m.dir.path, "widget");
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.text, expected(m.order));
    EXPECT_EQ(ahead.status, plain.status);
    EXPECT_EQ(ahead.text, plain.text);
}

// Descriptor limits from none left for a candidate (the index takes
// descriptor 3) to a few files ahead: the search is the same as without
// read-ahead under the same limit, and once one candidate fits, it is the
// whole search.
TEST(ReadAhead, ADescriptorLimitLeavesTheSearchAsItIs) {
    Mixed m;
    std::string whole = expected(m.order);
    for (rlim_t limit : {4, 5, 6, 7, 9, 12, 16, 20}) {
        SCOPED_TRACE("RLIMIT_NOFILE " + std::to_string(limit));
#ifdef TARVEX_EMULATED
        // The emulator opens its own libraries under the limit: with 4 it
        // cannot start at all, so the limit of no candidate is left to the
        // native run.
        if (limit == 4)
            continue;
#endif
        Seen ahead = run_on_terminal(TARVEX_BIN, m.dir.path, "widget", limit);
        Seen plain = run_on_terminal(TARVEX_NO_AHEAD_BIN, m.dir.path, "widget", limit);
        EXPECT_EQ(ahead.status, plain.status);
        EXPECT_EQ(ahead.text, plain.text);
        if (limit == 4) {
            EXPECT_EQ(plain.status, 1);
            EXPECT_NE(plain.text.find("Cannot open " + m.order[1] + ": Too many open files\n"),
                      std::string::npos)
                << plain.text;
        } else {
            EXPECT_EQ(ahead.status, 0);
            EXPECT_EQ(ahead.text, whole);
        }
    }
}

// Takes the regular files among paths out of the page cache; true when none
// of their pages is left there (a file system that keeps files in memory, as
// tmpfs does, cannot let them go).
bool evict(const std::vector<std::string>& paths) {
    bool all_out = true;
    for (const std::string& p : paths) {
        int f = open(p.c_str(), O_RDONLY | O_NONBLOCK);
        struct stat st;
        if (f < 0 || fstat(f, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) {
            if (f >= 0)
                close(f);
            continue;
        }
        fdatasync(f);
        posix_fadvise(f, 0, 0, POSIX_FADV_DONTNEED);
        auto size = static_cast<size_t>(st.st_size);
        void* m = mmap(nullptr, size, PROT_READ, MAP_SHARED, f, 0);
        if (m != MAP_FAILED) {
            long page = sysconf(_SC_PAGESIZE);
            std::vector<unsigned char> in((size + static_cast<size_t>(page) - 1) /
                                          static_cast<size_t>(page));
            if (mincore(m, size, in.data()) != 0)
                all_out = false;
            for (unsigned char c : in)
                all_out = all_out && (c & 1) == 0;
            munmap(m, size);
        } else {
            all_out = false;
        }
        close(f);
    }
    return all_out;
}

// On a cold disc the files opened ahead are advised in bursts: files small
// enough are mapped side by side and advised at once, a larger one, an empty
// one and one that is not a regular file otherwise. With the files out of the
// page cache before every run, the search prints what the search without
// read-ahead prints, also where the descriptor limit leaves no room ahead or
// room for a part of a burst.
TEST(ReadAhead, ACandidateFoundColdIsSearchedAsWithoutReadAhead) {
    TempDir dir;
    Disc disc(dir.path);
    std::string big;
    while (big.size() < 300 * 1024)
        big += "widget in a file larger than a burst maps, line " + std::to_string(big.size()) + "\n";
    std::vector<std::pair<std::string, std::string>> files;
    for (int f = 0; f < 45; f++) {
        std::string name = "cold/f" + std::to_string(f);
        std::string text = f % 4 == 0 ? "nothing here\n" : "a Widget in " + name + "\n";
        if (f == 3)
            text = big;
        if (f == 7)
            text = "";
        files.emplace_back(name, text);
    }
    disc.block(files);
    disc.entry("widget", one_block_entry(probe("widget", 101).r16, 0));
    disc.write();
    std::remove(disc.paths[11].c_str());
    ASSERT_EQ(mkfifo(disc.paths[11].c_str(), 0644), 0);
    std::remove(disc.paths[20].c_str());
    fs::create_directory(disc.paths[20]);
    std::remove(disc.paths[30].c_str());

    for (rlim_t limit : {no_limit, static_cast<rlim_t>(6), static_cast<rlim_t>(12)}) {
        SCOPED_TRACE("RLIMIT_NOFILE " + std::to_string(limit));
        if (!evict(disc.paths))
            GTEST_SKIP() << "the files cannot be taken out of the page cache here";
        Seen ahead = run_on_terminal(TARVEX_BIN, dir.path, "widget", limit);
        evict(disc.paths);
        Seen plain = run_on_terminal(TARVEX_NO_AHEAD_BIN, dir.path, "widget", limit);
        EXPECT_EQ(plain.status, 0);
        EXPECT_NE(plain.text.find(disc.paths[3] + ": widget in a file larger"), std::string::npos);
        EXPECT_NE(plain.text.find("Cannot open " + disc.paths[11] + ": Not a regular file (a FIFO)\n"),
                  std::string::npos)
            << plain.text;
        EXPECT_EQ(ahead.status, plain.status);
        EXPECT_EQ(ahead.text, plain.text);
    }
}

// The descriptors of pid that name one of paths.
std::set<std::string> open_among(pid_t pid, const std::set<std::string>& paths) {
    std::set<std::string> found;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        std::string target = fs::read_symlink(e.path(), ec).string();
        if (!ec && paths.count(target) != 0)
            found.insert(target);
    }
    return found;
}

// The first file prints far more than a pipe, the output buffers and the
// scan's record block hold, so the search stops inside it, on a pipe nobody
// reads, once the next candidates are open ahead. Then they change: one is
// removed, one replaced by another file under its name, one made unreadable,
// one replaced by a directory; one stays. Each is searched, or reported, as
// it is at its turn.
TEST(ReadAhead, ACandidateChangedAfterItWasOpenedAheadIsTakenAsItIsAtItsTurn) {
    TempDir dir;
    Disc disc(dir.path);
    std::string big;
    for (int i = 0; i < 20000; i++)
        big += "widget line " + std::to_string(i) + " of the first file, long enough to fill pipes\n";
    disc.block({{"first", big},
                {"removed", "widget removed\n"},
                {"renamed_over", "widget before the rename\n"},
                {"unreadable", "widget unreadable\n"},
                {"now_a_dir", "widget now a directory\n"},
                {"kept", "widget kept\n"}});
    disc.entry("widget", one_block_entry(probe("widget", 101).r16, 0));
    disc.write();
    // Seen as nobody when root, whom permissions do not stop.
    bool root = geteuid() == 0;
    if (root) {
        for (const auto& e : fs::recursive_directory_iterator(dir.path))
            chmod(e.path().c_str(), e.is_directory() ? 0755 : 0644);
        chmod(dir.path.c_str(), 0755);
    }
    TempDir io;
    std::string err_path = io.path + "/err";
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    pid_t pid = fork();
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out[1], 1) < 0 || dup2(err, 2) < 0)
            _exit(127);
        child_setup(dir.path, no_limit);
        if (root && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(127);
        execl(TARVEX_BIN, TARVEX_BIN, "widget", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::set<std::string> ahead(disc.paths.begin() + 1, disc.paths.end());
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (open_among(pid, ahead) != ahead && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::set<std::string> open_then = open_among(pid, ahead);

    ASSERT_EQ(std::remove(disc.paths[1].c_str()), 0);
    write_text(dir.path + "/other", "widget after the rename\n");
    chmod((dir.path + "/other").c_str(), 0644);
    ASSERT_EQ(rename((dir.path + "/other").c_str(), disc.paths[2].c_str()), 0);
    ASSERT_EQ(chmod(disc.paths[3].c_str(), 0), 0);
    ASSERT_EQ(std::remove(disc.paths[4].c_str()), 0);
    ASSERT_EQ(mkdir(disc.paths[4].c_str(), 0755), 0);

    std::string got;
    char buf[65536];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) != 0;) {
        if (n > 0)
            got.append(buf, static_cast<size_t>(n));
        else if (errno != EINTR)
            break;
    }
    close(out[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    // Only a search that had them open ahead tests anything here.
    EXPECT_EQ(open_then, ahead) << "the next candidates were not open ahead";
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    std::string first_out;
    for (int i = 0; i < 20000; i++)
        first_out += disc.paths[0] + ": widget line " + std::to_string(i) +
                     " of the first file, long enough to fill pipes\n";
    // Compared apart: a diff of two megabyte strings would take the test's time.
    EXPECT_TRUE(got.compare(0, first_out.size(), first_out) == 0);
    EXPECT_EQ(got.size() >= first_out.size() ? got.substr(first_out.size()) : got,
              disc.paths[2] + ": widget after the rename\n" + disc.paths[5] + ": widget kept\n");
    EXPECT_EQ(read_text(err_path), "Cannot open " + disc.paths[1] + ": No such file or directory\n" +
                                       "Cannot open " + disc.paths[3] + ": Permission denied\n" +
                                       "Cannot open " + disc.paths[4] + ": Is a directory\n");
}

}  // namespace
