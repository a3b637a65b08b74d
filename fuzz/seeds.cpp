// Writes the fuzz seeds: valid indexes of the harness's disc, written with the
// index-writing library, that use every entry kind, and tables laid out by the
// probe rule for every word of the disc. Usage: tarvex_seeds DIR
//
// With --hazards, writes instead the inputs that the harness itself must
// survive (kept in fuzz/regressions/): names that climb out of the sandbox
// to a device that never ends or to standard input, and a failure in the
// path walk while the block's slice is allocated.
#include <cstdio>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "disc.h"
#include "indexlib/areas.h"
#include "indexlib/bytes.h"
#include "indexlib/layout.h"
#include "indexlib/place.h"
#include "indexlib/words.h"
#include "tarvex/hash.h"

namespace {

using indexlib::Index;

// The disc's blocks, files and directories, with an empty table of prime slots.
Index base(uint32_t prime) {
    Index index;
    std::map<std::string, int16_t> dirs;
    auto dir = [&](auto&& self, const std::string& abs) -> int16_t {
        if (abs.empty())
            return 0;
        if (auto it = dirs.find(abs); it != dirs.end())
            return it->second;
        size_t slash = abs.rfind('/');
        int16_t parent = self(self, abs.substr(0, slash));
        index.dirs.push_back({parent, abs.substr(slash + 1)});
        return dirs[abs] = static_cast<int16_t>(index.dirs.size());
    };
    for (const auto& block : fuzzdisc::blocks()) {
        index.blocks.push_back(static_cast<int32_t>(index.files.size()));
        for (const auto& file : block) {
            size_t slash = file.path.rfind('/');
            index.files.push_back({dir(dir, file.path.substr(0, slash)), file.path.substr(slash + 1)});
        }
    }
    index.slots.assign(prime, 0);
    return index;
}

struct Codes {
    uint32_t slot, rehash6, rehash16;
};

// Puts the entry for word in the first empty slot of its probe sequence;
// make gets the word's check codes. Returns the slot.
template <typename Make>
uint32_t put(Index& index, const std::string& word, Make make) {
    auto prime = static_cast<uint32_t>(index.slots.size());
    uint32_t h, r;
    hash_word(word.c_str(), &h, &r);
    Codes c{h % prime, rehash6_of(r), rehash16_of(r)};
    const probe_stop stop =
        probe_walk(c.slot, c.rehash6, c.rehash16, prime, [&index](uint32_t k) { return index.slots[k]; });
    if (stop.slot < 0)
        throw std::runtime_error("no slot for " + word);
    if (stop.entry != 0)
        throw std::runtime_error("another entry would capture " + word);
    index.slots[static_cast<size_t>(stop.slot)] = make(c);
    return static_cast<uint32_t>(stop.slot);
}

void area(Index& index, const std::string& word, bool bitmap, std::vector<uint8_t> bytes) {
    uint32_t slot = put(index, word, [bitmap](const Codes& c) {
        return bitmap ? bitmap_entry(c.rehash6) : list_entry(c.rehash6);
    });
    index.areas.push_back({bitmap, std::move(bytes), slot});
}

void kind1(Index& index, const std::string& word, uint32_t block) {
    put(index, word, [block](const Codes& c) { return one_block_entry(c.rehash16, block); });
}

void kind2(Index& index, const std::string& word, uint32_t first, uint32_t second) {
    put(index, word, [=](const Codes& c) { return two_block_entry(c.rehash6, first, second); });
}

// Every word of the disc placed by the probe rule; false when prime is too small.
bool placed(Index& index) {
    std::map<std::string, std::set<uint32_t>> blocks_of;
    const auto& blocks = fuzzdisc::blocks();
    for (size_t b = 0; b < blocks.size(); b++)
        for (const auto& file : blocks[b])
            for (const std::string& w : indexlib::words_of(file.text))
                blocks_of[w].insert(static_cast<uint32_t>(b));
    std::vector<indexlib::Word> words;
    for (const auto& [w, bs] : blocks_of)
        words.push_back({w, std::vector<uint32_t>(bs.begin(), bs.end())});
    return indexlib::place_words(words, static_cast<uint32_t>(index.slots.size()), index).ok;
}

}  // namespace

namespace {

// Block 0's second file is renamed; widget's entry names block 0, whose first
// file holds the word.
Index renamed(const std::string& name, int16_t parent) {
    Index index = base(31);
    index.files[1] = {parent, name};
    kind1(index, "widget", 0);
    return index;
}

std::map<std::string, Index> hazards() {
    const std::string up = "../../../../../../../../../../../../../../../../";
    return {
        {"escape-dev-zero", renamed(up + "dev/zero", 0)},
        {"escape-stdin", renamed(up + "proc/self/fd/0", 0)},
        {"walk-fails-holding-the-slice", renamed("a.txt", -1)},
    };
}

}  // namespace

namespace {

std::map<std::string, Index> of_every_kind() {
    const int32_t num_blocks = static_cast<int32_t>(fuzzdisc::blocks().size());
    std::map<std::string, Index> seeds;

    Index one = base(31);
    kind1(one, "widget", 0);
    kind1(one, "gadget", 2);
    kind1(one, "cat", 3);
    seeds["kind1"] = one;

    Index two = base(31);
    kind2(two, "widget", 3, 0);  // the block in bits 11-0 is searched first
    kind2(two, "gadget", 2, 2);  // the same block twice
    kind2(two, "cat", 0, 2);
    seeds["kind2"] = two;

    Index lists = base(37);
    area(lists, "widget", false, indexlib::block_list({1, 3, 0}));
    area(lists, "gadget", false, indexlib::block_list({}));
    area(lists, "cat", false, indexlib::block_list({0, 2, 0}));
    seeds["kind3"] = lists;

    Index maps = base(37);
    area(maps, "widget", true, indexlib::bitmap({0, 1, 3}, num_blocks));
    area(maps, "gadget", true, indexlib::bitmap({}, num_blocks));
    area(maps, "cat", true, indexlib::bitmap({0, 2, 6, 7}, num_blocks));  // bits past num_blocks
    seeds["kind0"] = maps;

    Index mixed = base(11);
    kind1(mixed, "widget", 1);
    area(mixed, "gadget", false, indexlib::block_list({3, 2}));
    area(mixed, "cat", true, indexlib::bitmap({0, 2, 3}, num_blocks));
    seeds["mixed"] = mixed;

    for (uint32_t prime : {23u, 29u, 31u, 101u}) {
        Index index = base(prime);
        if (placed(index))
            seeds["placed" + std::to_string(prime)] = index;
    }

    return seeds;
}

}  // namespace

int main(int argc, char** argv) {
    bool hazard = argc == 3 && std::string(argv[1]) == "--hazards";
    if (argc != 2 && !hazard) {
        fprintf(stderr, "usage: tarvex_seeds [--hazards] DIR\n");
        return 1;
    }
    const std::string dir = argv[argc - 1];
    const std::map<std::string, Index> seeds = hazard ? hazards() : of_every_kind();
    int written = 0;
    for (const auto& [name, index] : seeds) {
        indexlib::Image im = indexlib::lay_out(index);
        if (!im.error.empty()) {
            fprintf(stderr, "tarvex_seeds: %s: %s\n", name.c_str(), im.error.c_str());
            return 1;
        }
        std::string path = dir + "/" + name;
        if (!indexlib::write_file(path, im.bytes)) {
            perror(path.c_str());
            return 1;
        }
        written++;
    }
    printf("%d seeds written to %s\n", written, dir.c_str());
    return 0;
}
