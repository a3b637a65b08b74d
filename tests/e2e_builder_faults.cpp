// The index builder under faults, through its real binary: signals inside
// the write, a file-size limit, targets that are not regular files, files
// swapped while the build runs, trees deeper than a path can name, other
// file systems, and a standard output that cannot be written. Every run has
// a time limit, so that a builder that waits for ever fails its test.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

constexpr unsigned time_limit = 60;

struct BuilderRun {
    Result result;
    int pauses = 0;   // times the builder stopped itself at its --pause-at point
};

// Runs tarvex-index in dir. in_child runs in the child before the exec (to
// set a limit or a signal's disposition); each time the builder stops
// itself (--pause-at), at_pause runs with its pid and the builder goes on.
BuilderRun run_builder(const std::string& dir, const std::vector<std::string>& args,
                       const std::function<void()>& in_child = {}, const std::function<void(pid_t)>& at_pause = {},
                       const std::string& out_file = "") {
    RunOptions options;
    options.time_limit = time_limit;
    options.out_file = out_file;
    options.in_child = [&] {
        // A signal that dumps core must not leave a core file in the tree.
        struct rlimit none {0, 0};
        setrlimit(RLIMIT_CORE, &none);
        if (in_child)
            in_child();
    };
    options.at_stop = [&](pid_t pid) {
        if (at_pause)
            at_pause(pid);
    };
    BuilderRun run;
    run.result = run_binary(TARVEX_INDEX_BIN, dir, args, options);
    run.pauses = run.result.stops;
    return run;
}

Result search(const std::string& dir, const std::string& word) { return run_tarvex(dir, {word}, time_limit); }

std::set<std::string> names_in(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.insert(e.path().filename().string());
    return names;
}

// A small tree with an index already built in it.
struct Built {
    TempDir dir;
    std::string index;   // its bytes
    explicit Built(int files = 3) {
        for (int i = 0; i < files; i++)
            write_text(dir.path + "/f" + std::to_string(i) + ".txt",
                       "alpha line " + std::to_string(i) + "\nword" + std::to_string(i) + " beta\n");
        Result r = run_binary(TARVEX_INDEX_BIN, dir.path, {"-q", "."}, time_limit);
        EXPECT_EQ(r.status, 0) << r.err;
        index = read_text(target());
    }
    std::string target() const { return dir.path + "/utils/tarvex.dat"; }
};

// After a build that failed: the old index as it was, nothing new beside it.
void expect_untouched(const Built& b, const std::set<std::string>& before) {
    EXPECT_EQ(read_text(b.target()), b.index);
    EXPECT_EQ(names_in(b.dir.path + "/utils"), before);
}

const std::vector<std::vector<std::string>> temp_kinds = {{}, {"--named-temp"}};

TEST(BuilderFaults, AnIgnoredHangupStaysIgnoredThroughTheWrite) {
    for (const auto& kind : temp_kinds) {
        Built b;
        write_text(b.dir.path + "/new.txt", "gamma\n");
        std::vector<std::string> args = kind;
        for (const char* a : {"-q", "-j1", "--pause-at", "write", "."})
            args.push_back(a);
        BuilderRun run = run_builder(b.dir.path, args, [] { signal(SIGHUP, SIG_IGN); },
                              [](pid_t pid) { kill(pid, SIGHUP); });
        EXPECT_EQ(run.pauses, 1);
        EXPECT_EQ(run.result.status, 0) << run.result.err;
        EXPECT_EQ(names_in(b.dir.path + "/utils"), std::set<std::string>{"tarvex.dat"});
        EXPECT_EQ(search(b.dir.path, "gamma").out, b.dir.path + "/new.txt: gamma\n");
    }
}

TEST(BuilderFaults, ASignalInsideTheWriteLeavesTheOldIndexAndNoFile) {
    struct Case {
        int sig;
        bool named;
    };
    // SIGKILL cannot be handled: only the unnamed file leaves nothing then.
    const Case cases[] = {{SIGTERM, false}, {SIGINT, false}, {SIGHUP, false}, {SIGQUIT, false}, {SIGKILL, false},
                          {SIGTERM, true},  {SIGINT, true},  {SIGHUP, true},  {SIGQUIT, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(strsignal(c.sig)) + (c.named ? ", named" : ", unnamed"));
        Built b;
        write_text(b.dir.path + "/new.txt", "gamma\n");
        const std::set<std::string> before = names_in(b.dir.path + "/utils");
        std::vector<std::string> args{"-q", "-j1", "--pause-at", "write", "."};
        if (c.named)
            args.insert(args.begin(), "--named-temp");
        BuilderRun run = run_builder(b.dir.path, args, {}, [&](pid_t pid) { kill(pid, c.sig); });
        EXPECT_EQ(run.pauses, 1);
        EXPECT_EQ(run.result.status, 128 + c.sig);
        expect_untouched(b, before);
    }
}

