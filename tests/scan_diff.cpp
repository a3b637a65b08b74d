// The file scan against the line-by-line reference scan: every output byte,
// every message and every count must be the same, over generated files and
// words chosen to sit on piece, NUL and buffer edges. Built twice: once as
// the tool is, once with a tiny read buffer so that every file crosses it.
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "open.h"
#include "path.h"
#include "scan.h"
#include "scan_reference.h"
#include "support.h"
#include "tarvex.h"

namespace {

using namespace testing_support;

struct Scan {
    int64_t count = -1;
    std::string out, err;
};

// Runs one scan with standard output and standard error sent to files.
Scan captured(int64_t (*scan)(const char*), const std::string& file, const std::string& io) {
    std::string out_path = io + "/out", err_path = io + "/err";
    fflush(stdout);
    fflush(stderr);
    int saved_out = dup(1), saved_err = dup(2);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (saved_out < 0 || saved_err < 0 || out < 0 || err < 0)
        throw std::runtime_error("cannot redirect the scan's output");
    dup2(out, 1);
    dup2(err, 2);
    Scan s;
    s.count = scan(file.c_str());
    fflush(stdout);
    fflush(stderr);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(out);
    close(err);
    close(saved_out);
    close(saved_err);
    s.out = read_text(out_path);
    s.err = read_text(err_path);
    return s;
}

// The driver's word: A to Z lower-cased.
void set_word(const std::string& w) {
    ASSERT_LT(w.size(), static_cast<size_t>(word_size));
    std::memcpy(word, w.c_str(), w.size() + 1);
    for (char* c = word; *c; c++)
        if (*c >= 'A' && *c <= 'Z')
            *c = static_cast<char>(*c - 'A' + 'a');
}

std::string shown(const std::string& s) {
    std::string r;
    for (unsigned char c : s) {
        if (c >= 32 && c < 127 && c != '\\') {
            r += static_cast<char>(c);
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            r += hex;
        }
    }
    return r;
}

// Where two outputs first differ, with a little of each around it.
std::string first_difference(const std::string& want, const std::string& got) {
    size_t i = 0;
    while (i < want.size() && i < got.size() && want[i] == got[i])
        i++;
    size_t from = i > 40 ? i - 40 : 0;
    return "at byte " + std::to_string(i) + " of " + std::to_string(want.size()) + "/" +
           std::to_string(got.size()) + ": want \"" + shown(want.substr(from, 80)) +
           "\", got \"" + shown(got.substr(from, 80)) + "\"";
}

// Both scans of file for every word; returns the reference's total count so
// that a table can show it finds something.
int64_t compare_scans(const std::string& file, const std::vector<std::string>& words) {
    TempDir io;
    int64_t total = 0;
    for (const std::string& w : words) {
        set_word(w);
        Scan want = captured(reference_search_file, file, io.path);
        Scan got = captured(search_file, file, io.path);
        EXPECT_EQ(want.count, got.count) << "word \"" << shown(w) << "\" in " << file;
        EXPECT_TRUE(want.out == got.out)
            << "word \"" << shown(w) << "\" in " << file << " " << first_difference(want.out, got.out);
        EXPECT_EQ(want.err, got.err) << "word \"" << shown(w) << "\" in " << file;
        total += want.count;
    }
    return total;
}

// Words for the hand-made files: one byte, a digit first, letters in both
// cases, bytes 128 to 255, CR, newlines, a word at a piece's edge, the empty
// word, and words as long as a whole piece.
std::vector<std::string> edge_words() {
    return {"",
            "c",
            "C",
            "cat",
            "CAT",
            "concatenate",
            "9lives",
            "9",
            "\xe9",
            "\xc9t",
            "t\xe9",
            "\r",
            "cat\r",
            "\n",
            "cat\n",
            "T\n",
            "a\nb",
            "\x01",
            "edge",
            "dge",
            "ge",
            "e",
            "x",
            "xx",
            "xxxxxxxxxx",
            "_",
            " ",
            std::string(255, 'x'),
            std::string(254, 'x') + "\n",
            std::string(254, 'x') + "e",
            std::string(200, 'x') + "edge"};
}

// "edge" placed so that it starts at every position around a 255-byte cut.
std::string edge_lines() {
    std::string s;
    for (size_t at = 245; at <= 262; at++)
        s += std::string(at, 'x') + "edge" + std::string(at % 7, 'y') + "\n";
    for (size_t at = 505; at <= 515; at++)
        s += std::string(at, 'x') + "EdGe\n";
    return s;
}

struct Case {
    const char* name;
    std::string text;
};

std::vector<Case> hand_made_files() {
    std::string big;
    std::mt19937 rng(7);
    while (big.size() < 3 * scan_buf_size + 1000) {
        size_t n = rng() % 600;
        big += std::string(n, 'x');
        big += rng() % 3 == 0 ? "Cat" : "edge";
        big += std::string(rng() % 300, 'y');
        big += rng() % 5 == 0 ? std::string(1, '\0') : "";
        big += rng() % 2 == 0 ? "\n" : "\r\n";
    }
    return {
        {"empty", ""},
        {"concatenate", "concatenate\nCat and cat\nnothing here\n"},
        {"no final newline", "first cat\nlast cat"},
        {"line of 254", std::string(250, 'x') + "cat\n" + "after\n"},
        {"line of 254 plus newline word", std::string(251, 'x') + "cat\n"},
        {"line of 255", std::string(251, 'x') + "catx\n" + "cat\n"},
        {"line of 256", std::string(252, 'x') + "catx\n" + "cat\n"},
        {"line of 300", "cat" + std::string(297, 'x') + "\n"},
        {"last piece of 255", std::string(252, 'x') + "cat"},
        {"last piece of 255 after a cut", std::string(255, 'x') + std::string(252, 'y') + "cat"},
        {"exact pieces", std::string(255, 'x') + std::string(254, 'x') + "\n" + std::string(510, 'x')},
        {"word across a cut", std::string(253, 'x') + "cat" + std::string(20, 'x') + "\n"},
        {"word at 252", std::string(252, 'x') + "cat" + std::string(20, 'x') + "\n"},
        {"edges", edge_lines()},
        {"crlf", "a cat\r\nCAT\r\n\r\nno\r\n9lives\r\n"},
        {"nul first", std::string("\0cat\n", 5) + "cat\n"},
        {"inner nul", std::string("cat\0more\n", 9) + std::string("the\0cat\n", 8) + "cat\n"},
        {"nul at end", std::string("cat\0", 4)},
        {"nul in a long line",
         std::string(100, 'x') + std::string(1, '\0') + std::string(300, 'x') + "cat\n"},
        {"nul before the word in a cut",
         std::string(300, 'x') + std::string(1, '\0') + "cat" + std::string(300, 'x') + "\n"},
        {"high bytes", "caf\xe9\nCAF\xc9\n\xe9t\xc9 \xc9T\n\xff\x80\n"},
        {"digits", "9lives and 9LIVES\n99\nlives 9\n"},
        {"only newlines", "\n\n\n\n"},
        {"control bytes", "\x01\x02\x03\n\x01" "cat\n"},
        {"very long line", std::string(100000, 'x') + "cat" + std::string(5000, 'e') + "edge\n"},
        {"long line without newline", std::string(3 * scan_buf_size + 7, 'x')},
        {"larger than the buffer", big},
    };
}

TEST(ScanDiff, HandMadeFilesTimesWords) {
    TempDir dir;
    for (const Case& c : hand_made_files()) {
        SCOPED_TRACE(c.name);
        std::string file = dir.path + "/f";
        write_text(file, c.text);
        compare_scans(file, edge_words());
    }
}

// The tables above must actually print: a comparison of two silent scans
// proves nothing.
TEST(ScanDiff, HandMadeTablePrints) {
    TempDir dir;
    std::string file = dir.path + "/f";
    write_text(file, edge_lines() + "concatenate\n" + std::string(252, 'x') + "cat");
    EXPECT_GT(compare_scans(file, {"cat"}), 0);
    EXPECT_GT(compare_scans(file, {"edge"}), 18);
    EXPECT_GT(compare_scans(file, {std::string(254, 'x') + "\n"}), 0);
}

// Dense random files over a small alphabet put newlines, NUL bytes, CR,
// cases and high bytes next to each other and next to every cut; words are
// drawn from the same alphabet.
std::string random_text(std::mt19937& rng, size_t size) {
    static const char alphabet[] = {'a', 'A', 'b', 't', 'T', 'x', '\n', '\0', '\r', ' ',
                                    '9', '\xe9', '\xc9'};
    std::string s;
    while (s.size() < size) {
        unsigned kind = rng() % 10;
        if (kind == 0) {
            // A long run of one byte: lines far longer than a piece.
            s += std::string(rng() % 800, 'x');
        } else if (kind == 1) {
            s += std::string(rng() % 300, 'a');
            s += '\n';
        } else {
            s += alphabet[rng() % sizeof alphabet];
        }
    }
    return s;
}

std::string random_word(std::mt19937& rng) {
    static const char alphabet[] = {'a', 'A', 'b', 't', 'T', 'x', '\r', ' ', '9', '\xe9', '\xc9'};
    size_t n = 1 + rng() % 4;
    std::string w;
    for (size_t i = 0; i < n; i++)
        w += alphabet[rng() % sizeof alphabet];
    if (rng() % 8 == 0)
        w += '\n';
    return w;
}

TEST(ScanDiff, RandomFilesTimesRandomWords) {
    TempDir dir;
    std::mt19937 rng(20261210);
    std::string file = dir.path + "/r";
    int64_t printed = 0;
    for (int round = 0; round < 40; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        size_t size = round % 10 == 9 ? scan_buf_size * 2 + rng() % 5000 : rng() % 4000;
        write_text(file, random_text(rng, size));
        std::vector<std::string> words;
        for (int i = 0; i < 12; i++)
            words.push_back(random_word(rng));
        words.push_back("x");
        words.push_back("xxxx");
        words.push_back(std::string(250, 'x'));
        printed += compare_scans(file, words);
    }
    EXPECT_GT(printed, 1000);
}

// A name longer than any path the index can give still prints whole.
TEST(ScanDiff, NameLongerThanAnyRebuiltPath) {
    TempDir dir;
    std::string file = dir.path;
    for (int i = 0; i < 6; i++)
        file += "/" + std::string(200, static_cast<char>('a' + i));
    file += "/f";
    ASSERT_GT(file.size(), static_cast<size_t>(path_size));
    write_text(file, "a cat\n" + std::string(300, 'c') + "\nno\n");
    EXPECT_EQ(compare_scans(file, {"cat", "c", "no"}), 1 + 3 + 1);
}

TEST(ScanDiff, UnopenableFiles) {
    TempDir dir;
    // A missing file and a directory are reported and count 0.
    compare_scans(dir.path + "/missing", {"cat", ""});
    compare_scans(dir.path, {"cat"});
    set_word("cat");
    Scan got = captured(search_file, dir.path + "/missing", dir.path);
    EXPECT_EQ(got.count, 0);
    EXPECT_EQ(got.err, "Cannot open " + dir.path + "/missing: No such file or directory\n");
    got = captured(search_file, dir.path, dir.path);
    EXPECT_EQ(got.count, 0);
    EXPECT_EQ(got.err, "Cannot open " + dir.path + ": Is a directory\n");
}

}  // namespace
