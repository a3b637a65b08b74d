#include "words.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// 256-bit code for the processors that have AVX2, chosen as the builder
// starts; the same words and keys either way.
#define TARVEX_AVX2 1
#include <immintrin.h>
#endif
// On aarch64 (little-endian) the 16-byte code runs on NEON vectors.
#if defined(__aarch64__) && defined(__ARM_NEON) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define TARVEX_NEON 1
#include <arm_neon.h>
#endif

#include "common.h"
#include "tarvex/open.h"
#include "indexlib/words.h"
#include "tarvex/hash.h"
#include "walk.h"

namespace builder {

#if defined(TARVEX_AVX2)
bool wide_vectors = __builtin_cpu_supports("avx2");
#else
bool wide_vectors = false;
#endif

namespace {

constexpr size_t binary_probe = 8192;
constexpr size_t pad = 64;

// Bytes to keep of the groups that a word ends in: keep_bytes + 16 - n holds
// n bytes of 0xFF (n up to 16), then zeros, in memory order on every host.
const unsigned char keep_bytes[32] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};   // and 16 zeros

// Word bytes map to themselves lower-cased in A to Z; other bytes to 0.
struct WordBytes {
    unsigned char map[256];
    WordBytes() {
        for (int c = 0; c < 256; c++)
            map[c] = indexlib::word_byte(static_cast<unsigned char>(c));
    }
};
const WordBytes word_bytes;

// Reads until n bytes are in buf or the file ends; -1 on a read error.
ssize_t read_at_least(int fd, char* buf, size_t room, size_t n) {
    size_t got = 0;
    while (got < n) {
        ssize_t r = read(fd, buf + got, room - got);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (r == 0)
            break;
        got += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

}  // namespace

namespace {

// Without O_NONBLOCK a file swapped for a FIFO since the walk would hold the
// open for ever; without O_NOFOLLOW one swapped for a symbolic link would be
// read from outside the tree.
constexpr int read_flags = O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;

// in if it is a regular file; else it is closed, -1 and why not.
int regular_or_close(int in, std::string& why) {
    if (in < 0) {
        why = strerror(errno);
        return -1;
    }
    struct stat st;
    const bool stated = fstat(in, &st) == 0;
    if (!stated || !S_ISREG(st.st_mode)) {
        why = stated ? not_regular_text(st.st_mode) : strerror(errno);
        close(in);
        return -1;
    }
    return in;
}

}  // namespace

int open_regular(int dir_fd, const std::string& rel, std::string& why) {
    return regular_or_close(open_below(dir_fd, rel, read_flags), why);
}

// The files of a block mostly share a directory: it is opened once, and each
// file by its name in it, not by its whole path from DIR.
int BlockWords::open_file(int dir_fd, const std::string& rel) {
    const size_t slash = rel.rfind('/');
    if (slash == std::string::npos)
        return open_regular(dir_fd, rel, why_);
    if (parent_fd_ < 0 || parent_of_ != dir_fd || rel.compare(0, slash, parent_) != 0) {
        if (parent_fd_ >= 0)
            close(parent_fd_);
        parent_.assign(rel, 0, slash);
        parent_of_ = dir_fd;
        parent_fd_ = open_below(dir_fd, parent_, O_PATH | O_DIRECTORY | O_CLOEXEC);
        // What cannot be opened so is left to the whole path, and its error.
        if (parent_fd_ < 0)
            return open_regular(dir_fd, rel, why_);
    }
    return regular_or_close(openat(parent_fd_, rel.c_str() + slash + 1, read_flags), why_);
}

BlockWords::~BlockWords() {
    if (parent_fd_ >= 0)
        close(parent_fd_);
}

FileStatus probe_file(int dir_fd, const std::string& rel) {
    std::string why;
    const int in = open_regular(dir_fd, rel, why);
    if (in < 0)
        return file_unreadable;
    char buf[binary_probe];
    ssize_t got = read_at_least(in, buf, sizeof buf, sizeof buf);
    close(in);
    if (got < 0)
        return file_unreadable;
    return memchr(buf, 0, static_cast<size_t>(got)) ? file_binary : file_indexed;
}

// ---- the words of a block --------------------------------------------------------

BlockWords::BlockWords(size_t read_size, size_t kept_slots)
    : read_size_(read_size), kept_slots_(kept_slots), slots_(min_slots), slot_word_(min_slots) {}

size_t BlockWords::kept_slots_for(int threads) {
    size_t kept = max_kept_slots;
    while (kept > (size_t{1} << 18) && kept * static_cast<size_t>(std::max(threads, 1)) > (size_t{1} << 21))
        kept /= 2;
    return kept;
}

void BlockWords::clear() {
    if (slots_.size() > kept_slots_) {
        // A block of very many words (a huge file) leaves no large table
        // behind.
        std::vector<Slot>(min_slots).swap(slots_);
        std::vector<uint32_t>(min_slots).swap(slot_word_);
        slot_mask_ = min_slots - 1;
        std::vector<Word>().swap(words_);
        std::vector<uint64_t>().swap(keys_);
        std::vector<char>().swap(text_);
        std::vector<Slot>().swap(moved_);
        text_end_ = 0;
        return;
    }
    for (const Word& w : words_)
        slots_[w.slot] = Slot{};
    // The next block starts small again, so that its slots stay in the
    // cache; the room stays, its pages already in.
    slot_mask_ = min_slots - 1;
    words_.clear();
    keys_.clear();
    text_end_ = 0;
}

namespace {

#if defined(__SSE2__)
// Sixteen bytes at a time: word bytes lower-cased, every other byte 0.
inline __m128i lower16(__m128i c) {
    const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80));
    // c - lo below hi - lo + 1, unsigned: a signed compare of both shifted by 0x80.
    auto in = [&](unsigned char lo, unsigned char hi) {
        const __m128i x = _mm_sub_epi8(c, _mm_set1_epi8(static_cast<char>(lo)));
        return _mm_cmplt_epi8(_mm_xor_si128(x, flip), _mm_set1_epi8(static_cast<char>((hi - lo + 1) ^ 0x80)));
    };
    const __m128i upper = in('A', 'Z');
    const __m128i word = _mm_or_si128(
        _mm_or_si128(upper, in('a', 'z')),
        _mm_or_si128(_mm_or_si128(in('0', '9'), _mm_cmpeq_epi8(c, _mm_set1_epi8('_'))),
                     _mm_cmplt_epi8(c, _mm_setzero_si128())));
    return _mm_and_si128(_mm_add_epi8(c, _mm_and_si128(upper, _mm_set1_epi8(32))), word);
}
#endif

#if defined(TARVEX_NEON)
// lower16 on NEON.
inline uint8x16_t lower16(uint8x16_t c) {
    auto in = [&](unsigned char lo, unsigned char hi) {
        return vcleq_u8(vsubq_u8(c, vdupq_n_u8(lo)), vdupq_n_u8(static_cast<unsigned char>(hi - lo)));
    };
    const uint8x16_t upper = in('A', 'Z');
    const uint8x16_t word = vorrq_u8(vorrq_u8(upper, in('a', 'z')),
                                     vorrq_u8(vorrq_u8(in('0', '9'), vceqq_u8(c, vdupq_n_u8('_'))),
                                              vcgeq_u8(c, vdupq_n_u8(0x80))));
    return vandq_u8(vaddq_u8(c, vandq_u8(upper, vdupq_n_u8(32))), word);
}

// Bit i for each byte i of the 64 in q[0..3] that is not 0. NEON has no
// movemask: each byte keeps its bit of its group of eight, and three rounds
// of pairwise sums gather the groups into the low 8 bytes, in order.
inline uint64_t nonzero_mask(const uint8x16_t q[4]) {
    const uint8x16_t bit = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    uint8x16_t b[4];
    for (int i = 0; i < 4; i++)
        b[i] = vandq_u8(vtstq_u8(q[i], q[i]), bit);
    uint8x16_t s = vpaddq_u8(vpaddq_u8(b[0], b[1]), vpaddq_u8(b[2], b[3]));
    s = vpaddq_u8(s, s);
    return vgetq_lane_u64(vreinterpretq_u64_u8(s), 0);
}
#endif

#if defined(TARVEX_AVX2)
// The bytes of c from lo to hi: c - lo below hi - lo + 1, unsigned.
__attribute__((target("avx2"))) inline __m256i in32(__m256i c, unsigned char lo, unsigned char hi) {
    const __m256i flip = _mm256_set1_epi8(static_cast<char>(0x80));
    const __m256i x = _mm256_sub_epi8(c, _mm256_set1_epi8(static_cast<char>(lo)));
    return _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>((hi - lo + 1) ^ 0x80)), _mm256_xor_si256(x, flip));
}

