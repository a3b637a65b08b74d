// Candidates that are not regular files: each is reported at its turn and
// skipped, the files around it are searched, and nothing waits for a writer
// or reads a device for ever. Every run has a time limit, so that a
// regression fails instead of hanging.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support.h"

using namespace testing_support;

namespace {

constexpr unsigned time_limit = 20;

// Turns the file at path into something else.
using Replace = void (*)(const std::string& path);

void into_fifo(const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0644), 0) << strerror(errno); }
void into_dev_zero(const std::string& p) { ASSERT_EQ(symlink("/dev/zero", p.c_str()), 0); }
void into_dev_null(const std::string& p) { ASSERT_EQ(symlink("/dev/null", p.c_str()), 0); }
void into_directory(const std::string& p) { ASSERT_EQ(mkdir(p.c_str(), 0755), 0); }
void into_socket(const std::string& p) {
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    ASSERT_LT(p.size(), sizeof a.sun_path);
    memcpy(a.sun_path, p.c_str(), p.size() + 1);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << strerror(errno);
    close(s);  // the socket file stays
}

struct Kind {
    const char* name;
    Replace replace;
    const char* reason;
};

const Kind kinds[] = {
    {"FIFO without a writer", into_fifo, "Not a regular file (a FIFO)"},
    {"/dev/zero", into_dev_zero, "Not a regular file (a character device)"},
    {"/dev/null", into_dev_null, "Not a regular file (a character device)"},
    {"directory", into_directory, "Is a directory"},
    {"socket", into_socket, "Not a regular file (a socket)"},
};

TEST(NonRegular, ReportedAtItsTurnBetweenTheFilesAroundIt) {
    for (const Kind& k : kinds) {
        SCOPED_TRACE(k.name);
        TempDir dir;
        Disc disc(dir.path);
        // Short names: a socket's path must fit sun_path.
        disc.block({{"a", "widget before\n"}, {"s", "widget\n"}, {"z", "widget after\n"}});
        ASSERT_EQ(std::remove(disc.paths[1].c_str()), 0);
        k.replace(disc.paths[1]);
        disc.entry("widget", one_block_entry(probe("widget", 101).r16, 0));
        disc.write();
        Result r = run_tarvex(dir.path, {"widget"}, time_limit);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, disc.paths[0] + ": widget before\n" + disc.paths[2] + ": widget after\n");
        EXPECT_EQ(r.err, "Cannot open " + disc.paths[1] + ": " + k.reason + "\n");
    }
}

TEST(NonRegular, OnlyNonRegularCandidatesMeanNoMatch) {
    TempDir dir;
    Disc disc(dir.path);
    disc.block({{"f", "widget\n"}, {"z", "widget\n"}, {"d", "widget\n"}});
    for (const std::string& p : disc.paths)
        ASSERT_EQ(std::remove(p.c_str()), 0);
    into_fifo(disc.paths[0]);
    into_dev_zero(disc.paths[1]);
    into_directory(disc.paths[2]);
    disc.entry("widget", one_block_entry(probe("widget", 101).r16, 0));
    disc.write();
    Result r = run_tarvex(dir.path, {"widget"}, time_limit);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "sorry, no match\n");
    EXPECT_EQ(r.err, "Cannot open " + disc.paths[0] + ": Not a regular file (a FIFO)\n" +
                         "Cannot open " + disc.paths[1] + ": Not a regular file (a character device)\n" +
                         "Cannot open " + disc.paths[2] + ": Is a directory\n");
}

// A symbolic link to a regular file is searched as that file.
TEST(NonRegular, LinkToARegularFileIsSearched) {
    TempDir dir;
    Disc disc(dir.path);
    disc.block({{"link", "widget\n"}});
    write_text(dir.path + "/target", "the widget behind the link\n");
    ASSERT_EQ(std::remove(disc.paths[0].c_str()), 0);
    ASSERT_EQ(symlink((dir.path + "/target").c_str(), disc.paths[0].c_str()), 0);
    disc.entry("widget", one_block_entry(probe("widget", 101).r16, 0));
    disc.write();
    Result r = run_tarvex(dir.path, {"widget"}, time_limit);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, disc.paths[0] + ": the widget behind the link\n");
    EXPECT_EQ(r.err, "");
}

}  // namespace
