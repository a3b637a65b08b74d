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

#include "common.h"
#include "tarvex/open.h"
#include "indexlib/huge_pages.h"
#include "indexlib/words.h"
#include "tarvex/hash.h"
#include "walk.h"

namespace builder {

namespace {

constexpr size_t binary_probe = 8192;
constexpr size_t pad = 64;

// Bytes to keep of an 8-byte group that a word ends in: keep_bytes + 8 - n
// holds n bytes of 0xFF, then zeros, in memory order on every host.
const unsigned char keep_bytes[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0};

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

int open_regular(int dir_fd, const std::string& rel, std::string& why) {
    // Without O_NONBLOCK a file swapped for a FIFO since the walk would hold
    // the open for ever; without O_NOFOLLOW one swapped for a symbolic link
    // would be read from outside the tree.
    const int in = open_below(dir_fd, rel, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
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

BlockWords::BlockWords(size_t read_size) : read_size_(read_size), slots_(1 << 14) {}

void BlockWords::clear() {
    if (slots_.size() > (1u << 18)) {
        // A block of many words (a large file) leaves no large table behind.
        std::vector<Slot>(1 << 14).swap(slots_);
        std::vector<Word>().swap(words_);
        std::vector<uint64_t>().swap(keys_);
        std::vector<char>().swap(text_);
        return;
    }
    for (const Word& w : words_)
        slots_[w.slot] = Slot{};
    words_.clear();
    keys_.clear();
    text_.clear();
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

// Lowers word bytes in place and turns the others to 0.
void lower_words(unsigned char* p, size_t n) {
    size_t i = 0;
#if defined(__SSE2__)
    for (; i + 16 <= n; i += 16) {
        __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + i), lower16(c));
    }
#endif
    const unsigned char* map = word_bytes.map;
    for (; i < n; i++)
        p[i] = map[p[i]];
}

// The next word byte at or after i, or end if none comes before it.
inline size_t next_word(const unsigned char* p, size_t i, size_t end) {
#if defined(__SSE2__)
    for (; i < end; i += 16) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const auto other = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(c, _mm_setzero_si128())));
        if (other != 0xFFFFu)
            return std::min(end, i + static_cast<size_t>(__builtin_ctz(~other)));
    }
    return end;
#else
    while (i < end && p[i] == 0)
        i++;
    return std::min(i, end);
#endif
}

// The end of the word that begins at i: the buffer holds a 0 after it.
inline size_t word_end(const unsigned char* p, size_t i) {
#if defined(__SSE2__)
    for (;; i += 16) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const auto other = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(c, _mm_setzero_si128())));
        if (other != 0)
            return i + static_cast<size_t>(__builtin_ctz(other));
    }
#else
    while (p[i] != 0)
        i++;
    return i;
#endif
}

}  // namespace

FileStatus BlockWords::add_file(int dir_fd, const std::string& rel, const std::string& shown_dir, int64_t& bytes) {
    bytes = 0;
    const int in = open_regular(dir_fd, rel, why_);
    if (in < 0)
        return file_unreadable;
    // Laid out as: room for the start of a word that the last read cut off,
    // the read, and zeros after it, so that every word ends in the buffer
    // and the scans by 16 bytes stop there.
    const size_t room = std::max(read_size_, binary_probe);
    if (buf_.empty())
        buf_.assign(max_word + room + pad, 0);
    auto* const base = reinterpret_cast<unsigned char*>(buf_.data());
    size_t kept = 0;          // a word's start carried over from the last read
    bool long_run = false;    // the last read ended inside a run too long for a word
    bool first = true, eof = false;
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
        lower_words(at, got);
        const size_t len = kept + got;
        memset(base + len, 0, pad);
        size_t i = 0;
        if (long_run) {
            i = word_end(base, 0);
            long_run = i == len && !eof;
        }
        kept = 0;
        for (;;) {
            const size_t s = next_word(base, i, len);
            if (s == len)
                break;
            const size_t e = word_end(base, s);
            if (e == len && !eof) {
                // The word may go on in the next read.
                if (e - s > max_word) {
                    long_run = true;
                } else {
                    add_queued();
                    memmove(base, base + s, e - s);
                    kept = e - s;
                }
                break;
            }
            if (e - s <= max_word)
                queue(base + s, e - s);
            i = e;
        }
        // The queued words point into the buffer.
        add_queued();
    }
    close(in);
    return file_indexed;
}