// lower16 on 32 bytes.
__attribute__((target("avx2"))) inline __m256i lower32(__m256i c) {
    const __m256i upper = in32(c, 'A', 'Z');
    const __m256i word = _mm256_or_si256(
        _mm256_or_si256(upper, in32(c, 'a', 'z')),
        _mm256_or_si256(_mm256_or_si256(in32(c, '0', '9'), _mm256_cmpeq_epi8(c, _mm256_set1_epi8('_'))),
                        _mm256_cmpgt_epi8(_mm256_setzero_si256(), c)));
    return _mm256_and_si256(_mm256_add_epi8(c, _mm256_and_si256(upper, _mm256_set1_epi8(32))), word);
}

__attribute__((target("avx2"))) void lower_words_avx2(unsigned char* p, size_t chunks, uint64_t* masks) {
    for (size_t k = 0; k < chunks; k++, p += 64) {
        uint64_t m = 0;
        for (int q = 0; q < 2; q++) {
            const __m256i c = lower32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * q)));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + 32 * q), c);
            const auto other = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(c, _mm256_setzero_si256())));
            m |= uint64_t{~other} << (32 * q);
        }
        masks[k] = m;
    }
}
#endif

// Lowers word bytes in place and turns the others to 0, 64 bytes at a time,
// and gives each 64 bytes a mask of their word bytes (bit i for byte i).
void lower_words(unsigned char* p, size_t chunks, uint64_t* masks) {
#if defined(TARVEX_AVX2)
    if (wide_vectors) {
        lower_words_avx2(p, chunks, masks);
        return;
    }
#endif
    for (size_t k = 0; k < chunks; k++, p += 64) {
        uint64_t m = 0;
#if defined(__SSE2__)
        for (int q = 0; q < 4; q++) {
            const __m128i c = lower16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * q)));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16 * q), c);
            const auto other = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(c, _mm_setzero_si128())));
            m |= uint64_t{~other & 0xFFFFu} << (16 * q);
        }
