// What a word is: the tokenizer the builder and the tests share.
#pragma once

#include <string>
#include <vector>

namespace indexlib {

// A byte of a word, lower-cased in A to Z, or 0 for a byte that ends words:
// word bytes are ASCII letters, digits, '_' and bytes 128 to 255.
inline unsigned char word_byte(unsigned char c) {
    if (c >= 'A' && c <= 'Z')
        return static_cast<unsigned char>(c + 32);
    bool w = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c >= 128;
    return w ? c : 0;
}

// The words of text: maximal runs of word bytes, lower-cased in A to Z; runs
// longer than the search takes (max_word) are no words.
std::vector<std::string> words_of(const std::string& text);

}  // namespace indexlib
