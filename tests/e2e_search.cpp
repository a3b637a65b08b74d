// Posting expansion, block expansion and path reconstruction, end to end:
// real files at absolute paths, indexes written by the index-writing library.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "indexlib/words.h"
#include "support.h"

namespace {

using namespace testing_support;

// Ten blocks of one file each; the file of block b says "widget b" only when
// b is in with, and "filler b" otherwise.
struct TenBlocks {
    TempDir dir;
    Disc disc{dir.path};
    Probe p = probe("widget", 101);
    explicit TenBlocks(const std::vector<int>& with = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}) {
        for (int b = 0; b < 10; b++) {
            bool has = std::find(with.begin(), with.end(), b) != with.end();
            disc.block({{"disc/f" + std::to_string(b) + ".txt",
                         std::string(has ? "widget " : "filler ") + std::to_string(b) + "\n"}});
        }
    }
    std::string hit(int b) const {
        return disc.paths[static_cast<size_t>(b)] + ": widget " + std::to_string(b) + "\n";
    }
    Result run() {
        disc.write();
        return run_tarvex(dir.path, {"Widget"});
    }
};

TEST(Search, RoadOfOneRequest) {
    TenBlocks t({3, 7});
    t.disc.entry("widget", two_block_entry(t.p.r6, 3, 7));
    Result r = t.run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, t.hit(3) + t.hit(7));
    EXPECT_EQ(r.err, "");
}

TEST(Search, KindOneSearchesItsBlock) {
    TenBlocks t;
    t.disc.entry("widget", one_block_entry(t.p.r16, 4));
    Result r = t.run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, t.hit(4));
}

TEST(Search, KindTwoSearchesBitsElevenToZeroFirst) {
    TenBlocks t;
    t.disc.entry("widget", two_block_entry(t.p.r6, 5, 2));
    Result r = t.run();
    EXPECT_EQ(r.out, t.hit(5) + t.hit(2));
}

TEST(Search, ABlockNamedTwiceIsSearchedTwice) {
    TenBlocks t;
    t.disc.entry("widget", two_block_entry(t.p.r6, 6, 6));
    Result r = t.run();
    EXPECT_EQ(r.out, t.hit(6) + t.hit(6));
    EXPECT_EQ(r.status, 0);
}

TEST(Search, BitmapSearchesSetBlocksAscendingAndIgnoresBitsPastNumBlocks) {
    TenBlocks t;
    // Blocks 1, 8 and 9, plus bits 10 to 15 and a whole byte past the table.
    t.disc.area_entry("widget", true, {0x02, 0xFF, 0xFF});
    Result r = t.run();
    EXPECT_EQ(r.out, t.hit(1) + t.hit(8) + t.hit(9));
}

TEST(Search, BitmapWithNoBitSet) {
    TenBlocks t;
    t.disc.area_entry("widget", true, {0x00, 0xFC});  // only bits 10-15: past the blocks
    Result r = t.run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "sorry, no match\n");
}

TEST(Search, BlockListSearchesInListOrder) {
    TenBlocks t;
    t.disc.area_entry("widget", false, {0x03, 0x10, 0x00, 0x02, 0x30, 0x00});  // 1, 2, 3
    Result r = t.run();
    EXPECT_EQ(r.out, t.hit(1) + t.hit(2) + t.hit(3));

    TenBlocks u;
    u.disc.area_entry("widget", false, indexlib::block_list({9, 0, 9, 4}));
    Result s = u.run();
    EXPECT_EQ(s.out, u.hit(9) + u.hit(0) + u.hit(9) + u.hit(4));
}

TEST(Search, BlockListOfCountZero) {
    TenBlocks t;
    t.disc.area_entry("widget", false, {0x00, 0x00});
    Result r = t.run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "sorry, no match\n");
}

TEST(Search, IndexedBlocksWithoutTheWordPrintNothing) {
    TenBlocks t(std::vector<int>{});
    t.disc.entry("widget", two_block_entry(t.p.r6, 3, 7));
    Result r = t.run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "sorry, no match\n");
}