#elif defined(TARVEX_NEON)
        uint8x16_t c[4];
        for (int q = 0; q < 4; q++) {
            c[q] = lower16(vld1q_u8(p + 16 * q));
            vst1q_u8(p + 16 * q, c[q]);
        }
        m = nonzero_mask(c);
#else
        const unsigned char* map = word_bytes.map;
        for (int i = 0; i < 64; i++) {
            p[i] = map[p[i]];
            m |= uint64_t{p[i] != 0} << i;
        }
#endif
        masks[k] = m;
    }
}

// The end of the run of word bytes that goes on at i: the masks end in one
// with no word byte.
inline size_t run_end(const uint64_t* masks, size_t i) {
    size_t k = i / 64;
    uint64_t other = ~masks[k] >> (i % 64);
    if (other != 0)
        return i + static_cast<size_t>(__builtin_ctzll(other));
    while (masks[++k] == ~uint64_t{0}) {
    }
    return k * 64 + static_cast<size_t>(__builtin_ctzll(~masks[k]));
}

}  // namespace

namespace {

// The group of 8 bytes at word + i, the bytes past the word's len masked off
// (the buffer goes on for at least eight bytes past it).
inline uint64_t group(const unsigned char* word, size_t len, size_t i) {
    uint64_t v;
    memcpy(&v, word + i, 8);
    if (len - i < 8) {
        uint64_t m;
        memcpy(&m, keep_bytes + 16 - (len - i), 8);
        v &= m;
    }
    return v;
}

}  // namespace

