// The command line, the index reader and the probe, through the real binary.
#include <cstddef>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"

namespace {

using namespace testing_support;

const char usage[] =
    "usage: tarvex <word>\n"
    "       Search a CDROM for all files containing\n"
    "       the specified word.\n";

// An integrity failure's one line, whatever the line number of the check.
std::string failure(const std::string& file, const std::string& cond) {
    return file + ":#: failed assertion `" + cond + "'\n";
}
std::string masked(const std::string& err) {
    return std::regex_replace(err, std::regex(":[0-9]+: failed assertion"), ":#: failed assertion");
}

// A small valid disc: one block of two files, "widget" indexed as kind 1.
struct Fixture {
    TempDir dir;
    Disc disc{dir.path};
    Fixture() {
        disc.block({{"docs/a.txt", "A Widget here\nnothing\n"}, {"b.txt", "widgets too\n"}});
        disc.entry("widget", one_block_entry(probe("widget", 101).r16, 0));
    }
    std::vector<uint8_t> bytes() const { return disc.image().bytes; }
};

TEST(Usage, WrongArgumentCounts) {
    TempDir dir;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, std::vector<std::string>{"a", "b"}}) {
        Result r = run_tarvex(dir.path, args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, usage);
        EXPECT_EQ(r.out, "");
    }
}

TEST(Usage, WordTooLongIsRejectedBeforeTheIndexOpens) {
    TempDir dir;  // no index: a word that got as far as the open would say so
    Result r = run_tarvex(dir.path, {std::string(256, 'a')});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tarvex: word too long: 256 bytes, at most 255\n");
    EXPECT_EQ(r.out, "");

    Result fits = run_tarvex(dir.path, {std::string(255, 'a')});
    EXPECT_EQ(fits.err, "cannot open utils/tarvex.dat: No such file or directory\n");
}

