// The index builder through its real binary: trees of real files indexed by
// tarvex-index and searched by tarvex.
#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "indexlib/lookup.h"
#include "indexlib/words.h"
#include "support.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

Result run_index(const std::string& dir, const std::vector<std::string>& args) {
    return run_binary(TARVEX_INDEX_BIN, dir, args);
}

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// What the search prints for word over these files, found by reading them:
// each line is taken in pieces of at most 255 bytes (a newline ends a piece),
// a piece that holds the word, ASCII case ignored, is printed once after its
// path and ": ", and every printed piece ends with one newline.
std::string direct_scan(const std::vector<std::string>& paths, const std::string& word) {
    std::string out, w = lower(word);
    for (const std::string& path : paths) {
        std::string text = read_text(path);
        for (size_t at = 0; at < text.size();) {
            size_t nl = text.find('\n', at);
            size_t end = std::min(nl == std::string::npos ? text.size() : nl + 1, at + 255);
            std::string piece = text.substr(at, end - at);
            at = end;
            if (lower(piece).find(w) == std::string::npos)
                continue;
            out += path + ": " + piece;
            if (piece.back() != '\n')
                out += "\n";
        }
    }
    return out;
}

file_header header(const std::vector<uint8_t>& bytes) { return decode_header(bytes.data()); }

// Entries of each kind in an index's hash table.
std::vector<int> kinds_of(const std::vector<uint8_t>& bytes) {
    std::vector<int> kinds(4);
    const file_header h = header(bytes);
    const auto prime = static_cast<uint32_t>(h.hash_prime), at = static_cast<uint32_t>(h.hash_table_offset);
    for (uint32_t k = 0; k < prime; k++) {
        uint32_t x = indexlib::get32(bytes, at + 4 * size_t{k});
        if (x != 0)
            kinds[x >> 30]++;
    }
    return kinds;
}

std::vector<uint8_t> read_bytes(const std::string& path) {
    std::string s = read_text(path);
    return {s.begin(), s.end()};
}

// A generated tree: words of equal length (so that no word is part of
// another, and a line holds a word exactly where the word was written),
// drawn with a skewed frequency so that some occur in one or two blocks, some
// in a few, some almost everywhere. Files are listed in the builder's order:
// a directory's files by name, then its subdirectories.
struct GeneratedTree {
    TempDir dir;
    std::vector<std::string> vocabulary;
    std::vector<std::string> paths;

    explicit GeneratedTree(unsigned seed, int files = 320) {
        std::mt19937 rng(seed);
        const std::string letters = "abcdefghijklmnopqrstuvwxy0123456789_";
        std::set<std::string> seen;
        // 420 words of skewed frequency, then 300 rare ones: one in each file.
        while (vocabulary.size() < 720) {
            std::string w;
            bool utf8 = vocabulary.size() % 20 == 19;
            if (utf8)
                w = "\xc3\xa9";  // two bytes of one letter
            while (w.size() < 6)
                w.push_back(letters[rng() % (utf8 ? 25 : letters.size())]);
            if (seen.insert(w).second)
                vocabulary.push_back(w);
        }
        const std::vector<std::string> dirs = {"", "alpha", "alpha/deep", "alpha/deep/er", "beta", "gamma"};
        std::map<std::string, std::vector<std::string>> texts;
        for (int f = 0; f < files; f++) {
            char name[32];
            snprintf(name, sizeof name, "f%03d.txt", f);
            const std::string& d = dirs[rng() % dirs.size()];
            std::string text;
            for (int lines = 2 + static_cast<int>(rng() % 20); lines > 0; lines--) {
                int n = rng() % 9 == 0 ? 45 : 1 + static_cast<int>(rng() % 10);  // some lines over 255
                for (int i = 0; i < n; i++) {
                    double u = std::uniform_real_distribution<double>(0, 1)(rng);
                    std::string w = vocabulary[static_cast<size_t>(u * u * u * 420)];
                    if (rng() % 5 == 0)
                        for (char& c : w)
                            if (c >= 'a' && c <= 'z')
                                c = static_cast<char>(c - 32);
                    text += w;
                    text += i + 1 < n ? std::string(rng() % 3 == 0 ? ", " : rng() % 2 ? " " : "(") : "";
                }
                if (lines > 1 || rng() % 3)
                    text += "\n";
                if (lines == 2)
                    text += vocabulary[420 + rng() % 300] + "\n";
            }
            texts[d].push_back(name);
            write_text(dir.path + (d.empty() ? "" : "/" + d) + "/" + name, text);
        }
        for (auto& [d, names] : texts)
            std::sort(names.begin(), names.end());
        // Walk order: the root's files, then alpha, alpha/deep, alpha/deep/er, beta, gamma.
        for (const std::string& d : dirs)
            for (const std::string& name : texts[d])
                paths.push_back(dir.path + (d.empty() ? "" : "/" + d) + "/" + name);
    }
    std::string index_file() const { return dir.path + "/utils/tarvex.dat"; }
};

