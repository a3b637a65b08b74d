// Pins the builder's bytes for one generated tree: the real tarvex-index on a
// tree made the same way on every host, the index file's digest compared to
// a constant. CI runs it on x86-64, on s390x (big-endian) and on aarch64, so a
// build whose bytes depend on the host's byte order, word size or libraries
// fails there. A deliberate change of the builder's output changes the
// digest: the failure prints the new one to put in golden_digest.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"

namespace {

using namespace testing_support;

// The digest of the index built from golden_tree with --mount /golden.
constexpr uint64_t golden_digest = 0x6a7f349f22dde4f6;
constexpr size_t golden_size = 10540;
// The same with the areas held to 3072 bytes, so that entries are
// widened over several levels of coarsening: which ones, and how far, is
// pinned too.
constexpr uint64_t widened_digest = 0xf9274f07668cb8e6;
constexpr size_t widened_size = 9196;

// FNV-1a, 64 bits.
uint64_t fnv1a(const std::string& bytes) {
    uint64_t h = 0xcbf29ce484222325;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 0x100000001b3;
    }
    return h;
}

std::string hex64(uint64_t x) {
    char b[24];
    snprintf(b, sizeof b, "0x%016llx", static_cast<unsigned long long>(x));
    return b;
}

// A generator of its own: the standard's distributions may differ between
// libraries, this one gives the same numbers everywhere.
struct Numbers {
    uint64_t state;
    uint32_t next() {
        state = state * 6364136223846793005u + 1442695040888963407u;
        return static_cast<uint32_t>(state >> 33);
    }
    uint32_t below(uint32_t n) { return next() % n; }
};

// Six directories (one name with a blank, one with a UTF-8 byte), 150 text
// files whose words range from one file to nearly all of them (so that the
// index holds entries of all four kinds), long lines, CRLF lines, upper case,
// an empty file and a binary one that is skipped. Returns the number of
// indexed files.
int golden_tree(const std::string& root) {
    Numbers rng{20261210};
    const std::string letters = "abcdefghijklmnopqrstuvwxyz0123456789_";
    std::vector<std::string> vocabulary;
    for (int i = 0; i < 400; i++) {
        std::string w = i % 25 == 24 ? "\xc3\xa9" : "";
        w += letters[rng.below(26)];
        for (uint32_t n = 4 + rng.below(5); w.size() < n;)
            w += letters[rng.below(static_cast<uint32_t>(letters.size()))];
        vocabulary.push_back(w + std::to_string(i));  // no word is another's prefix
    }
    const std::vector<std::string> dirs = {"", "docs", "docs/deep", "src", "src/two words", "z\xc3\xa9ta"};
    const int files = 150;
    for (int f = 0; f < files; f++) {
        const std::string& d = dirs[rng.below(static_cast<uint32_t>(dirs.size()))];
        char name[32];
        snprintf(name, sizeof name, "file%03d.txt", f);
        std::string text;
        for (uint32_t lines = 1 + rng.below(25); lines > 0; lines--) {
            uint32_t n = rng.below(12) == 0 ? 60 : 1 + rng.below(9);  // some lines over 255 bytes
            for (uint32_t i = 0; i < n; i++) {
                // Skewed: low numbers, the common words, come up far more often.
                uint32_t a = rng.below(300), b = rng.below(300), c = rng.below(300);
                std::string w = vocabulary[a * b / 300 * c / 300];
                if (rng.below(6) == 0)
                    for (char& ch : w)
                        if (ch >= 'a' && ch <= 'z')
                            ch = static_cast<char>(ch - 32);
                text += w;
                text += i + 1 < n ? (rng.below(3) == 0 ? ", " : " ") : "";
            }
            // One of the 100 rare words in most files.
            if (rng.below(3) == 0)
                text += " " + vocabulary[300 + rng.below(100)];
            text += rng.below(10) == 0 ? "\r\n" : "\n";
        }
        write_text(root + (d.empty() ? "" : "/" + d) + "/" + name, text);
    }
    write_text(root + "/docs/empty.txt", "");
    write_text(root + "/src/binary.dat", std::string("ELF\0\1\2", 6) + vocabulary[0] + "\n");
    return files + 1;
}

// The index's bytes against the pinned digest and size, named name in
// golden_builder.cpp.
void expect_pinned(const std::string& bytes, uint64_t want_digest, size_t want_size, const std::string& name) {
    const uint64_t digest = fnv1a(bytes);
    EXPECT_TRUE(digest == want_digest && bytes.size() == want_size)
        << "the builder's bytes for the " << name << " tree changed: index of " << bytes.size()
        << " bytes, FNV-1a 64 " << hex64(digest) << " (expected " << want_size << " bytes, "
        << hex64(want_digest) << ").\nIf the change is meant, set in tests/golden_builder.cpp:\n"
        << "constexpr uint64_t " << name << "_digest = " << hex64(digest) << ";\n"
        << "constexpr size_t " << name << "_size = " << bytes.size() << ";";
}

uint32_t le32(const std::string& s, size_t at) {
    auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(s[at + i])); };
    return b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24;
}

TEST(GoldenBuilder, AGeneratedTreeGivesTheSameBytesOnEveryHost) {
    TempDir dir;
    int indexed = golden_tree(dir.path);
    Result built = run_binary(TARVEX_INDEX_BIN, dir.path, {"-q", "--mount", "/golden", "."});
    ASSERT_EQ(built.status, 0) << built.err;
    const std::string bytes = read_text(dir.path + "/utils/tarvex.dat");
    ASSERT_GT(bytes.size(), 64u);

    // The tree is what it was meant to be: every indexed file, and entries
    // of all four kinds in the hash table (header words 8 and 17: its size
    // and offset).
    EXPECT_EQ(le32(bytes, 4 * 5), static_cast<uint32_t>(indexed));
    const uint32_t prime = le32(bytes, 4 * 8), at = le32(bytes, 4 * 17);
    ASSERT_LE(at + 4 * static_cast<uint64_t>(prime), bytes.size());
    int kinds[4] = {};
    for (uint32_t k = 0; k < prime; k++) {
        uint32_t x = le32(bytes, at + 4 * size_t{k});
        if (x != 0)
            kinds[x >> 30]++;
    }
    for (int k = 0; k < 4; k++)
        EXPECT_GT(kinds[k], 0) << "no entry of kind " << k;

    expect_pinned(bytes, golden_digest, golden_size, "golden");
}

TEST(GoldenBuilder, AWidenedTreeGivesTheSameBytesOnEveryHost) {
    TempDir dir;
    golden_tree(dir.path);
    Result built = run_binary(TARVEX_INDEX_BIN, dir.path,
                              {"--area-limit", "3072", "--mount", "/golden", "."});
    ASSERT_EQ(built.status, 0) << built.err;
    const size_t widened = built.out.find(" words widened");
    ASSERT_NE(widened, std::string::npos) << built.out;
    const size_t count = built.out.rfind(' ', widened - 1) + 1;
    EXPECT_GT(std::stoul(built.out.substr(count, widened - count)), 10u) << built.out;
    expect_pinned(read_text(dir.path + "/utils/tarvex.dat"), widened_digest, widened_size, "widened");
}

}  // namespace

