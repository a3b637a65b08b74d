// The builder's reading of a block: every word of its files, lower-cased,
// each once, with the key the search's hash gives it. Checked against a
// plain byte-by-byte split of the same bytes, at read sizes that cut words
// (and runs too long for a word) at every place.
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "indexlib/words.h"
#include "support.h"
#include "tarvex-index/words.h"
#include "tarvex/hash.h"

namespace {

using testing_support::TempDir;
using testing_support::write_text;

// The text's words as the search sees them, with their keys.
void plain_words(const std::string& text, std::map<std::string, uint64_t>& out) {
    std::string run;
    auto end_run = [&] {
        if (!run.empty() && run.size() <= static_cast<size_t>(max_word)) {
            uint32_t h, r;
            hash_word(run.c_str(), &h, &r);
            out[run] = builder::word_key(h, r);
        }
        run.clear();
    };
    for (unsigned char c : text) {
        const unsigned char w = indexlib::word_byte(c);
        if (w)
            run += static_cast<char>(w);
        else
            end_run();
    }
    end_run();
}

// Words of every length from 1 to 300 bytes, of every kind of word byte and
// both cases, many repeated, between runs of other bytes; no NUL.
std::string made_text(unsigned seed, size_t words) {
    std::mt19937 rng(seed);
    const std::string word_bytes = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_\x80\xC3\xA9\xFF";
    const std::string other = " \t\n.,;(){}[]-+*/=<>!\"'#\x01\x7F";
    std::vector<std::string> pool;
    for (size_t len = 1; len <= 300; len++)
        for (int k = 0; k < 3; k++) {
            std::string w;
            for (size_t i = 0; i < len; i++)
                w += word_bytes[rng() % word_bytes.size()];
            pool.push_back(w);
        }
    std::string text;
    for (size_t i = 0; i < words; i++) {
        // Short words are the common ones.
        const size_t pick = rng() % 4 == 0 ? rng() % pool.size() : rng() % 60;
        std::string w = pool[pick];
        if (rng() % 3 == 0)
            for (char& c : w)
                c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        text += w;
        const size_t gap = 1 + rng() % 3;
        for (size_t g = 0; g < gap; g++)
            text += other[rng() % other.size()];
    }
    return text;
}

// Runs a check with the widest vectors the processor has, and again with
// the narrower code where they differ.
void each_width(const std::function<void()>& check) {
    const bool wide = builder::wide_vectors;
    check();
    if (wide) {
        builder::wide_vectors = false;
        check();
        builder::wide_vectors = true;
    }
}

TEST(BlockWords, EveryWordOnceWithItsKeyAtAnyReadSize) {
    each_width([] {
        TempDir dir;
        // A block of several files; the second starts inside a word's letters
        // of the first, the third is empty, the fourth ends in a word.
        const std::vector<std::string> texts = {made_text(1, 20000), made_text(2, 5000).substr(3), "",
                                                made_text(3, 3000) + "EndsInAWord"};
        std::map<std::string, uint64_t> want;
        for (size_t f = 0; f < texts.size(); f++) {
            write_text(dir.path + "/f" + std::to_string(f), texts[f]);
            plain_words(texts[f], want);
        }
        ASSERT_GT(want.size(), 500u);
        const int dir_fd = open(dir.path.c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(dir_fd, 0);
        for (size_t read_size : {size_t{1}, size_t{7}, size_t{64}, size_t{255}, size_t{256}, size_t{4096},
                                 builder::BlockWords::default_read_size}) {
            builder::BlockWords words(read_size);
            // A block read before is forgotten.
            int64_t bytes = 0;
            ASSERT_EQ(words.add_file(dir_fd, "f1", dir.path, bytes), builder::file_indexed);
            words.clear();
            int64_t total = 0;
            for (size_t f = 0; f < texts.size(); f++) {
                ASSERT_EQ(words.add_file(dir_fd, "f" + std::to_string(f), dir.path, bytes), builder::file_indexed);
                EXPECT_EQ(bytes, static_cast<int64_t>(texts[f].size()));
                total += bytes;
            }
            const std::vector<uint64_t>& keys = words.keys();
            ASSERT_EQ(keys.size(), words.size());
            std::map<std::string, uint64_t> got;
            for (size_t i = 0; i < words.size(); i++)
                EXPECT_TRUE(got.emplace(words.text(i), keys[i]).second) << "twice: " << words.text(i);
            EXPECT_EQ(got, want) << "read size " << read_size << (builder::wide_vectors ? ", wide" : "");
        }
        close(dir_fd);
    });
}

// Words that share their first 8 or 16 bytes, or all of a shorter word, in
// one block: each is a word of its own.
TEST(BlockWords, WordsThatShareTheirStart) {
    each_width([] {
        TempDir dir;
        std::string text;
        const std::string sixteen = "abcdefghijklmnop";
        for (const std::string& w : {sixteen, sixteen + "q", sixteen.substr(0, 15), sixteen.substr(0, 8),
                                     sixteen.substr(0, 9), sixteen + "qrstuvwx", sixteen + "qrstuvwxy",
                                     sixteen + "qrstuvwz", sixteen.substr(0, 7)})
            text += w + " " + w + "\n";
        std::map<std::string, uint64_t> want;
        // Each order: a shorter word met first, and a longer one.
        for (int pass = 0; pass < 2; pass++) {
            write_text(dir.path + "/f", text);
            want.clear();
            plain_words(text, want);
            const int dir_fd = open(dir.path.c_str(), O_RDONLY | O_DIRECTORY);
            ASSERT_GE(dir_fd, 0);
            builder::BlockWords words;
            int64_t bytes = 0;
            ASSERT_EQ(words.add_file(dir_fd, "f", dir.path, bytes), builder::file_indexed);
            const std::vector<uint64_t>& keys = words.keys();
            std::map<std::string, uint64_t> got;
            for (size_t i = 0; i < words.size(); i++)
                EXPECT_TRUE(got.emplace(words.text(i), keys[i]).second) << "twice: " << words.text(i);
            EXPECT_EQ(got, want);
            EXPECT_EQ(want.size(), 9u);
            close(dir_fd);
            std::string reversed;
            for (size_t at = text.size(); at > 0;) {
                const size_t from = text.rfind('\n', at - 2) == std::string::npos ? 0 : text.rfind('\n', at - 2) + 1;
                reversed += text.substr(from, at - from);
                at = from;
            }
            text = reversed;
        }
    });
}

// Keys asked for part way, then more words added: each word's key is its own.
TEST(BlockWords, KeysAskedForBetweenFiles) {
    each_width([] {
        TempDir dir;
        write_text(dir.path + "/a", made_text(4, 2000));
        write_text(dir.path + "/b", made_text(5, 2000));
        std::map<std::string, uint64_t> want;
        plain_words(made_text(4, 2000), want);
        plain_words(made_text(5, 2000), want);
        const int dir_fd = open(dir.path.c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(dir_fd, 0);
        builder::BlockWords words;
        int64_t bytes = 0;
        ASSERT_EQ(words.add_file(dir_fd, "a", dir.path, bytes), builder::file_indexed);
        const size_t first = words.keys().size();
        ASSERT_EQ(words.add_file(dir_fd, "b", dir.path, bytes), builder::file_indexed);
        const std::vector<uint64_t>& keys = words.keys();
        ASSERT_GT(keys.size(), first);
        std::map<std::string, uint64_t> got;
        for (size_t i = 0; i < words.size(); i++)
            got.emplace(words.text(i), keys[i]);
        EXPECT_EQ(got, want);
        close(dir_fd);
    });
}

// Blocks of many words grow the table (in its room once it has been that
// large), a block after one starts small again, and a block past the room
// kept leaves it behind: each block's words are its own, each once, though
// the blocks share most of their words.
TEST(BlockWords, TablesThatGrowAndStartSmallAgain) {
    for (size_t kept : {builder::BlockWords::max_kept_slots, size_t{1} << 15}) {
        each_width([kept] {
            TempDir dir;
            const int dir_fd = open(dir.path.c_str(), O_RDONLY | O_DIRECTORY);
            ASSERT_GE(dir_fd, 0);
            builder::BlockWords words(builder::BlockWords::default_read_size, kept);
            int block = 0;
            for (size_t distinct : {size_t{40000}, size_t{10}, size_t{20000}, size_t{70000}, size_t{600000}, size_t{5},
                                    size_t{30000}}) {
                // Short and long words (past 16 bytes), each twice.
                std::string text;
                for (size_t i = 0; i < distinct; i++)
                    text += "q" + std::to_string(i) + std::string(i % 25, 'k') + " ";
                text += text;
                write_text(dir.path + "/f", text);
                std::map<std::string, uint64_t> want;
                plain_words(text, want);
                ASSERT_EQ(want.size(), distinct);
                words.clear();
                int64_t bytes = 0;
                ASSERT_EQ(words.add_file(dir_fd, "f", dir.path, bytes), builder::file_indexed);
                const std::vector<uint64_t>& keys = words.keys();
                ASSERT_EQ(keys.size(), words.size());
                std::map<std::string, uint64_t> got;
                for (size_t i = 0; i < words.size(); i++)
                    EXPECT_TRUE(got.emplace(words.text(i), keys[i]).second) << "twice: " << words.text(i);
                EXPECT_EQ(got, want) << "block " << block << " of " << distinct << " words, rooms kept up to " << kept;
                block++;
            }
            close(dir_fd);
        });
    }
}

// The rooms the reading threads keep stay near 2^21 slots together, and a
// thread keeps 2^18 at least, as many as there are.
TEST(BlockWords, RoomsKeptShrinkWithTheThreads) {
    const struct {
        int threads;
        size_t kept;
    } cases[] = {{0, size_t{1} << 20}, {1, size_t{1} << 20}, {2, size_t{1} << 20}, {3, size_t{1} << 19},
                 {4, size_t{1} << 19}, {5, size_t{1} << 18}, {8, size_t{1} << 18}, {1024, size_t{1} << 18}};
    for (const auto& c : cases)
        EXPECT_EQ(builder::BlockWords::kept_slots_for(c.threads), c.kept) << c.threads << " threads";
}

}  // namespace