// For every word of the vocabulary, the search prints exactly the direct scan.
void expect_round_trip(const GeneratedTree& tree) {
    int found = 0;
    for (size_t i = 0; i < tree.vocabulary.size(); i++) {
        std::string w = tree.vocabulary[i];
        std::string expected = direct_scan(tree.paths, w);
        // Arguments in upper case are folded like the indexed words.
        std::string arg = w;
        if (i % 7 == 0)
            for (char& c : arg)
                if (c >= 'a' && c <= 'z')
                    c = static_cast<char>(c - 32);
        Result r = run_tarvex(tree.dir.path, {arg});
        if (expected.empty()) {
            EXPECT_EQ(r.out, "sorry, no match\n") << w;
            EXPECT_EQ(r.status, 1) << w;
            continue;
        }
        found++;
        ASSERT_EQ(r.out, expected) << w;
        EXPECT_EQ(r.status, 0) << w;
        EXPECT_EQ(r.err, "") << w;
    }
    EXPECT_GT(found, 500);
}

int shared_in(const std::string& summary) {
    std::smatch m;
    EXPECT_TRUE(std::regex_search(summary, m, std::regex("([0-9]+) words share an entry")));
    return m.empty() ? -1 : std::stoi(m[1]);
}

TEST(BuilderRoundTrip, EveryWordFindsExactlyItsLinesThroughAllFourKinds) {
    GeneratedTree tree(11);
    Result built = run_index(tree.dir.path, {"-q", "."});
    ASSERT_EQ(built.status, 0) << built.err;
    EXPECT_EQ(built.err, "");
    std::vector<uint8_t> bytes = read_bytes(tree.index_file());
    std::vector<int> kinds = kinds_of(bytes);
    for (int k = 0; k < 4; k++)
        EXPECT_GT(kinds[static_cast<size_t>(k)], 0) << "no entry of kind " << k;
    // The default table is more than twice the words.
    EXPECT_GT(header(bytes).hash_prime, 2 * header(bytes).num_words);
    expect_round_trip(tree);
}

TEST(BuilderRoundTrip, ATinyForcedTableSharesEntriesAndStaysComplete) {
    GeneratedTree tree(12);
    Result built = run_index(tree.dir.path, {"-q", "--hash-slots", "7", tree.dir.path});
    ASSERT_EQ(built.status, 0) << built.err;
    std::vector<uint8_t> bytes = read_bytes(tree.index_file());
    const file_header h = header(bytes);
    auto prime = static_cast<uint32_t>(h.hash_prime), words = static_cast<uint32_t>(h.num_words);
    EXPECT_LT(prime, words) << "the table was to be crowded";
    EXPECT_GT(shared_in(built.out), 0) << built.out;
    int entries = 0;
    for (int n : kinds_of(bytes))
        entries += n;
    EXPECT_LT(entries, static_cast<int>(words));
    expect_round_trip(tree);
}

TEST(Builder, SummaryLineAndNoProgressOffATerminal) {
    TempDir dir;
    write_text(dir.path + "/a.txt", "one two\n");
    write_text(dir.path + "/sub/b.txt", "two three\n");
    write_text(dir.path + "/bin.dat", std::string("xx\0yy", 5));
    Result r = run_index(dir.path, {"."});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(std::regex_match(
        r.out, std::regex("tarvex-index: 2 files indexed, 1 skipped \\(1 binary, 0 unreadable\\), "
                          "3 words, 2 blocks, index [0-9]+ bytes \\([0-9.]+% of 18\\), 0 words share "
                          "an entry, 0 words widened; wrote " + dir.path + "/utils/tarvex.dat\n")))
        << r.out;
}

