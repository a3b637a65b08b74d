// The occurrence search: where in the scan's buffer the word starts. Three of
// its rarest bytes are looked for a vector at a time, and the whole word is
// compared only where all three are there. The loops are inline here so that
// they compile into the scan's own loop.
//
// The search takes AVX2 where the processor has it, else SSE2;
// TARVEX_SSE2_SCAN leaves out the first and TARVEX_PORTABLE_SCAN both, for a
// plain loop. On aarch64 it takes NEON (TARVEX_PORTABLE_SCAN: the plain
// loop); other processors have the plain loop.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__) && !defined(TARVEX_PORTABLE_SCAN)
#include <emmintrin.h>
// On x86-64 a 32-byte search is compiled beside the 16-byte one and taken
// when the processor has AVX2; TARVEX_SSE2_SCAN leaves it out.
#if defined(__x86_64__) && !defined(TARVEX_SSE2_SCAN) && (defined(__GNUC__) || defined(__clang__))
#define TARVEX_WIDE_SCAN 1
#include <immintrin.h>
#endif
#endif
// On aarch64 (little-endian) the same search runs on 16-byte NEON vectors.
#if defined(__aarch64__) && defined(__ARM_NEON) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ && \
    !defined(TARVEX_PORTABLE_SCAN)
#define TARVEX_NEON_SCAN 1
#include <arm_neon.h>
#endif

#include "tarvex.h"

// The word, A to Z folded, and the three of its bytes the search looks for:
// byte key_at[k] is looked for as (x | key_or[k]) == key_is[k], which takes
// both cases of a letter with one compare. Set by prepare_key.
extern unsigned char key[word_size];
extern unsigned char key_case[word_size];  // 0x20 where key holds a letter
extern size_t key_len;
constexpr int looked_for = 3;
extern size_t key_at[looked_for];
extern unsigned char key_or[looked_for], key_is[looked_for];
#if defined(__SSE2__) && !defined(TARVEX_PORTABLE_SCAN)
extern __m128i vec_or[looked_for], vec_is[looked_for];  // the same, in every lane
#endif
#ifdef TARVEX_NEON_SCAN
extern uint8x16_t vec_or[looked_for], vec_is[looked_for];  // the same, in every lane
#endif
#ifdef TARVEX_WIDE_SCAN
extern bool wide;  // the processor has AVX2
#endif

static inline unsigned char fold(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c | 0x20) : c;
}

enum scan_kind { never_matches, anywhere, at_piece_end };

// Sets the key from word, and tells how the word can match: a piece holds at
// most one newline, as its last byte, so a word with a newline can only match
// as the tail of a piece that ends with one (its own or the one a cut adds),
// and a word with a newline before its end never.
scan_kind prepare_key();

// Does the word start at s? Eight bytes at a time where it is that long, the
// last group overlapping the one before.
static inline bool key_at_pos(const unsigned char* s) {
    if (key_len < 8) {
        for (size_t i = 0; i < key_len; i++)
            if ((s[i] | key_case[i]) != key[i])
                return false;
        return true;
    }
    uint64_t x, m, k;
    for (size_t i = 0;; i += 8) {
        if (i + 8 > key_len)
            i = key_len - 8;
        memcpy(&x, s + i, 8);
        memcpy(&m, key_case + i, 8);
        memcpy(&k, key + i, 8);
        if ((x | m) != k)
            return false;
        if (i + 8 == key_len)
            return true;
    }
}

#if (defined(__SSE2__) && !defined(TARVEX_PORTABLE_SCAN)) || defined(TARVEX_NEON_SCAN)
// The first position q + i, bit i << shift set in bits, where the word really
// starts: the vector compares only look at three of its bytes.
static inline bool first_at(const unsigned char* b, size_t q, uint64_t bits, size_t* at,
                            int shift = 0) {
    for (; bits != 0; bits &= bits - 1) {
        size_t c = q + (static_cast<size_t>(std::countr_zero(bits)) >> shift);
        if (key_at_pos(b + c)) {
            *at = c;
            return true;
        }
    }
    return false;
}
#endif

#if defined(__SSE2__) && !defined(TARVEX_PORTABLE_SCAN)
// Lane i is set where byte key_at[k] of an occurrence at i is there.
static inline __m128i byte_there(const unsigned char* p, __m128i o, __m128i is) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    return _mm_cmpeq_epi8(_mm_or_si128(x, o), is);
}
#endif

#ifdef TARVEX_NEON_SCAN
// Lane i is set where byte key_at[k] of an occurrence at i is there.
static inline uint8x16_t byte_there(const unsigned char* p, uint8x16_t o, uint8x16_t is) {
    return vceqq_u8(vorrq_u8(vld1q_u8(p), o), is);
}

// NEON has no movemask: the 16 lanes of a compare, each 0 or 0xff, narrowed
// to four bits each (bits 4i to 4i + 3 for lane i) in one shift-and-narrow.
static inline uint64_t lane_nibbles(uint8x16_t m) {
    return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(m), 4)), 0);
}

// The lanes of a compare for first_at: one bit each, lane i at bit 4i + 3.
static inline uint64_t lane_bits(uint8x16_t m) { return lane_nibbles(m) & 0x8888888888888888u; }

