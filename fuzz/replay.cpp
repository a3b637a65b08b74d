// Runs the fuzz target over saved inputs without libFuzzer, so that every
// build (the sanitizer one above all) replays them: each argument is an input
// file or a directory of them.
//
// With --valid, every input must be a sound index: no word may end with a
// damaged-index status (2), and some word must find a line (0).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include "disc.h"
#include "harness.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    // The target silences the tool's streams; the report keeps the real one.
    FILE* report = fdopen(dup(2), "w");
    bool valid = false;
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--valid") {
            valid = true;
            continue;
        }
        fs::path p = fs::absolute(a);
        if (fs::is_directory(p)) {
            for (const auto& e : fs::directory_iterator(p))
                if (e.is_regular_file())
                    inputs.push_back(e.path());
        } else {
            inputs.push_back(p);
        }
    }
    std::sort(inputs.begin(), inputs.end());
    if (inputs.empty()) {
        fprintf(report, "replay: no input\n");
        return 2;
    }
    LLVMFuzzerInitialize(&argc, &argv);
    int bad = 0;
    const size_t nwords = fuzzdisc::words().size();
    for (const fs::path& p : inputs) {
        std::ifstream f(p, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        if (!f.good() && !f.eof()) {
            fprintf(report, "replay: cannot read %s\n", p.c_str());
            return 2;
        }
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        const int* st = fuzz_statuses();
        bool found = false, damaged = false;
        std::string line;
        for (size_t w = 0; w < nwords; w++) {
            line += " " + fuzzdisc::words()[w] + "=" + std::to_string(st[w]);
            found |= st[w] == 0;
            damaged |= st[w] != 0 && st[w] != 1;
        }
        bool ok = !valid || (found && !damaged);
        bad += !ok;
        fprintf(report, "%s %s:%s\n", ok ? "ok  " : "FAIL", p.filename().c_str(), line.c_str());
    }
    fprintf(report, "%zu inputs replayed, %d failed\n", inputs.size(), bad);
    return bad == 0 ? 0 : 1;
}