TEST(BuilderFaults, AFileSizeLimitEndsLikeAFullDisc) {
    for (const auto& kind : temp_kinds) {
        Built b;
        // Enough distinct words for an index well past the limit.
        std::string text;
        for (int i = 0; i < 4000; i++)
            text += "w" + std::to_string(i * 7919) + "x\n";
        write_text(b.dir.path + "/many.txt", text);
        const std::set<std::string> before = names_in(b.dir.path + "/utils");
        std::vector<std::string> args = kind;
        args.insert(args.end(), {"-q", "."});
        BuilderRun run = run_builder(b.dir.path, args, [] {
            struct rlimit small {16384, 16384};
            setrlimit(RLIMIT_FSIZE, &small);
        });
        EXPECT_EQ(run.result.status, 1);
        EXPECT_EQ(run.result.err, "tarvex-index: cannot write " + b.target() + ": File too large\n");
        EXPECT_EQ(run.result.out, "");
        expect_untouched(b, before);
    }
}

// Makes a node of the given kind at path; false where this process may not.
bool make_node(const std::string& kind, const std::string& path) {
    if (kind == "FIFO")
        return mkfifo(path.c_str(), 0644) == 0;
    if (kind == "character device")
        return mknod(path.c_str(), S_IFCHR | 0644, makedev(1, 3)) == 0;
    if (kind == "directory")
        return mkdir(path.c_str(), 0755) == 0;
    if (kind == "socket") {
        int s = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (s < 0 || path.size() >= sizeof addr.sun_path)
            return false;
        strcpy(addr.sun_path, path.c_str());
        bool ok = bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        close(s);
        return ok;
    }
    return false;
}

