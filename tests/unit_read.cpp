#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "index.h"
#include "support.h"

namespace {

using testing_support::TempDir;

int open_bytes(const TempDir& dir, const std::vector<uint8_t>& bytes) {
    std::string p = dir.path + "/bytes";
    EXPECT_TRUE(indexlib::write_file(p, bytes));
    return open(p.c_str(), O_RDONLY);
}

TEST(Read, SwapConvertsEachFourByteGroupOnItsOwn) {
    TempDir dir;
    int f = open_bytes(dir, {0x01, 0x02, 0x03, 0x04, 0xF0, 0xFF, 0xFF, 0xFF});
    int32_t v[2];
    EXPECT_EQ(Read(f, v, 8, 1), 8);
    EXPECT_EQ(v[0], 0x04030201);
    EXPECT_EQ(v[1], -16);
    close(f);
}

TEST(Read, RawReadKeepsBytes) {
    TempDir dir;
    int f = open_bytes(dir, {0x01, 0x02, 0x03, 0x04});
    unsigned char b[4];
    EXPECT_EQ(Read(f, b, 4, 0), 4);
    EXPECT_EQ(b[0], 0x01);
    EXPECT_EQ(b[3], 0x04);
    close(f);
}

TEST(Read, ShortReadClearsTheRest) {
    TempDir dir;
    int f = open_bytes(dir, {0x41, 0x42, 0x43});
    unsigned char b[8];
    memset(b, 0xAA, sizeof(b));
    EXPECT_EQ(Read(f, b, 8, 0), 3);
    EXPECT_EQ(b[2], 0x43);
    for (int i = 3; i < 8; i++)
        EXPECT_EQ(b[i], 0) << i;
    close(f);
}

TEST(Read, RejectsBadCounts) {
    unsigned char b[8];
    EXPECT_EXIT(Read(0, b, 0, 0), ::testing::ExitedWithCode(2),
                "^index.cpp:[0-9]+: failed assertion `n > 0'\n$");
    EXPECT_EXIT(Read(0, b, 6, 1), ::testing::ExitedWithCode(2),
                "^index.cpp:[0-9]+: failed assertion `swap == 0 \\|\\| \\(n & 3\\) == 0'\n$");
}

TEST(Read, ReadErrorEndsWithStatus1) {
    unsigned char b[4];
    EXPECT_EXIT(Read(-1, b, 4, 0), ::testing::ExitedWithCode(1),
                "^read failed: Bad file descriptor\n$");
}

// Read_at as the search uses it, on an index file of its own: fd, the file's
// size and a fresh open, as open_index would leave them.
struct IndexBytes {
    TempDir dir;
    std::vector<uint8_t> bytes;
    explicit IndexBytes(size_t size, uint32_t seed) {
        std::mt19937 rng(seed);
        for (size_t i = 0; i < size; i++)
            bytes.push_back(static_cast<uint8_t>(rng()));
        fd = open_bytes(dir, bytes);
        hdr.filesize = static_cast<int32_t>(size);
        index_opened++;
    }
    ~IndexBytes() { close(fd); }
    // What a read of n bytes at offset must give: the file's bytes up to its
    // end, zeros after.
    void expect_read(int64_t offset, int32_t n) const {
        std::vector<unsigned char> got(static_cast<size_t>(n), 0xAA);
        int64_t have = static_cast<int64_t>(bytes.size()) - offset;
        int32_t want = have < n ? static_cast<int32_t>(have) : n;
        ASSERT_EQ(Read_at(offset, got.data(), n, 0), want) << offset << " " << n;
        for (int32_t i = 0; i < n; i++)
            ASSERT_EQ(got[i], i < want ? bytes[offset + i] : 0) << offset << " " << n << " " << i;
    }
};

// Each row follows the one before, so that the kept windows are crossed,
// reached back into, outrun and cut short by the end of the file.
TEST(ReadAt, GivesTheFileBytesInEveryOrder) {
    IndexBytes f(20000, 1);
    const std::pair<int64_t, int32_t> rows[] = {
        {5000, 300}, {5300, 300}, {4000, 4}, {3900, 300}, {8000, 300},  // a window and back
        {8900, 300}, {9000, 300}, {12000, 300}, {12290, 40},            // past its end
        {0, 80}, {19990, 300}, {19700, 300}, {20000, 4}, {19999, 4},   // the end of the file
        {16000, 4}, {12000, 300}, {5000, 300}, {100, 2049}, {17000, 3000},  // more than fit
        {1, 1}, {4095, 2}, {4096, 4}, {2048, 2048}, {6000, 512},
    };
    for (auto [offset, n] : rows)
        f.expect_read(offset, n);
    std::mt19937 rng(7);
    for (int i = 0; i < 5000; i++) {
        int64_t offset = rng() % 20001;
        auto n = static_cast<int32_t>(1 + rng() % (i % 10 == 0 ? 3000 : 300));
        f.expect_read(offset, n);
    }
}

TEST(ReadAt, SwapsAsReadDoes) {
    IndexBytes f(64, 2);
    int32_t v[2];
    ASSERT_EQ(Read_at(8, v, 8, 1), 8);
    EXPECT_EQ(static_cast<uint32_t>(v[0]), le32(f.bytes.data() + 8));
    EXPECT_EQ(static_cast<uint32_t>(v[1]), le32(f.bytes.data() + 12));
}

// A window belongs to the open that read it: another index at the same
// offsets gives its own bytes.
TEST(ReadAt, AnotherOpenIsReadAfresh) {
    auto first = std::make_unique<IndexBytes>(9000, 3);
    first->expect_read(1000, 300);
    first->expect_read(8800, 300);
    first.reset();
    IndexBytes second(9000, 4);
    second.expect_read(1000, 300);
    second.expect_read(8800, 300);
}

TEST(ReadAt, ReadErrorEndsWithStatus1) {
    TempDir dir;
    fd = open(dir.path.c_str(), O_RDONLY);
    hdr.filesize = 100000;
    index_opened++;
    unsigned char b[300];
    EXPECT_EXIT(Read_at(5000, b, 300, 0), ::testing::ExitedWithCode(1),
                "^read failed: Is a directory\n$");
    close(fd);
}

}  // namespace