TEST(Builder, WordsAreRunsOfWordBytesAtMost255Long) {
    TempDir dir;
    std::string run255(255, 'q'), run256(256, 'z');
    write_text(dir.path + "/a.txt", "Mixed_Case9 caf\xc3\xa9-au-lait\n" + run255 + "\n" + run256 + "\n");
    ASSERT_EQ(run_index(dir.path, {"-q", "."}).status, 0);
    for (std::string w : {"mixed_case9", "MIXED_CASE9", "caf\xc3\xa9", "au", "lait"}) {
        Result r = run_tarvex(dir.path, {w});
        EXPECT_EQ(r.status, 0) << w;
        EXPECT_NE(r.out.find(dir.path + "/a.txt: "), std::string::npos) << w;
    }
    EXPECT_EQ(run_tarvex(dir.path, {run255}).status, 0);
    // The 256-byte run is no word; its pieces are not words either.
    for (const std::string& w : {std::string(255, 'z'), std::string("caf")}) {
        Result r = run_tarvex(dir.path, {w});
        EXPECT_EQ(r.out, "sorry, no match\n") << w.size();
    }
}

// Files read a few bytes at a time give the same index as files read whole:
// words of every length from 1 to 300 over every mix of byte classes, runs
// of 255 and 256 bytes, words at the end of a file with and without a
// newline, a NUL past the first 8 KiB, an empty file, so that each edge of a
// read meets each place in a word.
TEST(Builder, EveryReadSizeGivesTheSameIndex) {
    TempDir dir;
    const std::string classes[] = {"aZ9_", "\xc3\xa9Q", "x", "_7", "K\xff"};
    const std::string gaps[] = {" ", ",\n", "--", "\t(", "\x7f", "\n\n\n", "  =  "};
    std::string mixed;
    for (size_t len = 1, k = 0; len <= 300; len++, k++) {
        const std::string& from = classes[k % 5];
        for (size_t i = 0; i < len; i++)
            mixed += from[(i * 7 + len) % from.size()];
        mixed += gaps[k % 7];
    }
    std::vector<std::string> texts = {
        mixed,
        std::string(8190, 'a') + " tail" + std::string(1, '\0') + "after_nul " + mixed + "Ends_Without_Newline",
        std::string(255, 'r') + "\n" + std::string(256, 's') + " kept\n" + std::string(600, 'T') + "\nlast",
        "",
        "one\n",
        std::string(256, 'u'),
        std::string(255, 'v'),
    };
    for (size_t i = 0; i < texts.size(); i++)
        write_text(dir.path + "/f" + std::to_string(i) + ".txt", texts[i]);
    Result whole = run_index(dir.path, {"-q", "."});
    ASSERT_EQ(whole.status, 0) << whole.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(whole.out, m, std::regex(" ([0-9]+) words, ")));
    std::set<std::string> distinct;
    for (const std::string& text : texts)
        for (const std::string& w : indexlib::words_of(text))
            distinct.insert(w);
    EXPECT_EQ(std::stoul(m[1]), distinct.size());
    const std::vector<uint8_t> expected = read_bytes(dir.path + "/utils/tarvex.dat");
    for (int size : {1, 2, 3, 7, 8, 9, 15, 16, 17, 31, 33, 64, 255, 256, 257, 4095, 8191, 8192, 8193}) {
        Result r = run_index(dir.path, {"-q", "--read-size", std::to_string(size), "."});
        ASSERT_EQ(r.status, 0) << size << ": " << r.err;
        EXPECT_EQ(r.out, whole.out) << size;
        EXPECT_EQ(read_bytes(dir.path + "/utils/tarvex.dat"), expected) << "--read-size " << size;
    }
    for (const std::string& w : {std::string("ends_without_newline"), std::string(255, 'v'), std::string("tail"),
                                 std::string("kept"), std::string("last")})
        EXPECT_EQ(run_tarvex(dir.path, {w}).status, 0) << w.substr(0, 20);
    EXPECT_EQ(run_tarvex(dir.path, {std::string(255, 'u')}).out, "sorry, no match\n");
}

TEST(Builder, WordsThatShareTheirFirstEightBytesStayApart) {
    TempDir dir;
    const std::vector<std::string> words = {"abcdefg", "abcdefgh", "abcdefghi", "abcdefghij", "abcdefghijklmnop",
                                            "abcdefghijklmnopq", "abcdefghijklmnopr"};
    // Each word in a block of its own, and all of them, longest first, in
    // one more (a block's words are told apart as they come).
    for (size_t i = 0; i < words.size(); i++)
        write_text(dir.path + "/f" + std::to_string(i) + ".txt", words[i] + "\n");
    std::string all;
    for (size_t i = words.size(); i-- > 0;)
        all += words[i] + "\n";
    write_text(dir.path + "/z.txt", all);
    ASSERT_EQ(run_index(dir.path, {"-q", "."}).status, 0);
    for (size_t i = 0; i < words.size(); i++) {
        Result r = run_tarvex(dir.path, {words[i]});
        EXPECT_EQ(r.status, 0) << words[i];
        EXPECT_NE(r.out.find(dir.path + "/f" + std::to_string(i) + ".txt: " + words[i] + "\n"), std::string::npos)
            << words[i] << ": " << r.out;
        EXPECT_NE(r.out.find(dir.path + "/z.txt: " + words[i] + "\n"), std::string::npos)
            << words[i] << ": " << r.out;
    }
    EXPECT_EQ(run_index(dir.path, {"-q", "--check", "."}).status, 0);
}