inline BlockWords::Queued BlockWords::queued(const unsigned char* word, size_t len) const {
    // The first 16 bytes masked by one clamp of the length, not a branch (on
    // a length under 8 one is mispredicted often; the buffer goes on for 64
    // bytes past any word), the rest eight at a time.
    uint64_t head, second, keep_head, keep_second;
    memcpy(&head, word, 8);
    memcpy(&second, word + 8, 8);
    const unsigned char* const keep = keep_bytes + 16 - std::min<size_t>(len, 16);
    memcpy(&keep_head, keep, 8);
    memcpy(&keep_second, keep + 8, 8);
    head &= keep_head;
    second &= keep_second;
    // The two products are independent, so they overlap. Each factor has its
    // high bits folded down first, so that every bit of the text reaches the
    // product's high half, which is kept. The zeros past a word's end tell
    // its length.
    uint64_t f = (head ^ head >> 29) * 0x9E3779B97F4A7C15ull ^ (second ^ second >> 29) * 0xC4CEB9FE1A85EC53ull;
    for (size_t i = 16; i < len; i += 8) {
        const uint64_t g = group(word, len, i);
        f = (f ^ f >> 29 ^ g ^ g >> 29) * 0xFF51AFD7ED558CCDull;
    }
    const auto text_hash = static_cast<uint32_t>(f >> 32);
    __builtin_prefetch(&slots_[text_hash & slot_mask_]);
    return {word, static_cast<uint32_t>(len), text_hash, head, second};
}

// Most words are met again in the first slot they look at: that path is
// inlined where the words are found, and the rest (probing on, a new word, a
// word of 16 bytes or more) is a call.
inline void BlockWords::add(const Queued& x) {
    const Slot& slot = slots_[x.text_hash & slot_mask_];
    if (slot.head == x.head && slot.second == x.second && x.len < 16)
        return;
    add_probing(x);
}

FileStatus BlockWords::add_file(int dir_fd, const std::string& rel, const std::string& shown_dir, int64_t& bytes) {
    bytes = 0;
    const int in = open_file(dir_fd, rel);
    if (in < 0)
        return file_unreadable;
    // Laid out as: room for the start of a word that the last read cut off,
    // the read, and zeros after it to the end of its last 64 bytes and 64
    // more, so that every run of word bytes ends in the buffer.
    const size_t room = std::max(read_size_, binary_probe);
    if (buf_.empty()) {
        buf_.assign(max_word + room + pad, 0);
        masks_.assign((max_word + room) / 64 + 1, 0);
    }
    auto* const base = reinterpret_cast<unsigned char*>(buf_.data());
    size_t kept = 0;          // a word's start carried over from the last read
    bool long_run = false;    // the last read ended inside a run too long for a word
    bool first = true, eof = false;
    Queued ring[queue_size];
    size_t in_ring = 0, out_of_ring = 0;   // words queued and added
    auto add_queued = [&] {
        for (; out_of_ring != in_ring; out_of_ring++)
            add(ring[out_of_ring % queue_size]);
    };
    while (!eof) {
        // The first read fills the binary probe's 8 KiB unless the file ends.
        // A read of a regular file that returns less than asked for has met
        // its end: no further read is needed to learn it.
        unsigned char* const at = base + kept;
        size_t got = 0;
        while (got < (first ? binary_probe : 1) && !eof) {
            const size_t ask = std::min(read_size_, room - got);
            ssize_t r = read(in, at + got, ask);
            if (r < 0) {
                if (errno == EINTR)
                    continue;
                int e = errno;
                close(in);
                fail("cannot read " + shown_dir + "/" + rel + ": " + strerror(e));
            }
            eof = static_cast<size_t>(r) < ask;
            got += static_cast<size_t>(r);
        }
        if (first && memchr(at, 0, std::min(got, binary_probe)) != nullptr) {
            close(in);
            return file_binary;
        }
        first = false;
        bytes += static_cast<int64_t>(got);
        const size_t len = kept + got;
        memset(base + len, 0, pad);
        // The carried word's bytes are lowered again, which keeps them.
        const size_t chunks = len / 64 + 1;
        uint64_t* const masks = masks_.data();
        lower_words(base, chunks, masks);
        // A word begins at a word byte after another byte (or at 0).
        uint64_t before = 0;   // the last byte of the previous 64 is a word byte
        if (long_run) {
            const size_t e = run_end(masks, 0);
            long_run = e == len && !eof;
            before = 1;
        }
        // A run that ends here may go on in the next read, unless the file
        // has ended.
        const size_t open_end = eof ? SIZE_MAX : len;
        kept = 0;
        bool cut = false;
        for (size_t k = 0; k < chunks && !cut; k++) {
            const uint64_t m = masks[k];
            for (uint64_t starts = m & ~(m << 1 | before); starts != 0; starts &= starts - 1) {
                const size_t s = k * 64 + static_cast<size_t>(__builtin_ctzll(starts));
                const size_t e = run_end(masks, s);
                if (e == open_end) {
                    if (e - s > max_word) {
                        long_run = true;
                    } else {
                        add_queued();
                        memmove(base, base + s, e - s);
                        kept = e - s;
                    }
                    cut = true;
                    break;
                }
                if (e - s <= max_word) {
                    ring[in_ring++ % queue_size] = queued(base + s, e - s);
                    if (in_ring - out_of_ring == queue_size)
                        add(ring[out_of_ring++ % queue_size]);
                }
            }
            before = m >> 63;
        }
        // The queued words point into the buffer.
        add_queued();
    }
    close(in);
    return file_indexed;
}

