// tarvex-index --exclude and --exclude-from through the real binaries: which
// files a search can still reach, what the summary counts, and what --check
// says when its options differ from the build's.
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"

namespace {

using namespace testing_support;

constexpr unsigned time_limit = 60;

Result run_index(const std::string& dir, std::vector<std::string> args) {
    args.insert(args.begin(), "-q");
    return run_binary(TARVEX_INDEX_BIN, dir, args, time_limit);
}

// Each file holds one word of its own, so that a search tells whether the
// index reaches it.
const std::map<std::string, std::string> tree_files = {
    {"a.txt", "wa"},          {"b.o", "wbo"},           {".git/config", "wgitconfig"},
    {".git/objects/x", "wx"}, {"build/gen/g.txt", "wg"}, {"build/keep.txt", "wkeep"},
    {"src/m.c", "wmc"},       {"src/m.o", "wmo"},        {"src/build/z.txt", "wz"},
};

void make_tree(const std::string& root, const std::set<std::string>& leave_out = {}) {
    for (const auto& [rel, word] : tree_files)
        if (!leave_out.count(rel))
            write_text(root + "/" + rel, word + " here\n");
}

// The files of the tree whose words the index at dir finds.
std::set<std::string> reached(const std::string& dir) {
    std::set<std::string> out;
    for (const auto& [rel, word] : tree_files) {
        Result r = run_tarvex(dir, {word}, time_limit);
        if (r.status == 0)
            out.insert(rel);
    }
    return out;
}

std::set<std::string> all_but(const std::set<std::string>& left_out) {
    std::set<std::string> out;
    for (const auto& [rel, word] : tree_files)
        if (!left_out.count(rel))
            out.insert(rel);
    return out;
}

std::string excluded_in(const std::string& summary) {
    const size_t end = summary.find(" excluded");
    if (end == std::string::npos)
        return "none";
    const size_t start = summary.rfind(", ", end);
    return summary.substr(start + 2, end - start - 2);
}

TEST(BuilderExclude, PatternsLeaveOutWhatTheyMatchAndTheSummaryCountsIt) {
    struct Case {
        std::vector<std::string> args;
        std::set<std::string> left_out;
        const char* excluded;   // as the summary counts it
    };
    const Case cases[] = {
        {{"--exclude", ".git"}, {".git/config", ".git/objects/x"}, "1"},
        {{"--exclude", "*.o"}, {"b.o", "src/m.o"}, "2"},
        {{"--exclude", "build/gen"}, {"build/gen/g.txt"}, "1"},
        {{"--exclude", "build"}, {"build/gen/g.txt", "build/keep.txt", "src/build/z.txt"}, "2"},
        {{"--exclude", "build/"}, {"build/gen/g.txt", "build/keep.txt", "src/build/z.txt"}, "2"},
        {{"--exclude", "/build"}, {"build/gen/g.txt", "build/keep.txt"}, "1"},
        {{"--exclude", "./build"}, {"build/gen/g.txt", "build/keep.txt"}, "1"},
        {{"--exclude", "src/*"}, {"src/m.c", "src/m.o", "src/build/z.txt"}, "3"},
        {{"--exclude", "?.txt"}, {"a.txt", "build/gen/g.txt", "src/build/z.txt"}, "3"},
        {{"--exclude", "M.C"}, {}, "0"},
        {{"--exclude", "nothing"}, {}, "0"},
        {{"--exclude", ".git", "--exclude", "*.o"}, {".git/config", ".git/objects/x", "b.o", "src/m.o"}, "3"},
        {{}, {}, "none"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "no pattern" : c.args.back());
        TempDir dir;
        make_tree(dir.path);
        std::vector<std::string> args = c.args;
        args.push_back(".");
        Result r = run_index(dir.path, args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(excluded_in(r.out), c.excluded) << r.out;
        EXPECT_EQ(reached(dir.path), all_but(c.left_out));
    }
}

TEST(BuilderExclude, APatternMatchingTheTreeItselfStillWalksIt) {
    TempDir parent;
    const std::string dir = parent.path + "/tree";
    make_tree(dir);
    for (const char* pattern : {"tree", "*"}) {
        SCOPED_TRACE(pattern);
        Result r = run_index(dir, {"--exclude", pattern, "-o", parent.path + "/x.dat", "."});
        if (std::string(pattern) == "tree") {
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(excluded_in(r.out), "0");
        } else {
            // Everything below it is left out: nothing to index.
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, "tarvex-index: " + dir + "/: no file to index\n");
        }
    }
}

TEST(BuilderExclude, ExcludedFilesCountNowhereInTheIndex) {
    // The index of a tree with files excluded is the index of the same tree
    // without them: they take no part in cutting the tree into blocks.
    TempDir with, without, out;
    make_tree(with.path);
    make_tree(without.path, {".git/config", ".git/objects/x", "b.o", "src/m.o"});
    ASSERT_EQ(run_index(with.path, {"--exclude", ".git", "--exclude", "*.o", "--blocks", "3", "-o",
                                    out.path + "/with.dat", "."})
                  .status,
              0);
    ASSERT_EQ(run_index(without.path, {"--mount", with.path, "--blocks", "3", "-o", out.path + "/without.dat", "."})
                  .status,
              0);
    EXPECT_EQ(read_text(out.path + "/with.dat"), read_text(out.path + "/without.dat"));
}

TEST(BuilderExclude, PatternsFromAFileSkipBlankLinesAndComments) {
    TempDir dir, lists;
    make_tree(dir.path);
    write_text(lists.path + "/patterns", "# what a working tree leaves out\n.git\n\n*.o\n#build\n");
    Result r = run_index(dir.path, {"--exclude-from", lists.path + "/patterns", "."});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(excluded_in(r.out), "3");
    EXPECT_EQ(reached(dir.path), all_but({".git/config", ".git/objects/x", "b.o", "src/m.o"}));
}

TEST(BuilderExclude, TheCheckComparesWithTheOptionsItIsGiven) {
    TempDir dir;
    make_tree(dir.path);
    const std::string target = dir.path + "/utils/tarvex.dat";
    ASSERT_EQ(run_index(dir.path, {"--exclude", ".git", "."}).status, 0);
    Result same = run_index(dir.path, {"--check", "--exclude", ".git", "."});
    EXPECT_EQ(same.status, 0) << same.out;
    Result fewer = run_index(dir.path, {"--check", "."});
    EXPECT_EQ(fewer.status, 1);
    EXPECT_EQ(fewer.out, "tarvex-index: " + target + ": NOT SOUND: " + dir.path + "/.git/config is not in the index\n");

    ASSERT_EQ(run_index(dir.path, {"."}).status, 0);
    Result more = run_index(dir.path, {"--check", "--exclude", "*.o", "."});
    EXPECT_EQ(more.status, 1);
    EXPECT_EQ(more.out, "tarvex-index: " + target + ": NOT SOUND: " + dir.path + "/b.o is in the index but not in the tree\n");
}

TEST(BuilderExclude, AnEmptyPatternOrAnUnreadableListIsAUsageError) {
    TempDir dir, lists;
    make_tree(dir.path);
    write_text(lists.path + "/bad", ".git\n./\n");
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {{"--exclude", "", "."}, "--exclude wants a pattern, not ''"},
        {{"--exclude", "./", "."}, "--exclude wants a pattern, not './'"},
        {{"--exclude-from", lists.path + "/none", "."},
         "cannot read --exclude-from " + lists.path + "/none: No such file or directory"},
        {{"--exclude-from", lists.path, "."}, "cannot read --exclude-from " + lists.path + ": Is a directory"},
        {{"--exclude-from", lists.path + "/bad", "."}, "--exclude-from " + lists.path + "/bad: './' is not a pattern"},
        {{"--exclude"}, "--exclude needs a value"},
    };
    for (const Case& c : cases) {
        Result r = run_index(dir.path, c.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, "tarvex-index: " + c.err + " (try --help)\n");
        EXPECT_EQ(r.out, "");
    }
}

}  // namespace
