// The small disc that the fuzz harness lays out in its sandbox and that the
// seed indexes describe: its files by absolute path (as the index names them)
// and the words the harness searches for.
#pragma once

#include <string>
#include <vector>

namespace fuzzdisc {

struct File {
    std::string path;  // absolute, as rebuilt from the index
    std::string text;
};

// Blocks of consecutive files: {0, 1}, {2}, {3, 4}, {5}.
inline const std::vector<std::vector<File>>& blocks() {
    static const std::vector<std::vector<File>> b = {
        {{"/readme", "a widget and a gadget\nnothing here\n"},
         {"/docs/a.txt", "A Widget here\nconcatenate\nno newline at the end: cat"}},
        {{"/docs/deep/er/b.txt", std::string(300, 'x') + "widget\n" + std::string(254, 'g') + "\n"}},
        {{"/src/gadget.c", "/* Gadget */\nint cat;\n"},
         {"/src/lib/c.h", std::string("inner\0nul widget\n", 17) + "\x80\xff bytes\n"}},
        {{"/last", "widget gadget cat\n"}},
    };
    return b;
}

inline const std::vector<std::string>& words() {
    static const std::vector<std::string> w = {"widget", "gadget", "cat"};
    return w;
}

}  // namespace fuzzdisc
