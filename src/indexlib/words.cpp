#include "words.h"

#include "tarvex/index.h"

namespace indexlib {

std::vector<std::string> words_of(const std::string& text) {
    std::vector<std::string> out;
    auto byte = [&text](size_t i) { return word_byte(static_cast<unsigned char>(text[i])); };
    for (size_t i = 0; i < text.size();) {
        if (byte(i) == 0) {
            i++;
            continue;
        }
        std::string w;
        for (; i < text.size() && byte(i) != 0; i++)
            w.push_back(static_cast<char>(byte(i)));
        if (w.size() <= static_cast<size_t>(max_word))
            out.push_back(std::move(w));
    }
    return out;
}

}  // namespace indexlib