// The same trap at scale: a word of exactly eight bytes and a longer word
// with those first eight bytes only meet in a block's table where one probe
// runs over the other's slot, so thousands of such pairs in each of several
// blocks make sure that some do; every eight-byte word must still name its
// block.
TEST(Builder, EightByteWordsStayApartFromTheirLongerFormsInFullTables) {
    TempDir dir;
    constexpr int files = 8, pairs = 6000;
    auto eight = [](int n) {
        std::string w(8, 'a');
        for (int i = 7; i >= 0 && n > 0; i--, n /= 26)
            w[static_cast<size_t>(i)] = static_cast<char>('a' + n % 26);
        return w;
    };
    for (int f = 0; f < files; f++) {
        std::string text;
        for (int i = 0; i < pairs; i++) {
            std::string w = eight(f * pairs + i);
            text += w + "q " + w + "\n";  // the longer form comes first
        }
        write_text(dir.path + "/f" + std::to_string(f) + ".txt", text);
    }
    ASSERT_EQ(run_index(dir.path, {"-q", "."}).status, 0);
    const std::vector<uint8_t> bytes = read_bytes(dir.path + "/utils/tarvex.dat");
    int missing = 0;
    for (int f = 0; f < files; f++)
        for (int i = 0; i < pairs; i++) {
            const std::string w = eight(f * pairs + i);
            indexlib::Lookup l = indexlib::lookup(bytes, w);
            ASSERT_EQ(l.error, "") << w;
            if (std::find(l.blocks.begin(), l.blocks.end(), static_cast<uint32_t>(f)) == l.blocks.end() &&
                missing++ < 5)
                ADD_FAILURE() << w << " does not name block " << f;
        }
    EXPECT_EQ(missing, 0);
}

TEST(Builder, BinaryFilesAreSkippedByANulInTheirFirst8KiB) {
    TempDir dir;
    write_text(dir.path + "/early.bin", "needle\n" + std::string(1, '\0') + "\n");
    write_text(dir.path + "/late.txt", std::string(8192, 'x') + std::string(1, '\0') + "\nneedle\n");
    write_text(dir.path + "/edge.bin", std::string(8191, 'x') + std::string(1, '\0') + "\nneedle\n");
    Result b = run_index(dir.path, {"-q", "."});
    ASSERT_EQ(b.status, 0) << b.err;
    EXPECT_NE(b.out.find("1 files indexed, 2 skipped (2 binary, 0 unreadable)"), std::string::npos) << b.out;
    Result r = run_tarvex(dir.path, {"needle"});
    EXPECT_EQ(r.out, dir.path + "/late.txt: needle\n");
}

TEST(Builder, SymbolicLinksAreNotFollowed) {
    TempDir dir, outside;
    write_text(dir.path + "/a.txt", "inside\n");
    write_text(outside.path + "/o.txt", "elsewhere\n");
    fs::create_symlink(outside.path + "/o.txt", dir.path + "/link.txt");
    fs::create_directory_symlink(outside.path, dir.path + "/linkdir");
    ASSERT_EQ(run_index(dir.path, {"-q", "."}).status, 0);
    EXPECT_EQ(run_tarvex(dir.path, {"inside"}).status, 0);
    EXPECT_EQ(run_tarvex(dir.path, {"elsewhere"}).out, "sorry, no match\n");
}