// Looks for the word 64 positions at a time, then 16 at a time, from *at
// while that many are left before to: true with *at on the first occurrence,
// or false with *at where fewer than 16 are left.
static inline bool next_occurrence_neon(const unsigned char* b, size_t* at, size_t to) {
    const unsigned char* p0 = b + key_at[0];
    const unsigned char* p1 = b + key_at[1];
    const unsigned char* p2 = b + key_at[2];
    const uint8x16_t or0 = vec_or[0], is0 = vec_is[0];
    const uint8x16_t or1 = vec_or[1], is1 = vec_is[1];
    const uint8x16_t or2 = vec_or[2], is2 = vec_is[2];
    auto there = [&](size_t q) {
        return vandq_u8(vandq_u8(byte_there(p0 + q, or0, is0), byte_there(p1 + q, or1, is1)),
                        byte_there(p2 + q, or2, is2));
    };
    size_t q = *at;
    while (q + 64 <= to) {
        uint8x16_t m0 = there(q), m1 = there(q + 16), m2 = there(q + 32), m3 = there(q + 48);
        if (lane_nibbles(vorrq_u8(vorrq_u8(m0, m1), vorrq_u8(m2, m3))) != 0) {
            const uint8x16_t m[4] = {m0, m1, m2, m3};
            for (size_t i = 0; i < 4; i++)
                if (first_at(b, q + 16 * i, lane_bits(m[i]), at, 2))
                    return true;
        }
        q += 64;
    }
    for (; q + 16 <= to; q += 16)
        if (first_at(b, q, lane_bits(there(q)), at, 2))
            return true;
    *at = q;
    return false;
}
#endif

#ifdef TARVEX_WIDE_SCAN
static inline __attribute__((target("avx2"))) __m256i byte_there_wide(const unsigned char* p,
                                                                       __m256i o, __m256i is) {
    __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    return _mm256_cmpeq_epi8(_mm256_or_si256(x, o), is);
}

// Looks for the word 64 positions at a time from *at while 64 are left before
// to: true with *at on the first occurrence, or false with *at where fewer
// than 64 are left. Compiled for AVX2 alone, so it stays a call of its own.
static inline __attribute__((target("avx2"))) bool next_occurrence_wide(const unsigned char* b,
                                                                         size_t* at, size_t to) {
    const unsigned char* p0 = b + key_at[0];
    const unsigned char* p1 = b + key_at[1];
    const unsigned char* p2 = b + key_at[2];
    const __m256i or0 = _mm256_set1_epi8(static_cast<char>(key_or[0]));
    const __m256i is0 = _mm256_set1_epi8(static_cast<char>(key_is[0]));
    const __m256i or1 = _mm256_set1_epi8(static_cast<char>(key_or[1]));
    const __m256i is1 = _mm256_set1_epi8(static_cast<char>(key_is[1]));
    const __m256i or2 = _mm256_set1_epi8(static_cast<char>(key_or[2]));
    const __m256i is2 = _mm256_set1_epi8(static_cast<char>(key_is[2]));
    size_t q = *at;
    while (q + 64 <= to) {
        __m256i lo = _mm256_and_si256(
            _mm256_and_si256(byte_there_wide(p0 + q, or0, is0), byte_there_wide(p1 + q, or1, is1)),
            byte_there_wide(p2 + q, or2, is2));
        __m256i hi = _mm256_and_si256(_mm256_and_si256(byte_there_wide(p0 + q + 32, or0, is0),
                                                       byte_there_wide(p1 + q + 32, or1, is1)),
                                      byte_there_wide(p2 + q + 32, or2, is2));
        if (!_mm256_testz_si256(_mm256_or_si256(lo, hi), _mm256_or_si256(lo, hi))) {
            uint64_t bits = static_cast<uint32_t>(_mm256_movemask_epi8(lo)) |
                            static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(hi)))
                                << 32;
            if (first_at(b, q, bits, at))
                return true;
        }
        q += 64;
    }
    *at = q;
    return false;
}
#endif

// The first q in [from, to) where the word starts, or to; the bytes up to
// q + key_len - 1 must be in the buffer for every such q.
static inline size_t next_occurrence(const unsigned char* b, size_t from, size_t to) {
    size_t q = from;
#ifdef TARVEX_WIDE_SCAN
    if (wide && next_occurrence_wide(b, &q, to))
        return q;
#endif
#ifdef TARVEX_NEON_SCAN
    if (next_occurrence_neon(b, &q, to))
        return q;
#endif
    const unsigned char* p0 = b + key_at[0];
    const unsigned char* p1 = b + key_at[1];
    const unsigned char* p2 = b + key_at[2];
#if defined(__SSE2__) && !defined(TARVEX_PORTABLE_SCAN)
    const __m128i or0 = vec_or[0], is0 = vec_is[0];
    const __m128i or1 = vec_or[1], is1 = vec_is[1];
    const __m128i or2 = vec_or[2], is2 = vec_is[2];
    while (q + 32 <= to) {
        __m128i lo = _mm_and_si128(_mm_and_si128(byte_there(p0 + q, or0, is0),
                                                 byte_there(p1 + q, or1, is1)),
                                   byte_there(p2 + q, or2, is2));
        __m128i hi = _mm_and_si128(_mm_and_si128(byte_there(p0 + q + 16, or0, is0),
                                                 byte_there(p1 + q + 16, or1, is1)),
                                   byte_there(p2 + q + 16, or2, is2));
        if (_mm_movemask_epi8(_mm_or_si128(lo, hi)) != 0) {
            auto bits = static_cast<uint32_t>(_mm_movemask_epi8(lo)) |
                        static_cast<uint32_t>(_mm_movemask_epi8(hi)) << 16;
            size_t c;
            if (first_at(b, q, bits, &c))
                return c;
        }
        q += 32;
    }
#endif
    for (; q < to; q++)
        if ((p0[q] | key_or[0]) == key_is[0] && (p1[q] | key_or[1]) == key_is[1] &&
            (p2[q] | key_or[2]) == key_is[2] && key_at_pos(b + q))
            return q;
    return to;
}