TEST(BuilderFaults, ATargetThatIsNotARegularFileIsRefusedBeforeTheTreeIsRead) {
    struct Case {
        const char* kind;
        const char* why;
    };
    const Case cases[] = {{"FIFO", "Not a regular file (a FIFO)"},
                          {"character device", "Not a regular file (a character device)"},
                          {"socket", "Not a regular file (a socket)"},
                          {"directory", "Is a directory"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        TempDir dir, away;
        write_text(dir.path + "/a.txt", "alpha\n");
        const std::string node = away.path + "/node";
        if (!make_node(c.kind, node)) {
            ADD_FAILURE() << "cannot make a " << c.kind << ": " << strerror(errno);
            continue;
        }
        struct stat was;
        ASSERT_EQ(lstat(node.c_str(), &was), 0);
        for (bool check : {false, true}) {
            std::vector<std::string> args{"-q", "--pause-at", "read", "-o", node, "."};
            if (check)
                args.insert(args.begin(), "--check");
            BuilderRun run = run_builder(dir.path, args);
            EXPECT_EQ(run.pauses, 0) << "the tree was walked";
            EXPECT_EQ(run.result.status, 1);
            EXPECT_EQ(run.result.err, std::string("tarvex-index: cannot ") + (check ? "read " : "write ") + node +
                                          ": " + c.why + "\n");
            struct stat now;
            ASSERT_EQ(lstat(node.c_str(), &now), 0);
            EXPECT_EQ(now.st_mode, was.st_mode);
            EXPECT_EQ(now.st_ino, was.st_ino);
            EXPECT_EQ(now.st_rdev, was.st_rdev);
        }
    }
}

TEST(BuilderFaults, ATargetWhoseDirectoryCannotTakeItIsRefusedBeforeTheTreeIsRead) {
    TempDir dir;
    write_text(dir.path + "/a.txt", "alpha\n");
    write_text(dir.path + "/utils", "a file where the index's directory goes\n");
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {{"."}, "cannot write the index in " + dir.path + "/utils: Not a directory"},
        {{"-o", "utils/sub/x.dat", "."}, "cannot create directory " + dir.path + "/utils/sub: Not a directory"},
        {{"-o", "none/sub/x.dat", "."}, "cannot create directory " + dir.path + "/none/sub: No such file or directory"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"-q", "--pause-at", "read"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        BuilderRun run = run_builder(dir.path, args);
        EXPECT_EQ(run.pauses, 0) << "the tree was walked";
        EXPECT_EQ(run.result.status, 1);
        EXPECT_EQ(run.result.err, "tarvex-index: " + c.err + "\n");
    }
    EXPECT_EQ(names_in(dir.path), (std::set<std::string>{"a.txt", "utils"}));
}

TEST(BuilderFaults, ATargetThatIsASymbolicLinkIsReplacedNotFollowed) {
    TempDir dir, away;
    write_text(dir.path + "/a.txt", "alpha\n");
    write_text(away.path + "/elsewhere", "not an index\n");
    ASSERT_EQ(symlink((away.path + "/elsewhere").c_str(), (dir.path + "/link").c_str()), 0);
    BuilderRun run = run_builder(dir.path, {"-q", "-o", "link", "."});
    EXPECT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_EQ(read_text(away.path + "/elsewhere"), "not an index\n");
    struct stat st;
    ASSERT_EQ(lstat((dir.path + "/link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST(BuilderFaults, AFileSwappedForAFifoOrADirectoryIsSkippedNotWaitedOn) {
    struct Case {
        const char* kind;
        const char* why;
    };
    const Case cases[] = {{"FIFO", "Not a regular file (a FIFO)"}, {"directory", "Is a directory"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        TempDir dir;
        write_text(dir.path + "/a.txt", "alpha\n");
        write_text(dir.path + "/b.txt", "beta\n");
        write_text(dir.path + "/c.txt", "gamma\n");
        const std::string swapped = dir.path + "/b.txt";
        BuilderRun run = run_builder(dir.path, {"-q", "--pause-at", "read", "."}, {}, [&](pid_t) {
            ASSERT_EQ(unlink(swapped.c_str()), 0);
            ASSERT_TRUE(make_node(c.kind, swapped));
        });
        EXPECT_EQ(run.pauses, 1);
        EXPECT_EQ(run.result.status, 0);
        EXPECT_EQ(run.result.err, "tarvex-index: cannot read " + swapped + ": " + c.why + " (skipped)\n");
        EXPECT_NE(run.result.out.find("2 files indexed, 1 skipped (0 binary, 1 unreadable)"), std::string::npos)
            << run.result.out;
        EXPECT_EQ(search(dir.path, "gamma").out, dir.path + "/c.txt: gamma\n");

        // The check meets the same swap after a sound build: not sound, no wait.
        fs::remove(swapped);
        write_text(swapped, "beta\n");
        ASSERT_EQ(run_builder(dir.path, {"-q", "."}).result.status, 0);
        BuilderRun check = run_builder(dir.path, {"-q", "--check", "--pause-at", "read", "."}, {}, [&](pid_t) {
            ASSERT_EQ(unlink(swapped.c_str()), 0);
            ASSERT_TRUE(make_node(c.kind, swapped));
        });
        EXPECT_EQ(check.pauses, 1);
        EXPECT_EQ(check.result.status, 1);
        EXPECT_EQ(check.result.out,
                  "tarvex-index: " + dir.path + "/utils/tarvex.dat: NOT SOUND: " + swapped + " cannot be read\n");
    }
}

// Makes depth nested directories "d" under dir, through descriptors (their
// path is longer than the system takes), with a file at the bottom if text
// is given.
void make_deep(const std::string& dir, int depth, const std::string& text) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < depth; i++) {
        ASSERT_EQ(mkdirat(fd, "d", 0755), 0);
        int next = openat(fd, "d", O_RDONLY | O_DIRECTORY);
        close(fd);
        ASSERT_GE(next, 0);
        fd = next;
    }
    if (!text.empty()) {
        int f = openat(fd, "deep.txt", O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(f, 0);
        ASSERT_EQ(write(f, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(f);
    }
    close(fd);
}

TEST(BuilderFaults, ADeepTreeIsWalkedWholeAndAPathPastTheLimitIsRefused) {
    for (int depth : {1000, 3000}) {
        SCOPED_TRACE(depth);
        TempDir dir;
        write_text(dir.path + "/top.txt", "topword\n");
        make_deep(dir.path, depth, "deepword\n");
        const size_t stored = dir.path.size() + 1 + 2 * static_cast<size_t>(depth) + std::string("deep.txt").size();
        std::string shown = dir.path;
        for (int i = 0; i < depth; i++)
            shown += "/d";
        shown += "/deep.txt";
        BuilderRun run = run_builder(dir.path, {"-q", "."});
        EXPECT_EQ(run.result.status, 1);
        EXPECT_EQ(run.result.err,
                  "tarvex-index: " + shown + ": path of " + std::to_string(stored) + " bytes as stored, at most 1023\n");
        EXPECT_FALSE(fs::exists(dir.path + "/utils"));
    }
    // Directories past the limit that hold no file cost nothing.
    TempDir dir;
    write_text(dir.path + "/top.txt", "topword\n");
    make_deep(dir.path, 3000, "");
    BuilderRun run = run_builder(dir.path, {"-q", "."});
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(run.result.err, "");
    EXPECT_NE(run.result.out.find("1 files indexed, 0 skipped (0 binary, 0 unreadable)"), std::string::npos)
        << run.result.out;
    EXPECT_EQ(search(dir.path, "topword").out, dir.path + "/top.txt: topword\n");
    BuilderRun check = run_builder(dir.path, {"-q", "--check", "."});
    EXPECT_EQ(check.result.status, 0) << check.result.out;
    EXPECT_EQ(check.result.err, "");
}

TEST(BuilderFaults, TheIndexAndStaleTemporaryFilesOfItsPatternAreNeverIndexed) {
    Built b;
    const std::string fresh = b.index;
    // What a build killed on a file system without unnamed files leaves: large
    // text, which would count in block planning and add its words.
    std::string text;
    for (int i = 0; i < 2000; i++)
        text += "staleword" + std::to_string(i) + " filler filler filler\n";
    write_text(b.dir.path + "/utils/tarvex.dat.tmp-AbC123", text);
    // Not of the pattern: indexed like any file.
    write_text(b.dir.path + "/utils/tarvex.dat.tmp-AbC1234", "longerword\n");
    BuilderRun run = run_builder(b.dir.path, {"-q", "."});
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_EQ(search(b.dir.path, "staleword7").out, "sorry, no match\n");
    EXPECT_EQ(search(b.dir.path, "longerword").out, b.dir.path + "/utils/tarvex.dat.tmp-AbC1234: longerword\n");
    fs::remove(b.dir.path + "/utils/tarvex.dat.tmp-AbC1234");
    ASSERT_EQ(run_builder(b.dir.path, {"-q", "."}).result.status, 0);
    EXPECT_EQ(read_text(b.target()), fresh);
}

TEST(BuilderFaults, OneFileSystemStaysOnTheTreesOwn) {
    TempDir dir;
    write_text(dir.path + "/a.txt", "alpha\n");
    const std::string mnt = dir.path + "/mnt";
    make_dirs(mnt);
    if (mount("tarvex-test", mnt.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << strerror(errno);
    write_text(mnt + "/b.txt", "beta\n");
    write_text(dir.path + "/z/c.txt", "gamma\n");
    for (const char* x : {"-x", "--one-file-system"}) {
        BuilderRun run = run_builder(dir.path, {"-q", x, "."});
        EXPECT_EQ(run.result.status, 0) << run.result.err;
        EXPECT_NE(run.result.out.find("2 files indexed"), std::string::npos) << run.result.out;
        EXPECT_EQ(search(dir.path, "beta").out, "sorry, no match\n");
        EXPECT_EQ(search(dir.path, "gamma").out, dir.path + "/z/c.txt: gamma\n");
        EXPECT_EQ(run_builder(dir.path, {"-q", "--check", x, "."}).result.status, 0);
    }
    BuilderRun run = run_builder(dir.path, {"-q", "."});
    EXPECT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_EQ(search(dir.path, "beta").out, mnt + "/b.txt: beta\n");
    umount(mnt.c_str());
}

TEST(BuilderFaults, AStandardOutputThatCannotBeWrittenIsAFailure) {
    for (const char* what : {"--help", "--version"}) {
        TempDir dir;
        BuilderRun run = run_builder(dir.path, {what}, {}, {}, "/dev/full");
        EXPECT_EQ(run.result.status, 1) << what;
        EXPECT_EQ(run.result.err, "tarvex-index: write failed: No space left on device\n") << what;
    }
    // The summary is lost, the index is in place all the same.
    TempDir dir;
    write_text(dir.path + "/a.txt", "alpha\n");
    BuilderRun run = run_builder(dir.path, {"-q", "."}, {}, {}, "/dev/full");
    EXPECT_EQ(run.result.status, 1);
    EXPECT_EQ(run.result.err, "tarvex-index: write failed: No space left on device\n");
    EXPECT_EQ(search(dir.path, "alpha").out, dir.path + "/a.txt: alpha\n");
}

}  // namespace