TEST(Builder, SameTreeGivesTheSameBytesAndTheIndexIsNeverIndexed) {
    GeneratedTree tree(13, 60);
    ASSERT_EQ(run_index(tree.dir.path, {"-q", "."}).status, 0);
    std::vector<uint8_t> first = read_bytes(tree.index_file());
    // The second run meets the first index inside the tree.
    ASSERT_EQ(run_index(tree.dir.path, {"-q", "."}).status, 0);
    EXPECT_EQ(read_bytes(tree.index_file()), first);
    // A copy elsewhere, stored under the same name, gives the same bytes too.
    TempDir copy;
    fs::copy(tree.dir.path, copy.path, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    fs::remove(copy.path + "/utils/tarvex.dat");
    ASSERT_EQ(run_index(copy.path, {"-q", "--mount", tree.dir.path, "."}).status, 0);
    EXPECT_EQ(read_bytes(copy.path + "/utils/tarvex.dat"), first);
    EXPECT_EQ(fs::directory_iterator(copy.path + "/utils")->path().filename(), "tarvex.dat");
}

TEST(Builder, MountStoresThePrefixInsteadOfTheStagingPath) {
    TempDir top;
    std::string stage = top.path + "/stage", mounted = top.path + "/cdrom";
    write_text(stage + "/docs/readme.txt", "Hello disc\n");
    Result b = run_index(top.path, {"-q", "--mount", mounted + "/", "stage"});
    ASSERT_EQ(b.status, 0) << b.err;
    Result before = run_tarvex(stage, {"hello"});
    EXPECT_EQ(before.err, "Cannot open " + mounted + "/docs/readme.txt: No such file or directory\n");
    fs::rename(stage, mounted);
    Result r = run_tarvex(mounted, {"hello"});
    EXPECT_EQ(r.out, mounted + "/docs/readme.txt: Hello disc\n");
    EXPECT_EQ(r.status, 0);
}

TEST(Builder, OutputFileElsewhere) {
    TempDir dir, out;
    write_text(dir.path + "/a.txt", "word\n");
    Result b = run_index(out.path, {"-q", "-o", "utils/tarvex.dat", dir.path});
    ASSERT_EQ(b.status, 0) << b.err;
    EXPECT_FALSE(fs::exists(dir.path + "/utils"));
    EXPECT_EQ(run_tarvex(out.path, {"word"}).out, dir.path + "/a.txt: word\n");
}

// A failed build leaves the index that was there, and no temporary file.
void expect_refused(const std::string& dir, const std::vector<std::string>& args, const std::string& err) {
    write_text(dir + "/utils/tarvex.dat", "old index");
    Result r = run_index(dir, args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_text(dir + "/utils/tarvex.dat"), "old index");
    int entries = 0;
    for (auto it = fs::directory_iterator(dir + "/utils"); it != fs::directory_iterator(); ++it)
        entries++;
    EXPECT_EQ(entries, 1);
}

TEST(BuilderLimits, PathOver1023BytesAsStored) {
    TempDir dir;
    std::string rel;
    while (dir.path.size() + rel.size() < 1000)
        rel += "/" + std::string(200, 'd');
    write_text(dir.path + "/ok.txt", "fine\n");
    write_text(dir.path + rel + "/file.txt", "deep\n");
    std::string stored = dir.path + rel + "/file.txt";
    for (const char* threads : {"1", "4"})
        expect_refused(dir.path, {"-q", "-j", threads, "."},
                       "tarvex-index: " + stored + ": path of " + std::to_string(stored.size()) +
                           " bytes as stored, at most 1023\n");
    // The same tree fits when stored under a short prefix.
    fs::remove(dir.path + "/utils/tarvex.dat");
    EXPECT_EQ(run_index(dir.path, {"-q", "--mount", "/d", "."}).status, 0);
}

TEST(BuilderLimits, NameOver297Bytes) {
    TempDir dir;
    write_text(dir.path + "/a.txt", "x\n");
    std::string name(298, 'n');
    expect_refused(dir.path, {"-q", "--mount", "/" + name, "."},
                   "tarvex-index: /" + name + ": name of 298 bytes, at most 297\n");
    fs::remove(dir.path + "/utils/tarvex.dat");
    EXPECT_EQ(run_index(dir.path, {"-q", "--mount", "/" + std::string(297, 'n'), "."}).status, 0);
}

TEST(BuilderLimits, MoreThan32767Directories) {
    TempDir dir;
    // Only directories that hold an indexed file get a record: 32766 here,
    // the tree's own path adds its components.
    size_t prefix = 0;
    for (char c : dir.path)
        prefix += c == '/';
    const size_t limit = 32767 - prefix;
    for (size_t d = 0; d <= limit; d++) {
        std::string sub = dir.path + "/" + std::to_string(d / 1000) + "/" + std::to_string(d);
        write_text(sub + "/f", "");
    }
    // The 32768th directory record: groups hold 1000 directories each, and
    // every group directory has a record of its own before its members.
    Result r = run_index(dir.path, {"-q", "."});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(std::regex_match(r.err, std::regex("tarvex-index: " + dir.path +
                                                   "(/[0-9]+)+: more than 32767 directories\n")))
        << r.err;
    EXPECT_FALSE(fs::exists(dir.path + "/utils/tarvex.dat"));
}

TEST(BuilderLimits, BlocksAndUsage) {
    TempDir dir;
    write_text(dir.path + "/a.txt", "x\n");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--blocks", "4097", "."}, {"--blocks", "0", "."}, {}, {".", "."},
          {"--bogus", "."}, {"-o"}, {"-j", "0", "."}, {"--area-limit", "1023", "."},
          {"--read-size", "0", "."}, {"--read-size", "1048577", "."}}) {
        Result r = run_index(dir.path, args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.rfind("tarvex-index: ", 0), 0u) << r.err;
    }
    EXPECT_FALSE(fs::exists(dir.path + "/utils"));
    Result ok = run_index(dir.path, {"-q", "--blocks", "4096", "."});
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(run_index(dir.path, {"--help"}).status, 0);
    EXPECT_EQ(run_index(dir.path, {"--version"}).out, "tarvex-index 1.0.0\n");
}