namespace {

// The group of 8 bytes at word + i, the bytes past the word's len masked off
// (the buffer goes on for at least eight bytes past it).
inline uint64_t group(const unsigned char* word, size_t len, size_t i) {
    uint64_t v;
    memcpy(&v, word + i, 8);
    if (len - i < 8) {
        uint64_t m;
        memcpy(&m, keep_bytes + 8 - (len - i), 8);
        v &= m;
    }
    return v;
}

}  // namespace

void BlockWords::queue(const unsigned char* word, size_t len) {
    // Eight bytes at a time. A slot holds a word's first eight bytes: a word
    // of fewer than eight bytes (word bytes are never 0, so a 0 ends it
    // there) is told by them alone, without its record.
    const uint64_t head = group(word, len, 0);
    uint64_t f = (len * 0x9E3779B97F4A7C15ull ^ head) * 0xFF51AFD7ED558CCDull;
    f ^= f >> 29;
    for (size_t i = 8; i < len; i += 8) {
        f = (f ^ group(word, len, i)) * 0xFF51AFD7ED558CCDull;
        f ^= f >> 29;
    }
    const auto text_hash = static_cast<uint32_t>(f ^ (f >> 32));
    __builtin_prefetch(&slots_[text_hash & (slots_.size() - 1)]);
    queued_[n_queued_++] = {word, static_cast<uint32_t>(len), text_hash, head};
    if (n_queued_ == queue_size)
        add_queued();
}

void BlockWords::add_queued() {
    for (size_t q = 0; q < n_queued_; q++) {
        const Queued& x = queued_[q];
        add(x.word, x.len, x.head, x.text_hash);
    }
    n_queued_ = 0;
}

void BlockWords::add(const unsigned char* word, size_t len, uint64_t head, uint32_t text_hash) {
    const size_t mask = slots_.size() - 1;
    for (size_t k = text_hash & mask;; k = (k + 1) & mask) {
        const Slot& slot = slots_[k];
        if (slot.word == 0) {
            // The text kept with zeros after it up to a multiple of 8, so
            // that compares take whole 8-byte groups; the first zero ends it
            // for the hash.
            const auto text_at = static_cast<uint32_t>(text_.size());
            text_.resize(text_at + (len + 8) / 8 * 8, 0);
            memcpy(text_.data() + text_at, word, len);
            uint32_t h, r;
            hash_word(text_.data() + text_at, &h, &r);
            uint64_t key = word_key(h, r);
            words_.push_back({text_at, static_cast<uint16_t>(len), static_cast<uint32_t>(k)});
            keys_.push_back(key);
            slots_[k] = {head, text_hash, static_cast<uint32_t>(words_.size())};
            if (words_.size() * 2 > slots_.size())
                grow();
            return;
        }
        if (slot.head != head)
            continue;
        if (len < 8)
            return;
        if (slot.text_hash != text_hash)
            continue;
        const Word& w = words_[slot.word - 1];
        if (w.len != len)
            continue;
        const char* t = text_.data() + w.text_at;
        bool same = true;
        for (size_t i = 8; i < len && same; i += 8) {
            uint64_t a;
            memcpy(&a, t + i, 8);
            same = a == group(word, len, i);
        }
        if (same)
            return;
    }
}

void BlockWords::grow() {
    std::vector<Slot> bigger;
    indexlib::reserve_huge(bigger, slots_.size() * 2);
    bigger.resize(slots_.size() * 2);
    const size_t mask = bigger.size() - 1;
    for (Word& w : words_) {
        const Slot& slot = slots_[w.slot];
        size_t k = slot.text_hash & mask;
        while (bigger[k].word != 0)
            k = (k + 1) & mask;
        bigger[k] = slot;
        w.slot = static_cast<uint32_t>(k);
    }
    slots_.swap(bigger);
}
}  // namespace builder
