// The file scan, as a table: one candidate file, one word, the exact output.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"

namespace {

using namespace testing_support;

struct ScanCase {
    const char* name;
    std::string word;
    std::string text;
    // The records printed, each without the "path: " in front.
    std::vector<std::string> records;
};

std::string a(size_t n) { return std::string(n, 'a'); }

const std::vector<ScanCase> cases = {
    {"substring", "cat", "concatenate\n", {"concatenate\n"}},
    {"printed_once", "cat", "Cat and cat\n", {"Cat and cat\n"}},
    {"upper_in_file", "cat", "CAT\nc.a.t\n", {"CAT\n"}},
    {"several_lines", "cat", "cat 1\ndog\ncat 3\n", {"cat 1\n", "cat 3\n"}},
    // A 300-byte line: its first 255 bytes with an added newline, then the rest.
    {"long_line_first_piece", "cat", "cat" + a(297) + "\n", {"cat" + a(252) + "\n"}},
    {"long_line_second_piece", "cat", a(255) + "cat" + a(42) + "\n", {"cat" + a(42) + "\n"}},
    // Starting at 254 the word runs into the next piece: not found.
    {"straddles_the_cut", "cat", a(254) + "cat" + a(43) + "\n", {}},
    {"ends_at_the_cut", "cat", a(252) + "cat" + a(45) + "\n", {a(252) + "cat\n"}},
    // 254 bytes and the newline are one piece: one record, no empty line.
    {"line_of_254", "cat", "cat" + a(251) + "\n", {"cat" + a(251) + "\n"}},
    {"line_of_255", "cat", "cat" + a(252) + "\n", {"cat" + a(252) + "\n"}},
    {"last_line_without_newline", "cat", "dog\nthe cat", {"the cat\n"}},
    {"last_piece_of_exactly_255", "cat", "cat" + a(252), {"cat" + a(252) + "\n"}},
    {"chunk_starting_with_nul", "cat", std::string("\0cat\nok cat\n", 12), {"ok cat\n"}},
    {"inner_nul", "cat", std::string("the cat\0 rest\ncat\0x\n", 20), {"the cat\n", "cat\n"}},
    {"word_after_inner_nul", "cat", std::string("dog\0cat\n", 8), {}},
    {"digit_first", "4x4", "a 4X4 b\n$4x4\n", {"a 4X4 b\n", "$4x4\n"}},
    {"punctuation_first", "_id", "my_ID\n", {"my_ID\n"}},
    {"high_bytes_only_exact", "caf\xc3\xa9", "CAF\xc3\xa9\ncaf\xc3\x89\n", {"CAF\xc3\xa9\n"}},
    {"high_first_byte", "\xc3\xa9t\xc3\xa9", "\xc3\xa9T\xc3\xa9\n\xc3\x89t\xc3\xa9\n", {"\xc3\xa9T\xc3\xa9\n"}},
    {"crlf_kept", "cat", "cat\r\n", {"cat\r\n"}},
    {"empty_word", "", "anything\n\n", {}},
    {"empty_file", "cat", "", {}},
    {"one_byte_word", "x", "axb\nyyy\nX\n", {"axb\n", "X\n"}},
};

void PrintTo(const ScanCase& c, std::ostream* os) { *os << c.name; }

class Scan : public ::testing::TestWithParam<ScanCase> {};

TEST_P(Scan, PrintsExactlyItsRecords) {
    const ScanCase& c = GetParam();
    TempDir dir;
    Disc disc(dir.path);
    disc.block({{"file.txt", c.text}});
    disc.entry(c.word, one_block_entry(probe(c.word, 101).r16, 0));
    disc.write();
    Result r = run_tarvex(dir.path, {c.word});
    std::string want;
    for (const std::string& rec : c.records)
        want += disc.paths[0] + ": " + rec;
    if (c.records.empty())
        want = "sorry, no match\n";
    EXPECT_EQ(r.out, want);
    EXPECT_EQ(r.status, c.records.empty() ? 1 : 0);
    EXPECT_EQ(r.err, "");
}

INSTANTIATE_TEST_SUITE_P(Cases, Scan, ::testing::ValuesIn(cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ScanOutput, RecordsOfSuccessiveFilesAreNotGlued) {
    TempDir dir;
    Disc disc(dir.path);
    disc.block({{"one", "no newline cat"}, {"two", std::string("cat\0tail", 8)}, {"three", "cat\n"}});
    disc.entry("cat", one_block_entry(probe("cat", 101).r16, 0));
    disc.write();
    Result r = run_tarvex(dir.path, {"CAT"});
    EXPECT_EQ(r.out, disc.paths[0] + ": no newline cat\n" + disc.paths[1] + ": cat\n" + disc.paths[2] +
                         ": cat\n");
    EXPECT_EQ(r.status, 0);
}

}  // namespace