TEST(BuilderBlocks, TheBlockCountIsHonouredAndEveryBlockHoldsAFile) {
    GeneratedTree tree(14, 100);
    for (int blocks : {1, 2, 7, 100}) {
        ASSERT_EQ(run_index(tree.dir.path, {"-q", "--blocks", std::to_string(blocks), "."}).status, 0);
        std::vector<uint8_t> bytes = read_bytes(tree.index_file());
        const file_header h = header(bytes);
        auto n = static_cast<uint32_t>(h.num_blocks), files = static_cast<uint32_t>(h.num_files),
             at = static_cast<uint32_t>(h.block_table_offset);
        EXPECT_LE(n, static_cast<uint32_t>(blocks));
        EXPECT_GE(n, std::min<uint32_t>(static_cast<uint32_t>(blocks), 2));
        uint32_t prev = 0;
        for (uint32_t b = 0; b < n; b++) {
            uint32_t first = indexlib::get32(bytes, at + 4 * size_t{b});
            EXPECT_TRUE(b == 0 ? first == 0 : first > prev) << blocks << " " << b;
            prev = first;
        }
        EXPECT_LT(prev, files);
        Result c = run_index(tree.dir.path, {"-q", "--check", "."});
        EXPECT_EQ(c.status, 0) << c.out;
    }
}

// Bitmaps and lists end by the area limit (the header's own offsets).
uint32_t areas_end(const std::vector<uint8_t>& bytes) {
    const file_header h = header(bytes);
    return static_cast<uint32_t>(std::max(h.filelists_offset + h.filelists_size, h.bitmaps_offset + h.bitmaps_size));
}

TEST(BuilderWidening, ASmallAreaLimitWidensCommonWordsAndKeepsRareOnesExact) {
    GeneratedTree tree(18);
    ASSERT_EQ(run_index(tree.dir.path, {"-q", "."}).status, 0);
    const std::vector<uint8_t> exact = read_bytes(tree.index_file());
    const uint32_t limit = 80 + (areas_end(exact) - 80) / 3;
    ASSERT_GE(limit, 1024u) << "the tree's areas are too small for the test";
    Result built = run_index(tree.dir.path, {"-q", "--area-limit", std::to_string(limit), "."});
    ASSERT_EQ(built.status, 0) << built.err;
    EXPECT_EQ(built.err, "");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(built.out, m, std::regex("([0-9]+) words widened \\(their candidate bytes \\+([0-9.]+)%\\)")))
        << built.out;
    EXPECT_GT(std::stoi(m[1]), 0);
    EXPECT_GT(std::stod(m[2]), 0);
    const std::vector<uint8_t> wide = read_bytes(tree.index_file());
    EXPECT_LE(areas_end(wide), limit);
    // Every word names at least its blocks; every rare word (of at most four
    // blocks: the tree's rare words are written in one file each) names
    // exactly its blocks; some common word names more.
    int grown = 0, rare = 0;
    for (size_t i = 0; i < tree.vocabulary.size(); i++) {
        const std::string& w = tree.vocabulary[i];
        indexlib::Lookup before = indexlib::lookup(exact, w), after = indexlib::lookup(wide, w);
        ASSERT_EQ(before.error, "");
        ASSERT_EQ(after.error, "");
        EXPECT_TRUE(std::includes(after.blocks.begin(), after.blocks.end(), before.blocks.begin(), before.blocks.end()))
            << w;
        if (before.blocks.size() <= 4) {
            EXPECT_EQ(after.blocks, before.blocks) << w << " of " << before.blocks.size() << " blocks";
            rare++;
        }
        grown += after.blocks.size() > before.blocks.size();
    }
    EXPECT_GT(rare, 250);
    EXPECT_GT(grown, 0);
    expect_round_trip(tree);
    Result c = run_index(tree.dir.path, {"-q", "--check", "."});
    EXPECT_EQ(c.status, 0) << c.out;
}