__attribute__((noinline)) void BlockWords::add_probing(const Queued& x) {
    const unsigned char* const word = x.word;
    const size_t len = x.len;
    const uint64_t head = x.head, second = x.second;
    const uint32_t text_hash = x.text_hash;
    const size_t mask = slot_mask_;
    for (size_t k = text_hash & mask;; k = (k + 1) & mask) {
        const Slot& slot = slots_[k];
        if (slot.head == 0) {
            // The text kept with zeros after it up to a multiple of 8, so
            // that compares take whole 8-byte groups; the first zero ends it
            // for the hash. Whole groups are written, the first two always,
            // and past the end there is room for the hash's reads.
            const size_t groups = (len + 8) / 8 * 8;
            if (text_end_ + groups + max_word + 24 > text_.size())
                text_.resize(std::max(2 * text_.size(), text_end_ + groups + max_word + 24));
            const auto text_at = static_cast<uint32_t>(text_end_);
            char* const t = text_.data() + text_at;
            memcpy(t, &head, 8);
            memcpy(t + 8, &second, 8);
            for (size_t i = 16; i < groups; i += 8) {
                const uint64_t g = group(word, len, i);
                memcpy(t + i, &g, 8);
            }
            text_end_ += groups;
            words_.push_back({text_at, static_cast<uint32_t>(len), static_cast<uint32_t>(k), text_hash});
            slots_[k] = {head, second};
            slot_word_[k] = static_cast<uint32_t>(words_.size());
            if (words_.size() * 2 > slot_mask_ + 1)
                grow();
            return;
        }
        if (slot.head != head || slot.second != second)
            continue;
        // Up to 15 bytes, the first zero in the 16 ends both words at the
        // same place; 16 bytes or more may be the start of a longer word.
        if (len < 16)
            return;
        const Word& w = words_[slot_word_[k] - 1];
        if (w.len != len || w.text_hash != text_hash)
            continue;
        const char* t = text_.data() + w.text_at;
        bool same = true;
        for (size_t i = 16; i < len && same; i += 8) {
            uint64_t a;
            memcpy(&a, t + i, 8);
            same = a == group(word, len, i);
        }
        if (same)
            return;
    }
}

const std::vector<uint64_t>& BlockWords::keys() {
    hash_new_words();
    return keys_;
}