TEST(Index, MissingIndex) {
    TempDir dir;
    Result r = run_tarvex(dir.path, {"widget"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "cannot open utils/tarvex.dat: No such file or directory\n");
    EXPECT_EQ(r.out, "");
}

TEST(Index, UnreadableIndexIsAReadFailure) {
    TempDir dir;
    make_dirs(dir.path + "/utils/tarvex.dat");  // a directory opens, but does not read
    Result r = run_tarvex(dir.path, {"widget"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "read failed: Is a directory\n");
}

struct Damage {
    const char* name;
    void (*apply)(std::vector<uint8_t>&);
    const char* cond;
};

// Sets the header field at (its offsetof in file_header, the file's layout).
void set_field(std::vector<uint8_t>& b, size_t at, uint32_t v) { indexlib::put32(b, at, v); }

const Damage header_damage[] = {
    {"header_size", [](std::vector<uint8_t>& b) { set_field(b, offsetof(file_header, header_size), 81); },
     "hdr.header_size == sizeof(hdr)"},
    {"big_endian", [](std::vector<uint8_t>& b) {
         for (size_t i = 0; i < 80; i += 4) {
             std::swap(b[i], b[i + 3]);
             std::swap(b[i + 1], b[i + 2]);
         }
     },
     "hdr.header_size == sizeof(hdr)"},
    {"filesize_plus_one", [](std::vector<uint8_t>& b) {
         set_field(b, offsetof(file_header, filesize), static_cast<uint32_t>(b.size() + 1));
     },
     "hdr.filesize == lseek(fd, 0L, SEEK_END)"},
    {"filesize_minus_one", [](std::vector<uint8_t>& b) {
         set_field(b, offsetof(file_header, filesize), static_cast<uint32_t>(b.size() - 1));
     },
     "hdr.filesize == lseek(fd, 0L, SEEK_END)"},
    {"short_header", [](std::vector<uint8_t>& b) { b.resize(40); },
     "read(fd, &hdr, sizeof(hdr)) == sizeof(hdr)"},
    {"empty_file", [](std::vector<uint8_t>& b) { b.clear(); },
     "read(fd, &hdr, sizeof(hdr)) == sizeof(hdr)"},
    {"hash_prime_zero", [](std::vector<uint8_t>& b) { set_field(b, offsetof(file_header, hash_prime), 0); },
     "hdr.hash_prime != 0"},
    {"hash_prime_beyond_file", [](std::vector<uint8_t>& b) {
         set_field(b, offsetof(file_header, hash_prime), 0x7FFFFFFF);
     },
     "hash table inside the file"},
    {"hash_prime_huge_unsigned", [](std::vector<uint8_t>& b) {
         set_field(b, offsetof(file_header, hash_prime), 0xFFFFFFFB);
     },
     "hash table inside the file"},
    {"hash_table_past_end", [](std::vector<uint8_t>& b) {
         set_field(b, offsetof(file_header, hash_table_offset), static_cast<uint32_t>(b.size() - 4));
     },
     "hash table inside the file"},
    {"hash_table_negative", [](std::vector<uint8_t>& b) {
         set_field(b, offsetof(file_header, hash_table_offset), 0xFFFFFFF0);
     },
     "hash table inside the file"},
};

void PrintTo(const Damage& d, std::ostream* os) { *os << d.name; }

class HeaderDamage : public ::testing::TestWithParam<Damage> {};

TEST_P(HeaderDamage, EndsWithItsIntegrityFailure) {
    Fixture f;
    std::vector<uint8_t> bytes = f.bytes();
    GetParam().apply(bytes);
    write_index(f.dir.path, bytes);
    Result r = run_tarvex(f.dir.path, {"widget"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(masked(r.err), failure("index.cpp", GetParam().cond));
    EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(Rows, HeaderDamage, ::testing::ValuesIn(header_damage),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Index, FieldsTheSearchDoesNotConsultMayHoldAnything) {
    Fixture f;
    std::vector<uint8_t> bytes = f.bytes();
    for (size_t at : {offsetof(file_header, magic), offsetof(file_header, num_words), offsetof(file_header, num_dirs),
                      offsetof(file_header, strings_size), offsetof(file_header, hash_table_size),
                      offsetof(file_header, bytes_per_bitmap), offsetof(file_header, filelists_size),
                      offsetof(file_header, bitmaps_size), offsetof(file_header, strings_offset),
                      offsetof(file_header, filelists_offset), offsetof(file_header, bitmaps_offset)})
        set_field(bytes, at, 0xDEADBEEF);
    write_index(f.dir.path, bytes);
    Result r = run_tarvex(f.dir.path, {"widget"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, f.disc.paths[0] + ": A Widget here\n" + f.disc.paths[1] + ": widgets too\n");
}

TEST(Driver, CaseOfTheArgumentDoesNotMatter) {
    Fixture f;
    f.disc.write();
    Result lower = run_tarvex(f.dir.path, {"widget"});
    Result upper = run_tarvex(f.dir.path, {"WIDGET"});
    Result mixed = run_tarvex(f.dir.path, {"Widget"});
    EXPECT_EQ(lower.status, 0);
    EXPECT_NE(lower.out, "");
    EXPECT_EQ(upper.out, lower.out);
    EXPECT_EQ(mixed.out, lower.out);
    EXPECT_EQ(mixed.status, 0);
    EXPECT_EQ(lower.out.find("sorry"), std::string::npos);
}

TEST(Driver, WordNotIndexed) {
    Fixture f;
    f.disc.write();
    Result r = run_tarvex(f.dir.path, {"gadget"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "sorry, no match\n");
    EXPECT_EQ(r.err, "");
}

TEST(Driver, IndexedButInNoLine) {
    Fixture f;
    f.disc.entry("nothere", one_block_entry(probe("nothere", 101).r16, 0));
    f.disc.write();
    Result r = run_tarvex(f.dir.path, {"nothere"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "sorry, no match\n");
}

TEST(Driver, EmptyWordMatchesNoLine) {
    Fixture f;
    f.disc.entry("", one_block_entry(probe("", 101).r16, 0));
    f.disc.write();
    Result r = run_tarvex(f.dir.path, {""});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "sorry, no match\n");
    EXPECT_EQ(r.err, "");
}

TEST(Driver, FullOutputIsAWriteFailure) {
    Fixture f;
    f.disc.write();
    // /dev/full takes the open but fails every write.
    std::string cmd = "cd '" + f.dir.path + "' && '" TARVEX_BIN "' widget >/dev/full 2>'" +
                      f.dir.path + "/err'";
    int st = system(cmd.c_str());
    EXPECT_EQ(WEXITSTATUS(st), 1);
    EXPECT_EQ(read_text(f.dir.path + "/err"), "tarvex: write failed: No space left on device\n");
}

// One block: a first file that prints far more than the output's buffers
// hold, so that a write fails while it is scanned, then candidates that a
// search going on would report at their turn (a file that is not there, a
// FIFO) and a last file that holds the word.
struct LaterCandidates {
    TempDir dir;
    Disc disc{dir.path};
    LaterCandidates() {
        std::string big;
        for (int i = 0; i < 4000; i++)
            big += "a widget on line " + std::to_string(i) + " of a file that fills the output\n";
        disc.block({{"big.txt", big}, {"gone.txt", "widget\n"}, {"fifo", ""}, {"after.txt", "widget\n"}});
        disc.entry("widget", one_block_entry(probe("widget", 101).r16, 0));
        disc.write();
        std::remove(disc.paths[1].c_str());
        std::remove(disc.paths[2].c_str());
        if (mkfifo(disc.paths[2].c_str(), 0644) != 0)
            ADD_FAILURE() << "mkfifo failed";
    }
};

// Runs "tarvex widget" in dir with standard output on out and SIGPIPE
// ignored, so that a write to a pipe without a reader fails with EPIPE; gives
// the exit status (128 + signal when killed) and standard error.
Result run_onto(const std::string& dir, int out) {
    RunOptions options;
    options.time_limit = 20;  // a search that goes on to the FIFO and waits fails the test
    options.out_file = "/dev/null";
    options.in_child = [out] {
        dup2(out, 1);
        signal(SIGPIPE, SIG_IGN);  // kept across exec
    };
    return run_binary(TARVEX_BIN, dir, {"widget"}, options);
}

TEST(Driver, FullOutputStopsTheSearchAtTheFailedWrite) {
    LaterCandidates f;
    int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    Result r = run_onto(f.dir.path, full);
    close(full);
    EXPECT_EQ(r.status, 1);
    // No "Cannot open" line: the candidates after the failure are never reached.
    EXPECT_EQ(r.err, "tarvex: write failed: No space left on device\n");
}

TEST(Driver, ClosedPipeStopsTheSearchAtTheFailedWrite) {
    LaterCandidates f;
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);  // the reader is gone before the search writes a byte
    Result r = run_onto(f.dir.path, ends[1]);
    close(ends[1]);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tarvex: write failed: Broken pipe\n");
}

// --- The probe ---

// A word (from a generated family) whose check values satisfy pred.
template <typename Pred>
std::string find_word(uint32_t prime, Pred pred) {
    for (int i = 0; i < 1000000; i++) {
        std::string w = "w" + std::to_string(i);
        if (pred(probe(w, prime)))
            return w;
    }
    ADD_FAILURE() << "no word found";
    return "w";
}

// A kind-1 entry that no word of these tests accepts: its 16-bit code is the
// word's plus one.
uint32_t other(const Probe& p) { return one_block_entry((p.r16 + 1) % 65521, 0); }

// Block 0 holds the right file for the word, block 1 a wrong one: a probe that
// stops on the wrong entry prints the wrong file.
struct ProbeFixture {
    TempDir dir;
    Disc disc{dir.path};
    std::string w;
    ProbeFixture(uint32_t prime, std::string word) : w(std::move(word)) {
        disc.block({{"right.txt", "right " + w + "\n"}});
        disc.block({{"wrong.txt", "wrong " + w + "\n"}});
        disc.tree.index.slots.assign(prime, 0);
    }
    void set(uint32_t slot, uint32_t v) { disc.tree.index.slots[slot] = v; }
    std::string right() const { return disc.paths[0] + ": right " + w + "\n"; }
    Result run() {
        disc.write();
        return run_tarvex(dir.path, {w});
    }
};

TEST(Probe, EmptyFirstSlotMeansNotIndexed) {
    std::string w = "widget";
    ProbeFixture f(7, w);
    Probe p = probe(w, 7);
    // Every other slot would accept the word: only the first may be read.
    for (uint32_t k = 0; k < 7; k++)
        if (k != p.slot)
            f.set(k, one_block_entry(p.r16, 0));
    Result r = f.run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "sorry, no match\n");
}

TEST(Probe, StepsGrowByOneFromRehash6AndWrap) {
    const uint32_t prime = 13;
    // A word whose first step wraps past the table's end and whose first three
    // slots differ.
    std::string w = find_word(prime, [](const Probe& p) {
        uint32_t k1 = (p.slot + p.r6) % prime, k2 = (k1 + p.r6 + 1) % prime;
        return p.slot + p.r6 % prime >= prime && k1 != p.slot && k2 != p.slot && k2 != k1;
    });
    Probe p = probe(w, prime);
    ProbeFixture f(prime, w);
    uint32_t k1 = (p.slot + p.r6) % prime, k2 = (k1 + p.r6 + 1) % prime;
    // Every slot off the word's sequence would accept it, for the wrong block.
    for (uint32_t k = 0; k < prime; k++)
        f.set(k, one_block_entry(p.r16, 1));
    f.set(p.slot, other(p));
    f.set(k1, other(p));
    f.set(k2, one_block_entry(p.r16, 0));
    Result r = f.run();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, f.right());
}

TEST(Probe, Rehash6ZeroReadsTheFirstSlotTwice) {
    // The sequence is k, k, k+1: with three slots the third probe finds the
    // entry at k+1; with two, the bound of two probes ends before it.
    for (uint32_t prime : {3u, 2u}) {
        std::string w = find_word(prime, [](const Probe& p) { return p.r6 == 0; });
        Probe p = probe(w, prime);
        ProbeFixture f(prime, w);
        for (uint32_t k = 0; k < prime; k++)
            f.set(k, other(p));
        f.set((p.slot + 1) % prime, one_block_entry(p.r16, 0));
        Result r = f.run();
        if (prime == 3) {
            EXPECT_EQ(r.status, 0) << w;
            EXPECT_EQ(r.out, f.right());
        } else {
            EXPECT_EQ(r.status, 1) << w;
            EXPECT_EQ(r.out, "sorry, no match\n");
        }
    }
}

TEST(Probe, KindOneIsTestedOnItsSixteenBitCodeOnly) {
    std::string w = "widget";
    Probe p = probe(w, 101);
    struct Row {
        uint32_t entry;
        bool accepted;
    } rows[] = {
        // Bits 29-28 are not examined.
        {one_block_entry(p.r16, 0) | 3u << 28, true},
        // Bits 29-24 equal rehash6, but the 16-bit code differs.
        {1u << 30 | (p.r6 >> 4) << 28 | ((p.r6 & 0xF) << 12 | ((p.r16 + 1) & 0xFFF)) << 12, false},
    };
    for (const Row& row : rows) {
        ASSERT_EQ(entry_rehash6(rows[1].entry), p.r6);
        ProbeFixture f(101, w);
        f.set(p.slot, row.entry);
        Result r = f.run();
        EXPECT_EQ(r.status, row.accepted ? 0 : 1) << std::hex << row.entry;
    }
}

TEST(Probe, OtherKindsAreTestedOnTheirSixBitCodeOnly) {
    std::string w = "widget";
    Probe p = probe(w, 101);
    // Bits 27-12 equal rehash16 but bits 29-24 differ from rehash6.
    uint32_t r6 = ((p.r6 >> 4) ^ 1) << 4 | (p.r16 >> 12 & 0xF);
    uint32_t refused = two_block_entry(r6, 0, p.r16 & 0xFFF);
    ASSERT_EQ(entry_rehash16(refused), p.r16);
    ASSERT_NE(entry_rehash6(refused), p.r6);
    for (auto [entry, accepted] : {std::pair{refused, false}, std::pair{two_block_entry(p.r6, 0, 0), true}}) {
        ProbeFixture f(101, w);
        f.set(p.slot, entry);
        Result r = f.run();
        EXPECT_EQ(r.status, accepted ? 0 : 1) << std::hex << entry << " " << r.err;
    }
}

TEST(Probe, BoundedOnATableWithNoEmptySlot) {
    const uint32_t prime = 5;
    std::string w = "widget";
    Probe p = probe(w, prime);
    ProbeFixture f(prime, w);
    for (uint32_t k = 0; k < prime; k++)
        f.set(k, other(p));
    Result r = f.run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "sorry, no match\n");
    EXPECT_EQ(r.err, "");
}

}  // namespace
