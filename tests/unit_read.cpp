#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

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

}  // namespace