namespace {

// Sixteen words hashed side by side: their texts (each with at least 24
// zero bytes readable past the longest's end) and lengths; h and r come out.
constexpr size_t lanes = 16;
struct Lanes {
    const unsigned char* s[lanes];
    uint32_t len[lanes];
    uint32_t longest, shortest;
    uint32_t h[lanes], r[lanes];
};

#if defined(__SSE2__)
// Bytes base to base + 15 of four lanes, turned into sixteen vectors: out[p]
// holds byte base + p of each lane, one lane in each 32 bits.
inline void columns(const unsigned char* const* s, uint32_t base, __m128i out[16]) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s[0] + base));
    const __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s[1] + base));
    const __m128i a2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s[2] + base));
    const __m128i a3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s[3] + base));
    const __m128i t01lo = _mm_unpacklo_epi8(a0, a1), t23lo = _mm_unpacklo_epi8(a2, a3);
    const __m128i t01hi = _mm_unpackhi_epi8(a0, a1), t23hi = _mm_unpackhi_epi8(a2, a3);
    // Each q holds four places, the four lanes' bytes of each together.
    const __m128i q[4] = {_mm_unpacklo_epi16(t01lo, t23lo), _mm_unpackhi_epi16(t01lo, t23lo),
                          _mm_unpacklo_epi16(t01hi, t23hi), _mm_unpackhi_epi16(t01hi, t23hi)};
    for (int k = 0; k < 4; k++) {
        const __m128i lo = _mm_unpacklo_epi8(q[k], zero), hi = _mm_unpackhi_epi8(q[k], zero);
        out[4 * k] = _mm_unpacklo_epi16(lo, zero);
        out[4 * k + 1] = _mm_unpackhi_epi16(lo, zero);
        out[4 * k + 2] = _mm_unpacklo_epi16(hi, zero);
        out[4 * k + 3] = _mm_unpackhi_epi16(hi, zero);
    }
}

inline __m128i select(__m128i on, __m128i a, __m128i b) {
    return _mm_or_si128(_mm_and_si128(on, a), _mm_andnot_si128(on, b));
}

// hash_pass1 and hash_pass2 on four lanes at once; every shift count is the
// same in all lanes.
inline __m128i pass1(__m128i h, __m128i c, uint32_t i) {
    const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(i % 32));
    h = _mm_add_epi32(h, _mm_add_epi32(_mm_sll_epi32(c, shift), c));
    return _mm_xor_si128(h, _mm_srl_epi32(h, shift));
}

inline __m128i pass2(__m128i h, __m128i c) {
    h = _mm_add_epi32(_mm_slli_epi32(h, 4), c);
    const __m128i g = _mm_and_si128(h, _mm_set1_epi32(static_cast<int>(0xF0000000u)));
    h = _mm_xor_si128(h, g);
    return _mm_xor_si128(h, _mm_srli_epi32(g, 24));
}

void hash_lanes_sse2(Lanes& x) {
    constexpr int n = lanes / 4;
    __m128i h[n], r[n], len[n];
    for (int v = 0; v < n; v++) {
        for (int l = 0; l < 4; l++)
            x.h[4 * v + l] = hash_start(x.s[4 * v + l]);
        h[v] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x.h + 4 * v));
        r[v] = h[v];
        len[v] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x.len + 4 * v));
    }
    __m128i c[n][16];
    for (uint32_t base = 0; base < x.longest; base += 16) {
        for (int v = 0; v < n; v++)
            columns(x.s + 4 * v, base, c[v]);
        for (uint32_t p = 0; p < 16 && base + p < x.longest; p++) {
            const uint32_t i = base + p;
            const __m128i at = _mm_set1_epi32(static_cast<int>(i));
            for (int v = 0; v < n; v++)
                h[v] = select(_mm_cmpgt_epi32(len[v], at), pass1(h[v], c[v][p], i), h[v]);
        }
    }
    for (uint32_t base = 0; base < x.longest; base += 16) {
        for (int v = 0; v < n; v++)
            columns(x.s + 4 * v, base, c[v]);
        for (uint32_t p = 0; p < 16 && base + p < x.longest; p++) {
            const __m128i at = _mm_set1_epi32(static_cast<int>(base + p));
            for (int v = 0; v < n; v++) {
                const __m128i on = _mm_cmpgt_epi32(len[v], at), next = pass2(h[v], c[v][p]);
                h[v] = select(on, next, h[v]);
                r[v] = _mm_xor_si128(r[v], _mm_and_si128(on, next));
            }
        }
    }
    for (int v = 0; v < n; v++) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(x.h + 4 * v), h[v]);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(x.r + 4 * v), r[v]);
    }
}
#endif