TEST(BuilderWidening, TheTightestLimitStillGivesASoundIndex) {
    GeneratedTree tree(19, 120);
    Result built = run_index(tree.dir.path, {"-q", "--area-limit", "1024", "."});
    ASSERT_EQ(built.status, 0) << built.err;
    EXPECT_LE(areas_end(read_bytes(tree.index_file())), 1024u);
    expect_round_trip(tree);
}

TEST(BuilderThreads, TheSameBytesForAnyThreadCountAndEveryRun) {
    GeneratedTree tree(20, 200);
    for (const std::vector<std::string>& extra : {std::vector<std::string>{}, {"--area-limit", "2048"}}) {
        std::vector<uint8_t> first;
        for (const char* threads : {"1", "2", "8", "8", "2"}) {
            std::vector<std::string> args = {"-q", "-j", threads};
            args.insert(args.end(), extra.begin(), extra.end());
            args.push_back(".");
            Result r = run_index(tree.dir.path, args);
            ASSERT_EQ(r.status, 0) << r.err;
            std::vector<uint8_t> bytes = read_bytes(tree.index_file());
            if (first.empty())
                first = bytes;
            EXPECT_EQ(bytes, first) << "-j " << threads;
        }
    }
}

// Bitmaps and block lists lie in the order of the slots that first name
// them, lists before bitmaps, in tables small and large (whose slot numbers
// run to 23 bits) and with areas widened to fit a limit.
TEST(BuilderLayout, AreasLieInTheOrderOfTheSlotsThatFirstNameThem) {
    GeneratedTree tree(21, 120);
    for (const std::vector<std::string>& extra :
         {std::vector<std::string>{}, {"--hash-slots", "5000"}, {"--hash-slots", "5000000"},
          {"--area-limit", "2048"}}) {
        std::vector<std::string> args = {"-q"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(".");
        Result r = run_index(tree.dir.path, args);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<uint8_t> bytes = read_bytes(tree.index_file());
        const file_header h = header(bytes);
        std::set<uint32_t> seen;
        uint32_t last[4] = {};
        size_t lists = 0, maps = 0;
        for (int32_t k = 0; k < h.hash_prime; k++) {
            const uint32_t x = le32(bytes.data() + h.hash_table_offset + 4 * static_cast<size_t>(k));
            if (x == 0 || !entry_has_area(x) || !seen.insert(entry_offset(x)).second)
                continue;
            const uint32_t kind = entry_kind(x);
            EXPECT_GT(entry_offset(x), last[kind]) << "slot " << k << (extra.empty() ? "" : " with " + extra[0]);
            last[kind] = entry_offset(x);
            (kind == kind_bitmap ? maps : lists)++;
            if (kind == kind_bitmap)
                EXPECT_GE(entry_offset(x), static_cast<uint32_t>(h.bitmaps_offset));
            else
                EXPECT_LT(entry_offset(x), static_cast<uint32_t>(h.bitmaps_offset));
        }
        EXPECT_GT(lists, 10u);
        EXPECT_GT(maps, 10u);
    }
}

TEST(BuilderCheck, SoundOnAFreshIndex) {
    GeneratedTree tree(15, 80);
    ASSERT_EQ(run_index(tree.dir.path, {"-q", "."}).status, 0);
    Result c = run_index(tree.dir.path, {"--check", "."});
    EXPECT_EQ(c.status, 0) << c.out << c.err;
    EXPECT_TRUE(std::regex_match(c.out, std::regex("tarvex-index: .*/utils/tarvex.dat: sound: header, [0-9]+ "
                                                   "blocks, 80 files, [0-9]+ directories, hash table; every "
                                                   "word of 80 files found in its blocks \\([0-9]+ words of blocks\\)\n")))
        << c.out;
}

TEST(BuilderCheck, FailsOnADamagedIndex) {
    GeneratedTree tree(16, 80);
    ASSERT_EQ(run_index(tree.dir.path, {"-q", "."}).status, 0);
    const std::vector<uint8_t> good = read_bytes(tree.index_file());
    const auto hash_at = static_cast<uint32_t>(header(good).hash_table_offset),
               prime = static_cast<uint32_t>(header(good).hash_prime);
    uint32_t used = hash_at;
    while (indexlib::get32(good, used) == 0)
        used += 4;
    struct Damage {
        const char* what;
        size_t at;
        uint32_t value;
        const char* says;
    };
    const Damage cases[] = {
        {"filesize", offsetof(file_header, filesize), static_cast<uint32_t>(good.size() + 1), "filesize is"},
        {"blocks", offsetof(file_header, num_blocks), 5000, "num_blocks 5000"},
        {"an entry cleared", used, 0, "is not found in block"},
        {"an entry naming a far block", used, 0x40000FFFu, "names block 4095"},
        {"the table shrunk", offsetof(file_header, hash_prime), prime / 2, "hash table"},
        {"magic", offsetof(file_header, magic), 0, "magic"},
        {"bytes_per_bitmap", offsetof(file_header, bytes_per_bitmap), 9999, "bytes_per_bitmap"},
        {"strings area", offsetof(file_header, strings_offset), static_cast<uint32_t>(good.size()), "strings"},
    };
    for (const Damage& d : cases) {
        std::vector<uint8_t> bad = good;
        indexlib::put32(bad, d.at, d.value);
        write_index(tree.dir.path, bad);
        Result c = run_index(tree.dir.path, {"-q", "--check", "."});
        EXPECT_EQ(c.status, 1) << d.what;
        EXPECT_NE(c.out.find("NOT SOUND"), std::string::npos) << d.what << ": " << c.out;
        EXPECT_NE(c.out.find(d.says), std::string::npos) << d.what << ": " << c.out;
    }
    write_index(tree.dir.path, good);
    EXPECT_EQ(run_index(tree.dir.path, {"-q", "--check", "."}).status, 0);
}

TEST(BuilderCheck, FailsOnATreeThatChangedAfterIndexing) {
    GeneratedTree tree(17, 40);
    ASSERT_EQ(run_index(tree.dir.path, {"-q", "."}).status, 0);
    const std::string victim = tree.paths[5];
    const std::string text = read_text(victim);

    write_text(victim, text + "brandnewword\n");
    Result c = run_index(tree.dir.path, {"-q", "--check", "."});
    EXPECT_EQ(c.status, 1);
    EXPECT_NE(c.out.find("word 'brandnewword' is not found in block"), std::string::npos) << c.out;

    write_text(victim, text);
    EXPECT_EQ(run_index(tree.dir.path, {"-q", "--check", "."}).status, 0);
    write_text(tree.dir.path + "/newfile.txt", "hello\n");
    c = run_index(tree.dir.path, {"-q", "--check", "."});
    EXPECT_EQ(c.status, 1);
    EXPECT_NE(c.out.find(tree.dir.path + "/newfile.txt is not in the index"), std::string::npos) << c.out;

    fs::remove(tree.dir.path + "/newfile.txt");
    fs::remove(victim);
    c = run_index(tree.dir.path, {"-q", "--check", "."});
    EXPECT_EQ(c.status, 1);
    EXPECT_NE(c.out.find(victim + " is in the index but not in the tree"), std::string::npos) << c.out;
}

}  // namespace

namespace {

TEST(BuilderTimes, EachStageIsTimedOnStandardErrorInOneLine) {
    TempDir dir;
    write_text(dir.path + "/a.txt", "alpha beta\n");
    Result r = run_index(dir.path, {"-q", "--times", "."});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::regex_match(r.err, std::regex("tarvex-index: times: walking the tree [0-9.]+ s, reading [0-9.]+ s, "
                                                   "naming [0-9.]+ s, sorting words [0-9.]+ s, placing words [0-9.]+ s, "
                                                   "fitting areas [0-9.]+ s, laying out [0-9.]+ s, checking words "
                                                   "[0-9.]+ s, writing [0-9.]+ s, in all [0-9.]+ s\n")))
        << r.err;
    Result check = run_index(dir.path, {"-q", "--times", "--check", "."});
    ASSERT_EQ(check.status, 0) << check.out;
    EXPECT_TRUE(std::regex_match(check.err, std::regex("tarvex-index: times: walking the tree [0-9.]+ s, reading "
                                                       "[0-9.]+ s, in all [0-9.]+ s\n")))
        << check.err;
    // Without the option the same runs print nothing there.
    EXPECT_EQ(run_index(dir.path, {"-q", "."}).err, "");
}

}  // namespace
