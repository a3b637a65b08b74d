// Valid indexes whose areas stand in other orders than the writer's own:
// each area last in the file (so that its 300- or 512-byte windows, or the
// block-table entry after the last block, are cut short by the end of the
// file), nothing aligned, and every field the search does not consult set
// to junk. The search reads them all as it reads the writer's layout.
#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"

namespace {

using namespace testing_support;
using Bytes = std::vector<uint8_t>;

enum class Part { lists, maps, names, hash, blocks, files, dirs };

const char* part_name(Part p) {
    switch (p) {
        case Part::lists: return "lists";
        case Part::maps: return "bitmaps";
        case Part::names: return "names";
        case Part::hash: return "hash";
        case Part::blocks: return "blocks";
        case Part::files: return "files";
        case Part::dirs: return "dirs";
    }
    return "?";
}

void PrintTo(Part p, std::ostream* os) { *os << part_name(p); }

// Lays index out with its areas in the given order, packed with no padding
// and no alignment; the fields that the search does not consult get junk.
struct Laid {
    Bytes bytes;
    std::vector<int32_t> area_at, file_at;
    int32_t blocks_at = 0;
};

Laid lay_out_in(const indexlib::Index& index, const std::vector<Part>& order, uint32_t junk) {
    const auto prime = static_cast<uint32_t>(index.slots.size());
    Laid laid;
    auto& out = laid.bytes;
    auto& area_at = laid.area_at;
    auto& file_at = laid.file_at;
    area_at.resize(index.areas.size());
    file_at.resize(index.files.size());
    std::vector<int32_t> dir_at(index.dirs.size() + 1);
    out.assign(header_bytes, 0);
    auto name = [&out](const indexlib::Name& n) {
        auto at = static_cast<int32_t>(out.size());
        out.push_back(static_cast<uint8_t>(n.parent));
        out.push_back(static_cast<uint8_t>(static_cast<uint16_t>(n.parent) >> 8));
        out.insert(out.end(), n.name.begin(), n.name.end());
        out.push_back(0);
        return at;
    };
    // Tables are filled once every offset is known.
    int32_t hash_at = 0, blocks_at = 0, files_at = 0, dirs_at = 0;
    auto table = [&out](size_t n) {
        auto at = static_cast<int32_t>(out.size());
        out.resize(out.size() + 4 * n);
        return at;
    };
    for (Part p : order) {
        switch (p) {
            case Part::lists:
            case Part::maps:
                for (size_t a = 0; a < index.areas.size(); a++)
                    if (index.areas[a].bitmap == (p == Part::maps)) {
                        area_at[a] = static_cast<int32_t>(out.size());
                        out.insert(out.end(), index.areas[a].bytes.begin(), index.areas[a].bytes.end());
                    }
                break;
            case Part::names:
                for (size_t d = 0; d < index.dirs.size(); d++)
                    dir_at[d + 1] = name(index.dirs[d]);
                for (size_t f = 0; f < index.files.size(); f++)
                    file_at[f] = name(index.files[f]);
                break;
            case Part::hash: hash_at = table(prime); break;
            case Part::blocks: blocks_at = table(index.blocks.size()); break;
            case Part::files: files_at = table(index.files.size()); break;
            case Part::dirs: dirs_at = table(index.dirs.size() + 1); break;
        }
    }
    for (uint32_t k = 0; k < prime; k++)
        indexlib::put32(out, hash_at + 4 * size_t{k}, index.slots[k]);
    for (size_t a = 0; a < index.areas.size(); a++) {
        size_t at = hash_at + 4 * size_t{index.areas[a].slot};
        indexlib::put32(out, at, indexlib::get32(out, at) | static_cast<uint32_t>(area_at[a]));
    }
    for (size_t b = 0; b < index.blocks.size(); b++)
        indexlib::put32(out, blocks_at + 4 * b, static_cast<uint32_t>(index.blocks[b]));
    for (size_t f = 0; f < index.files.size(); f++)
        indexlib::put32(out, files_at + 4 * f, static_cast<uint32_t>(file_at[f]));
    // Entry 0, the root's, is never read: junk too.
    indexlib::put32(out, dirs_at, junk);
    for (size_t d = 1; d < dir_at.size(); d++)
        indexlib::put32(out, dirs_at + 4 * d, static_cast<uint32_t>(dir_at[d]));

    const uint32_t consulted[][2] = {
        {1, header_bytes},
        {2, static_cast<uint32_t>(out.size())},
        {5, static_cast<uint32_t>(index.files.size())},
        {6, static_cast<uint32_t>(index.blocks.size())},
        {8, prime},
        {13, static_cast<uint32_t>(blocks_at)},
        {14, static_cast<uint32_t>(dirs_at)},
        {15, static_cast<uint32_t>(files_at)},
        {17, static_cast<uint32_t>(hash_at)},
    };
    for (int f = 0; f < 20; f++)
        indexlib::put32(out, 4 * size_t(f), junk + static_cast<uint32_t>(f) * 0x01010101u);
    for (const auto& [f, v] : consulted)
        indexlib::put32(out, 4 * size_t{f}, v);
    laid.blocks_at = blocks_at;
    return laid;
}

// One word of every kind, on a disc of four blocks.
struct OrdersDisc {
    TempDir dir;
    Disc disc{dir.path};
    OrdersDisc() {
        disc.block({{"a.txt", "gadget and sprocket\n"}, {"docs/b.txt", "nothing\nsprocket two\n"}});
        disc.block({{"docs/deep/c.txt", "widget\ngizmo\n"}});
        disc.block({{"s.txt", "sprocket three\n"}});
        disc.block({{"g.txt", "gadget gizmo\n"}});
        disc.entry("widget", one_block_entry(probe("widget", 101).r16, 1));
        disc.entry("gadget", two_block_entry(probe("gadget", 101).r6, 3, 0));
        disc.area_entry("sprocket", false, indexlib::block_list({2, 0}));
        disc.area_entry("gizmo", true, indexlib::bitmap({1, 3}, 4));
    }
    // Every word's run, in one string.
    std::string search_all() const {
        std::string all;
        for (const char* w : {"widget", "gadget", "sprocket", "gizmo"}) {
            Result r = run_tarvex(dir.path, {w});
            all += std::string(w) + " " + std::to_string(r.status) + "\n" + r.out + r.err;
        }
        return all;
    }
    std::string expected() const {
        const auto& p = disc.paths;
        return "widget 0\n" + p[2] + ": widget\n" +
               "gadget 0\n" + p[4] + ": gadget gizmo\n" + p[0] + ": gadget and sprocket\n" +
               "sprocket 0\n" + p[3] + ": sprocket three\n" + p[0] + ": gadget and sprocket\n" + p[1] +
               ": sprocket two\n" +
               "gizmo 0\n" + p[2] + ": gizmo\n" + p[4] + ": gadget gizmo\n";
    }
};

TEST(Orders, TheWritersOwnLayoutReadsAsExpected) {
    OrdersDisc d;
    std::vector<uint32_t> slots;
    for (const char* w : {"widget", "gadget", "sprocket", "gizmo"})
        slots.push_back(probe(w, 101).slot);
    std::sort(slots.begin(), slots.end());
    ASSERT_EQ(std::adjacent_find(slots.begin(), slots.end()), slots.end()) << "two words share a first slot";
    d.disc.write();
    EXPECT_EQ(d.search_all(), d.expected());
}

class EachAreaLast : public ::testing::TestWithParam<Part> {};

TEST_P(EachAreaLast, ReadsTheSame) {
    OrdersDisc d;
    const std::vector<Part> all = {Part::dirs, Part::files, Part::blocks, Part::hash,
                                   Part::names, Part::maps, Part::lists};
    std::vector<Part> order;
    for (Part p : all)
        if (p != GetParam())
            order.push_back(p);
    order.push_back(GetParam());
    uint32_t junk = 0xDEADBEEF ^ static_cast<uint32_t>(GetParam()) << 28;
    const auto& index = d.disc.tree.index;
    Laid laid = lay_out_in(index, order, junk);
    const auto size = static_cast<int64_t>(laid.bytes.size());
    // The premise: the last area's windows really run past the end.
    auto area_of = [&index](bool bitmap) {
        for (size_t a = 0; a < index.areas.size(); a++)
            if (index.areas[a].bitmap == bitmap)
                return a;
        return size_t{0};
    };
    if (GetParam() == Part::names) {
        ASSERT_LT(size - laid.file_at.back(), name_window);
    } else if (GetParam() == Part::lists || GetParam() == Part::maps) {
        ASSERT_LT(size - laid.area_at[area_of(GetParam() == Part::maps)], block_window);
    } else if (GetParam() == Part::blocks) {
        ASSERT_EQ(laid.blocks_at + 4 * static_cast<int64_t>(index.blocks.size()), size);
    }
    write_index(d.dir.path, laid.bytes);
    EXPECT_EQ(d.search_all(), d.expected());
}

INSTANTIATE_TEST_SUITE_P(Areas, EachAreaLast,
                         ::testing::Values(Part::lists, Part::maps, Part::names, Part::hash, Part::blocks,
                                           Part::files, Part::dirs),
                         [](const auto& info) { return std::string(part_name(info.param)); });

}  // namespace