#if defined(TARVEX_AVX2)
// The same with eight lanes a vector, for processors that have AVX2: each
// 128-bit half works as the four-lane code does, lanes 0 to 3 in the low
// half and 4 to 7 in the high one.
__attribute__((target("avx2"))) inline void columns8(const unsigned char* const* s, uint32_t base, __m256i out[16]) {
    const __m256i zero = _mm256_setzero_si256();
    __m256i a[4];
    for (int k = 0; k < 4; k++)
        a[k] = _mm256_set_m128i(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s[4 + k] + base)),
                                _mm_loadu_si128(reinterpret_cast<const __m128i*>(s[k] + base)));
    const __m256i t01lo = _mm256_unpacklo_epi8(a[0], a[1]), t23lo = _mm256_unpacklo_epi8(a[2], a[3]);
    const __m256i t01hi = _mm256_unpackhi_epi8(a[0], a[1]), t23hi = _mm256_unpackhi_epi8(a[2], a[3]);
    const __m256i q[4] = {_mm256_unpacklo_epi16(t01lo, t23lo), _mm256_unpackhi_epi16(t01lo, t23lo),
                          _mm256_unpacklo_epi16(t01hi, t23hi), _mm256_unpackhi_epi16(t01hi, t23hi)};
    for (int k = 0; k < 4; k++) {
        const __m256i lo = _mm256_unpacklo_epi8(q[k], zero), hi = _mm256_unpackhi_epi8(q[k], zero);
        out[4 * k] = _mm256_unpacklo_epi16(lo, zero);
        out[4 * k + 1] = _mm256_unpackhi_epi16(lo, zero);
        out[4 * k + 2] = _mm256_unpacklo_epi16(hi, zero);
        out[4 * k + 3] = _mm256_unpackhi_epi16(hi, zero);
    }
}

__attribute__((target("avx2"))) void hash_lanes_avx2(Lanes& x) {
    constexpr int n = lanes / 8;
    __m256i h[n], r[n], len[n];
    for (int v = 0; v < n; v++) {
        for (int l = 0; l < 8; l++)
            x.h[8 * v + l] = hash_start(x.s[8 * v + l]);
        h[v] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x.h + 8 * v));
        r[v] = h[v];
        len[v] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x.len + 8 * v));
    }
    const __m256i top = _mm256_set1_epi32(static_cast<int>(0xF0000000u));
    // The lanes hold words of about the same length: up to the shortest's
    // end every lane takes every step, and no lane's values need keeping.
    __m256i c[n][16];
    for (uint32_t base = 0; base < x.longest; base += 16) {
        for (int v = 0; v < n; v++)
            columns8(x.s + 8 * v, base, c[v]);
        for (uint32_t p = 0; p < 16 && base + p < x.longest; p++) {
            const uint32_t i = base + p;
            const __m256i at = _mm256_set1_epi32(static_cast<int>(i));
            const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(i % 32));
            for (int v = 0; v < n; v++) {
                __m256i next = _mm256_add_epi32(h[v], _mm256_add_epi32(_mm256_sll_epi32(c[v][p], shift), c[v][p]));
                next = _mm256_xor_si256(next, _mm256_srl_epi32(next, shift));
                h[v] = i < x.shortest ? next : _mm256_blendv_epi8(h[v], next, _mm256_cmpgt_epi32(len[v], at));
            }
        }
    }
    for (uint32_t base = 0; base < x.longest; base += 16) {
        // Words of up to 16 bytes still have their columns from the first pass.
        if (x.longest > 16)
            for (int v = 0; v < n; v++)
                columns8(x.s + 8 * v, base, c[v]);
        for (uint32_t p = 0; p < 16 && base + p < x.longest; p++) {
            const uint32_t i = base + p;
            const __m256i at = _mm256_set1_epi32(static_cast<int>(i));
            for (int v = 0; v < n; v++) {
                __m256i next = _mm256_add_epi32(_mm256_slli_epi32(h[v], 4), c[v][p]);
                const __m256i g = _mm256_and_si256(next, top);
                next = _mm256_xor_si256(_mm256_xor_si256(next, g), _mm256_srli_epi32(g, 24));
                if (i < x.shortest) {
                    h[v] = next;
                    r[v] = _mm256_xor_si256(r[v], next);
                } else {
                    const __m256i on = _mm256_cmpgt_epi32(len[v], at);
                    h[v] = _mm256_blendv_epi8(h[v], next, on);
                    r[v] = _mm256_xor_si256(r[v], _mm256_and_si256(on, next));
                }
            }
        }
    }
    for (int v = 0; v < n; v++) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(x.h + 8 * v), h[v]);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(x.r + 8 * v), r[v]);
    }
}
#endif

