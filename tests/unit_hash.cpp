#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "hash.h"
#include "index.h"

namespace {

struct HashCase {
    const char* word;
    uint32_t h, r, r6, r16;
};

class HashFigures : public ::testing::TestWithParam<HashCase> {};

TEST_P(HashFigures, MatchTheIndexFormat) {
    const HashCase& c = GetParam();
    uint32_t h = 1, r = 1;
    hash_word(c.word, &h, &r);
    EXPECT_EQ(h, c.h);
    EXPECT_EQ(r, c.r);
    EXPECT_EQ(rehash6_of(r), c.r6);
    EXPECT_EQ(rehash16_of(r), c.r16);

    hdr.hash_prime = 1000003;
    uint32_t slot = hash2(c.word);
    EXPECT_EQ(slot, c.h % 1000003);
    EXPECT_EQ(rehash6, static_cast<int32_t>(c.r6));
    EXPECT_EQ(rehash16, static_cast<int32_t>(c.r16));
}

INSTANTIATE_TEST_SUITE_P(
    Words, HashFigures,
    ::testing::Values(HashCase{"abc", 3487619, 5714880, 34, 14553},
                      HashCase{"a", 97, 6357089, 35, 1552},
                      // Positions 32 and up shift by 0 to 9 again, and h is
                      // cleared once more at position 32.
                      HashCase{"abcdefghijklmnopqrstuvwxyzabcdefghijklmnop", 130215456, 136724651,
                               44, 47845},
                      HashCase{"", 0, 0, 0, 0}));

TEST(Hash, BytesAbove127AreUnsigned) {
    // "\xe9" taken as a signed char would give a negative starting value.
    uint32_t h, r;
    hash_word("\xe9", &h, &r);
    EXPECT_EQ(r, 0xE9u * 65536u ^ 0xE9u);
    EXPECT_EQ(h, 0xE9u);
}

TEST(Hash, FirstSlotIsUnsignedRemainder) {
    uint32_t h, r;
    hash_word("abc", &h, &r);
    hdr.hash_prime = 7;
    EXPECT_EQ(hash2("abc"), 3487619u % 7);
    hdr.hash_prime = static_cast<int32_t>(4294967291u);  // taken unsigned
    EXPECT_EQ(hash2("abc"), 3487619u);
}

}  // namespace