TEST(Blocks, FilesInFileTableOrderAndLastBlockRunsToNumFiles) {
    TempDir dir;
    Disc disc(dir.path);
    disc.block({{"a/one", "x widget 1\n"}});
    // The last block: its size comes from num_files, not from the four bytes
    // after its block-table entry (here the first file-table entry).
    disc.block({{"z", "widget z\n"}, {"b/two", "widget two\nwidget again\n"}, {"a/three", "no\nWIDGET 3\n"}});
    Probe p = probe("widget", 101);
    disc.entry("widget", two_block_entry(p.r6, 1, 0));
    disc.write();
    Result r = run_tarvex(dir.path, {"widget"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, disc.paths[1] + ": widget z\n" + disc.paths[2] + ": widget two\n" +
                         disc.paths[2] + ": widget again\n" + disc.paths[3] + ": WIDGET 3\n" +
                         disc.paths[0] + ": x widget 1\n");
}

TEST(Blocks, AnEmptyBlockIsAnIntegrityFailure) {
    TempDir dir;
    Disc disc(dir.path);
    disc.block({{"a", "widget\n"}});
    disc.block({{"b", "widget\n"}});
    disc.tree.index.blocks = {0, 0, 1};  // block 0 ends where it starts
    disc.entry("widget", two_block_entry(probe("widget", 101).r6, 1, 0));
    disc.write();
    Result r = run_tarvex(dir.path, {"widget"});
    EXPECT_EQ(r.status, 2);
    // Block 1 (file 0) was searched and printed before block 0 failed.
    EXPECT_EQ(r.out, disc.paths[0] + ": widget\n");
    EXPECT_TRUE(r.err.find(": failed assertion `nfiles > 0'\n") != std::string::npos) << r.err;
    EXPECT_EQ(r.err.rfind("candidates.cpp:", 0), 0u) << r.err;
}

TEST(Blocks, UnopenableCandidateIsReportedAndSkipped) {
    TempDir dir;
    Disc disc(dir.path);
    disc.block({{"gone", "widget\n"}, {"kept", "widget kept\n"}});
    std::remove(disc.paths[0].c_str());
    disc.entry("widget", one_block_entry(probe("widget", 101).r16, 0));
    disc.write();
    Result r = run_tarvex(dir.path, {"widget"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Cannot open " + disc.paths[0] + ": No such file or directory\n");
    EXPECT_EQ(r.out, disc.paths[1] + ": widget kept\n");
}

TEST(Blocks, OnlyUnopenableCandidatesMeanNoMatch) {
    TempDir dir;
    Disc disc(dir.path);
    disc.block({{"gone", "widget\n"}});
    std::remove(disc.paths[0].c_str());
    disc.entry("widget", one_block_entry(probe("widget", 101).r16, 0));
    disc.write();
    Result r = run_tarvex(dir.path, {"widget"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "sorry, no match\n");
}

TEST(Paths, FileInTheRootIsSlashAndItsName) {
    TempDir dir;
    Disc disc(dir.path);
    disc.block({{"readme", "widget\n"}});
    // Parent 0 and a name holding the rest of the path: "/" + name.
    disc.tree.index.files[0] = {0, disc.paths[0].substr(1)};
    disc.tree.index.dirs.clear();
    disc.entry("widget", one_block_entry(probe("widget", 101).r16, 0));
    disc.write();
    Result r = run_tarvex(dir.path, {"widget"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, disc.paths[0] + ": widget\n");
}

TEST(Paths, DeepFilesAndSuccessiveWalks) {
    TempDir dir;
    Disc disc(dir.path);
    disc.block({{"a/b/c/deep.txt", "widget deep\n"}, {"short.txt", "widget short\n"},
                {"a/b/c/deep2.txt", "widget deep2\n"}});
    disc.entry("widget", one_block_entry(probe("widget", 101).r16, 0));
    disc.write();
    Result r = run_tarvex(dir.path, {"widget"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, dir.path + "/a/b/c/deep.txt: widget deep\n" + dir.path +
                         "/short.txt: widget short\n" + dir.path + "/a/b/c/deep2.txt: widget deep2\n");
}

TEST(Paths, TheCurrentDirectoryDoesNotMatter) {
    // The index is looked up from the current directory, the candidates from
    // the root: a disc whose index lives elsewhere still finds its files.
    TempDir files, elsewhere;
    Disc disc(files.path);
    disc.block({{"f.txt", "widget\n"}});
    disc.entry("widget", one_block_entry(probe("widget", 101).r16, 0));
    write_index(elsewhere.path, disc.image().bytes);
    Result r = run_tarvex(elsewhere.path, {"widget"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, disc.paths[0] + ": widget\n");
}

TEST(Search, EveryWordOfAPlacedDiscIsFound) {
    // Words placed by the probe rule into a crowded table: every lookup ends on
    // an entry naming the word's blocks, whatever entries it shares.
    TempDir dir;
    Disc disc(dir.path);
    const char* texts[] = {"alpha beta\n", "gamma delta alpha\n", "epsilon\nzeta eta\n",
                           "theta iota kappa\n", "lambda mu nu xi\n", "omicron pi rho\n"};
    for (int b = 0; b < 6; b++)
        disc.block({{"t" + std::to_string(b), texts[b]}});
    disc.place(37);
    disc.write();
    for (int b = 0; b < 6; b++) {
        for (const std::string& w : indexlib::words_of(texts[b])) {
            Result r = run_tarvex(dir.path, {w});
            EXPECT_EQ(r.status, 0) << w;
            EXPECT_NE(r.out.find(disc.paths[static_cast<size_t>(b)] + ": "), std::string::npos) << w;
        }
    }
}

}  // namespace