void hash_lanes(Lanes& x) {
#if defined(TARVEX_AVX2)
    if (wide_vectors) {
        hash_lanes_avx2(x);
        return;
    }
#endif
#if defined(__SSE2__)
    hash_lanes_sse2(x);
#else
    for (size_t l = 0; l < lanes; l++) {
        x.h[l] = hash_start(x.s[l]);
        x.r[l] = x.h[l];
    }
    for (uint32_t i = 0; i < x.longest; i++)
        for (size_t l = 0; l < lanes; l++) {
            const uint32_t next = hash_pass1(x.h[l], x.s[l][i], i);
            x.h[l] = i < x.len[l] ? next : x.h[l];
        }
    for (uint32_t i = 0; i < x.longest; i++)
        for (size_t l = 0; l < lanes; l++) {
            const uint32_t next = hash_pass2(x.h[l], x.s[l][i]);
            x.h[l] = i < x.len[l] ? next : x.h[l];
            x.r[l] ^= i < x.len[l] ? next : 0;
        }
#endif
}

}  // namespace

// The hash is a chain of dependent steps per byte, too slow for one word at
// a time: words of about the same length go eight at a time side by side, so
// that their steps overlap and share vector instructions. A lane past its
// word's end keeps its values.
void BlockWords::hash_new_words() {
    const size_t from = keys_.size(), n = words_.size();
    if (from == n)
        return;
    keys_.resize(n);
    uint32_t at[max_word + 2] = {};
    for (size_t w = from; w < n; w++)
        at[words_[w].len + 1]++;
    for (int len = 0; len <= max_word; len++)
        at[len + 1] += at[len];
    by_length_.resize(n - from);
    for (size_t w = from; w < n; w++)
        by_length_[at[words_[w].len]++] = static_cast<uint32_t>(w);
    // The lanes read up to 16 bytes at a time past the longest word of
    // their sixteen: add_probing() leaves room for that after the text.
    constexpr size_t slack = max_word + 24;
    static const unsigned char none[slack] = {};
    const auto* const text = reinterpret_cast<const unsigned char*>(text_.data());
    for (size_t g = 0; g < by_length_.size(); g += lanes) {
        const size_t here = std::min(lanes, by_length_.size() - g);
        Lanes x;
        for (size_t l = 0; l < here; l++) {
            const Word& w = words_[by_length_[g + l]];
            x.s[l] = text + w.text_at;
            x.len[l] = w.len;
        }
        for (size_t l = here; l < lanes; l++) {
            x.s[l] = none;
            x.len[l] = 0;
        }
        // by_length_ goes from the shortest word to the longest.
        x.shortest = here < lanes ? 0 : x.len[0];
        x.longest = x.len[here - 1];
        hash_lanes(x);
        for (size_t l = 0; l < here; l++)
            keys_[by_length_[g + l]] = word_key(x.h[l], x.r[l]);
    }
}

void BlockWords::grow() {
    // Ordinary pages: asking for huge ones makes the system compact memory
    // first, which costs more than a block's table saves. The table doubles
    // in place: every slot but the words' is empty, up to the room's end.
    const size_t size = 2 * (slot_mask_ + 1);
    if (slots_.size() < size) {
        slots_.resize(size);
        slot_word_.resize(size);
    }
    moved_.resize(words_.size());
    for (size_t i = 0; i < words_.size(); i++) {
        moved_[i] = slots_[words_[i].slot];
        slots_[words_[i].slot] = Slot{};
    }
    const size_t mask = size - 1;
    for (size_t i = 0; i < words_.size(); i++) {
        Word& w = words_[i];
        size_t k = w.text_hash & mask;
        while (slots_[k].head != 0)
            k = (k + 1) & mask;
        slots_[k] = moved_[i];
        slot_word_[k] = static_cast<uint32_t>(i + 1);
        w.slot = static_cast<uint32_t>(k);
    }
    slot_mask_ = mask;
}
}  // namespace builder
