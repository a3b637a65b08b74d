// The words of a block: reading files into words, each block's distinct words
// with their keys.
//
// The search never sees a word's text, only its hash values h and r (see
// tarvex/hash.h): two words with the same values are one word to it. So a
// word is kept as those values, packed into one key (h << 32 | r), with the
// set of blocks it occurs in, and nothing per occurrence. The text lives only
// while one block is read, to tell the block's words apart.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace builder {

inline uint64_t word_key(uint32_t h, uint32_t r) { return uint64_t{h} << 32 | r; }
inline uint32_t key_h(uint64_t key) { return static_cast<uint32_t>(key >> 32); }
inline uint32_t key_r(uint64_t key) { return static_cast<uint32_t>(key); }

// Whether reading uses 256-bit vectors: set where the processor has them
// (AVX2); tests clear it to try the narrower code, which finds the same.
extern bool wide_vectors;

// Status of a file as read.
enum FileStatus : uint8_t { file_indexed = 0, file_binary = 1, file_unreadable = 2 };

// Opens rel below dir_fd for reading if it is a regular file, never waiting
// on what is not one; -1 and why not otherwise.
int open_regular(int dir_fd, const std::string& rel, std::string& why);

// Is the file rel below dir_fd indexable (a regular file, no NUL in its
// first 8 KiB, can be read)?
FileStatus probe_file(int dir_fd, const std::string& rel);

// The distinct words of one block as its files are read: each word once, in
// the order first met, with its key and its text. One per thread.
class BlockWords {
public:
    static constexpr size_t min_slots = size_t{1} << 14, max_kept_slots = size_t{1} << 20;
    // Files are read read_size bytes at a time (less only for tests, so that
    // words cross the reads' edges).
    static constexpr size_t default_read_size = size_t{1} << 20;
    // kept_slots: the largest table whose room is kept for the next blocks
    // (kept_slots_for gives it for a number of reading threads).
    explicit BlockWords(size_t read_size = default_read_size, size_t kept_slots = max_kept_slots);
    // The rooms of all reading threads together stay near 2^21 slots (about
    // 100 MiB with the words' records); a thread keeps 2^18 at least.
    static size_t kept_slots_for(int threads);
    ~BlockWords();
    BlockWords(const BlockWords&) = delete;
    BlockWords& operator=(const BlockWords&) = delete;
    // Forgets the words: a new block begins.
    void clear();
    // Reads the file rel below dir_fd (shown_dir/rel to the user) and adds
    // its words. A file with a NUL byte in its first 8 KiB is binary and adds
    // nothing; a file that cannot be opened, or is no longer a regular file,
    // adds nothing (why() tells why). A read error part way ends the run:
    // some words would be lost. bytes gets the bytes read.
    FileStatus add_file(int dir_fd, const std::string& rel, const std::string& shown_dir, int64_t& bytes);
    const std::string& why() const { return why_; }
    size_t size() const { return words_.size(); }
    const char* text(size_t i) const { return text_.data() + words_[i].text_at; }
    // The words' keys, in the words' order.
    const std::vector<uint64_t>& keys();

private:
    struct Word {   // its key is keys_ at the same place
        uint32_t text_at;
        uint32_t len;
        uint32_t slot;
        uint32_t text_hash;   // a fast hash of its text, for its slot
    };
    // A word's slot is fetched while the next words are found: add_file
    // keeps a ring of words whose slots were asked for (queued() gives what
    // a word needs), adding each queue_size words after it.
    struct Queued {
        const unsigned char* word;
        uint32_t len, text_hash;
        uint64_t head, second;
    };
    static constexpr size_t queue_size = 16;
    Queued queued(const unsigned char* word, size_t len) const;
    int open_file(int dir_fd, const std::string& rel);
    // The directory of the last file opened, below parent_of_.
    std::string parent_;
    int parent_of_ = -1, parent_fd_ = -1;
    void add(const Queued& x);
    void add_probing(const Queued& x);
    void grow();
    void hash_new_words();

    size_t read_size_;
    std::string why_;
    std::vector<char> buf_;
    std::vector<uint64_t> masks_;   // of buf_'s word bytes, 64 bytes a mask
    // A slot holds the word's first 16 bytes, zeros after its end: a word of
    // up to 15 bytes (word bytes are never 0) is told by them alone, and an
    // empty slot by a head of 0. Longer words are told apart by their
    // records, whose numbers (+ 1) slot_word_ keeps beside: only they read it,
    // so the slots stay small enough for the cache.
    struct Slot {
        uint64_t head = 0, second = 0;
    };
    // The slots in use are the first slot_mask_ + 1; the room past them is
    // kept empty for the table to double into. A room of up to kept_slots_
    // (with the words' records, about 50 MiB at 2^20) is kept for the next
    // blocks: faulting the tables of large blocks in anew was some 37,000 of
    // a kernel-tree build's 163,000 page faults.
    size_t kept_slots_;
    std::vector<Slot> slots_;
    std::vector<uint32_t> slot_word_;
    size_t slot_mask_ = min_slots - 1;
    std::vector<Slot> moved_;   // scratch for doubling
    std::vector<Word> words_;
    // Keys are found for many words at once: those of words_ from keys_.size()
    // on are yet to be found. by_length_ is scratch for that.
    std::vector<uint64_t> keys_;
    std::vector<uint32_t> by_length_;
    std::vector<char> text_;   // the words' texts up to text_end_, then room
    size_t text_end_ = 0;
};

}  // namespace builder
