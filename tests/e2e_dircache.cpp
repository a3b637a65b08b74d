// Paths of files that share a directory, within a block and across blocks,
// through the real binary: the kept directory path must never leak into a
// file of another directory, and the path bound holds either way.
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"

namespace {

using namespace testing_support;

std::string masked(const std::string& err) {
    return std::regex_replace(err, std::regex(":[0-9]+: failed assertion"), ":#: failed assertion");
}

TEST(DirPaths, FilesOfManyDirectoriesInAnyOrder) {
    TempDir dir;
    Disc disc(dir.path);
    std::vector<std::string> names = {"d1/a", "d1/b", "d2/c", "d1/e", "d1/sub/f", "g",
                                      "d1/h", "d2/d1/i", "d1/sub/j"};
    std::vector<std::pair<std::string, std::string>> first, second;
    for (size_t i = 0; i < names.size(); i++)
        first.push_back({names[i], "widget " + std::to_string(i) + "\n"});
    // The second block starts in the directory the first one ended in.
    second.push_back({"d1/sub/k", "widget k\n"});
    second.push_back({"d1/l", "widget l\n"});
    disc.block(first);
    disc.block(second);
    disc.place(101);
    disc.write();

    Result r = run_tarvex(dir.path, {"widget"});
    std::string want;
    for (size_t i = 0; i < names.size(); i++)
        want += dir.path + "/" + names[i] + ": widget " + std::to_string(i) + "\n";
    want += dir.path + "/d1/sub/k: widget k\n" + dir.path + "/d1/l: widget l\n";
    EXPECT_EQ(r.out, want);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

// A directory path of about 830 bytes: a short file name fits beside it, a
// 250-byte one does not, whether the directory's path is built for that file
// or kept from the file before it.
TEST(DirPaths, PathBoundHoldsForAKeptDirectory) {
    struct Row {
        const char* name;
        bool long_name_first;
    };
    for (Row row : {Row{"kept directory", false}, Row{"directory built", true}}) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        Disc disc(dir.path);
        std::string deep;
        for (int i = 0; i < 4; i++)
            deep += std::string(200, static_cast<char>('a' + i)) + "/";
        std::string long_name = std::string(250, 'z');
        std::string short_file = dir.path + "/" + deep + "short";
        write_text(short_file, "widget\n");
        disc.block({});
        // The long-named file is never opened: its record alone is written.
        if (row.long_name_first)
            disc.tree.file(dir.path + "/" + deep + long_name);
        disc.tree.file(short_file);
        if (!row.long_name_first)
            disc.tree.file(dir.path + "/" + deep + long_name);
        disc.entry("widget", one_block_entry(probe("widget", 101).r16, 0));
        disc.write();
        ASSERT_LT(dir.path.size() + 1 + deep.size() + 5, 1024u);
        ASSERT_GT(dir.path.size() + 1 + deep.size() + long_name.size(), 1023u);

        Result r = run_tarvex(dir.path, {"widget"});
        EXPECT_EQ(masked(r.err), "path.cpp:#: failed assertion `path of at most 1023 bytes'\n");
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, row.long_name_first ? "" : dir.path + "/" + deep + "short: widget\n");
    }
}

// Name records and directory records spread over many kilobytes of the index,
// in names of every length, read forwards, backwards and across the edges of
// what the reader keeps: every file keeps its own path.
TEST(DirPaths, ManyLongNamesAcrossTheIndex) {
    TempDir dir;
    Disc disc(dir.path);
    std::vector<std::string> dirs = {"", std::string(180, 'd') + "/",
                                     std::string(180, 'd') + "/" + std::string(90, 'e') + "/",
                                     std::string(120, 'f') + "/"};
    std::string want;
    for (int b = 0; b < 3; b++) {
        std::vector<std::pair<std::string, std::string>> files;
        for (int i = 0; i < 60; i++) {
            // Directories alternate so that walks go up and back down.
            const std::string& d = dirs[static_cast<size_t>(i * 7 + b) % dirs.size()];
            std::string name = d + std::to_string(b) + "_" + std::to_string(i) + "_" +
                               std::string(static_cast<size_t>((i * 37 + b * 11) % 200), 'n');
            std::string text = "widget\n";
            files.push_back({name, text});
            want += dir.path + "/" + name + ": " + text;
        }
        disc.block(files);
    }
    disc.place(101);
    disc.write();
    ASSERT_GT(disc.image().bytes.size(), 3u * 4096u);

    Result r = run_tarvex(dir.path, {"widget"});
    EXPECT_EQ(r.out, want);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

}  // namespace
