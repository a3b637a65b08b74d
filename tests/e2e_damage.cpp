// Damaged indexes past the header, one row per way an entry, a table or a
// record can be wrong, through the real binary: each row ends with its exact
// message and status, and the lines printed before the failure are kept.
// Then valid indexes laid out in other orders, which must read the same.
#include <cstddef>
#include <functional>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"

namespace {

using namespace testing_support;
using Bytes = std::vector<uint8_t>;

std::string masked(const std::string& err) {
    return std::regex_replace(err, std::regex(":[0-9]+: failed assertion"), ":#: failed assertion");
}
std::string failure(const std::string& file, const std::string& cond) {
    return file + ":#: failed assertion `" + cond + "'\n";
}

// Header fields by their place in the file, which is file_header's.
constexpr size_t f_filesize = offsetof(file_header, filesize), f_num_files = offsetof(file_header, num_files),
                 f_num_blocks = offsetof(file_header, num_blocks),
                 f_block_table = offsetof(file_header, block_table_offset),
                 f_dir_table = offsetof(file_header, dir_table_offset),
                 f_file_table = offsetof(file_header, file_table_offset);

void set_field(Bytes& b, size_t at, uint32_t v) { indexlib::put32(b, at, v); }

// Appends raw bytes and keeps filesize true; returns where they start.
uint32_t append(Bytes& b, const Bytes& more) {
    auto at = static_cast<uint32_t>(b.size());
    b.insert(b.end(), more.begin(), more.end());
    set_field(b, f_filesize, static_cast<uint32_t>(b.size()));
    return at;
}

// The disc every row starts from: four blocks, every file has one line with
// "widget" in it, and file 2 lies three directories below the disc's root.
//   block 0: files 0, 1   block 1: file 2   block 2: file 3   block 3: file 4
struct DamageDisc {
    TempDir dir;
    Disc disc{dir.path};
    DamageDisc() {
        disc.block({{"a.txt", "widget 0\n"}, {"docs/b.txt", "widget 1\n"}});
        disc.block({{"docs/deep/er/c.txt", "widget 2\n"}});
        disc.block({{"d.txt", "widget 3\n"}});
        disc.block({{"e.txt", "widget 4\n"}});
    }
    // What file f prints.
    std::string line(size_t f) const {
        return disc.paths[f] + ": widget " + std::to_string(f) + "\n";
    }
};

const uint32_t prime = 101;
Probe widget() { return probe("widget", prime); }

// Entry setups, before the layout.
void kind1(Disc& d, uint32_t block) { d.entry("widget", one_block_entry(widget().r16, block), prime); }
void kind2(Disc& d, uint32_t first, uint32_t second) {
    d.entry("widget", two_block_entry(widget().r6, first, second), prime);
}
void list(Disc& d, const std::vector<uint32_t>& blocks) {
    d.area_entry("widget", false, indexlib::block_list(blocks), prime);
}
void map(Disc& d, const std::vector<uint32_t>& blocks) {
    d.area_entry("widget", true, indexlib::bitmap(blocks, 4), prime);
}

// Damage after the layout, with the offsets of every piece at hand.
size_t slot_at(const indexlib::Image& im) { return im.hdr.hash_table_offset + 4 * size_t{widget().slot}; }
void set_offset(indexlib::Image& im, uint32_t offset) {
    size_t at = slot_at(im);
    indexlib::put32(im.bytes, at, (indexlib::get32(im.bytes, at) & 0xFF000000u) | offset);
}
void set_block(indexlib::Image& im, size_t b, uint32_t first_file) {
    indexlib::put32(im.bytes, im.hdr.block_table_offset + 4 * b, first_file);
}
void set_file(indexlib::Image& im, size_t f, uint32_t record) {
    indexlib::put32(im.bytes, im.hdr.file_table_offset + 4 * f, record);
}
void set_parent(indexlib::Image& im, int32_t record, int16_t parent) {
    indexlib::put16(im.bytes, static_cast<size_t>(record), static_cast<uint16_t>(parent));
}
// Directory number of file f's own directory.
int16_t parent_of(const Disc& d, size_t f) { return d.tree.index.files[f].parent; }

// Gives file 4 a path of 4 * 251 + 1 bytes of directories and then its name:
// four nested directories of 250-byte names, in a directory table of its own.
void long_path(indexlib::Image& im, const std::string& name) {
    uint32_t dirs_at = append(im.bytes, Bytes(4 * 5, 0));
    set_field(im.bytes, f_dir_table, dirs_at);
    int16_t parent = 0;
    for (int16_t n = 1; n <= 4; n++) {
        Bytes rec(2, 0);
        indexlib::put16(rec, 0, static_cast<uint16_t>(parent));
        rec.resize(2 + 250, static_cast<uint8_t>('a' + n));
        rec.push_back(0);
        indexlib::put32(im.bytes, dirs_at + 4 * size_t(n), append(im.bytes, rec));
        parent = n;
    }
    Bytes file{4, 0};
    file.insert(file.end(), name.begin(), name.end());
    file.push_back(0);
    set_file(im, 4, append(im.bytes, file));
}

struct Row {
    const char* name;
    std::function<void(Disc&)> entry;
    std::function<void(indexlib::Image&, const Disc&)> damage;
    int status;
    std::string err;                 // file:line masked
    std::vector<size_t> printed;     // files whose line is printed before the end
    bool no_match = false;           // "sorry, no match" ends standard output
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

std::vector<Row> rows() {
    const std::string h = "hash.cpp", c = "candidates.cpp", p = "path.cpp";
    auto none = [](indexlib::Image&, const Disc&) {};
    return {
        // Entries of kinds 0 and 3: offsets outside the file, windows cut short.
        {"bitmap_offset_past_end", [](Disc& d) { map(d, {0}); },
         [](indexlib::Image& im, const Disc&) { set_offset(im, static_cast<uint32_t>(im.bytes.size())); },
         2, failure(h, "bitmap inside the file"), {}},
        {"bitmap_window_cut_short", [](Disc& d) { map(d, {0}); },
         [](indexlib::Image& im, const Disc&) {
             // Nine blocks need two bytes; only the file's last byte is there.
             set_field(im.bytes, f_num_blocks, 9);
             set_offset(im, static_cast<uint32_t>(im.bytes.size() - 1));
         },
         2, failure(h, "bitmap inside the file"), {}},
        {"bitmap_over_4096_blocks", [](Disc& d) { map(d, {0}); },
         [](indexlib::Image& im, const Disc&) { set_field(im.bytes, f_num_blocks, 4097); },
         2, failure(h, "hdr.num_blocks <= 4096"), {}},
        {"list_offset_past_end", [](Disc& d) { list(d, {0}); },
         [](indexlib::Image& im, const Disc&) { set_offset(im, static_cast<uint32_t>(im.bytes.size())); },
         2, failure(h, "block list inside the file"), {}},
        {"list_count_cut_short", [](Disc& d) { list(d, {0}); },
         [](indexlib::Image& im, const Disc&) {
             im.bytes.back() = 1;  // one byte: half of the count
             set_offset(im, static_cast<uint32_t>(im.bytes.size() - 1));
         },
         2, failure(h, "block list inside the file"), {}},
        {"list_blocks_cut_short", [](Disc& d) { list(d, {0}); },
         [](indexlib::Image& im, const Disc&) {
             // A count of 3 needs six bytes; the file ends after four.
             uint32_t at = append(im.bytes, {0x03, 0x00, 0x00, 0x00});
             set_offset(im, at);
         },
         2, failure(h, "block list inside the file"), {}},
        {"list_count_341", [](Disc& d) { list(d, {0}); },
         [](indexlib::Image& im, const Disc&) {
             Bytes l = indexlib::block_list(std::vector<uint32_t>(341, 0));
             set_offset(im, append(im.bytes, l));
         },
         2, failure(h, "n <= 340"), {}},
        {"list_count_340_is_read", [](Disc& d) { list(d, {0}); },
         [](indexlib::Image& im, const Disc&) {
             Bytes l = indexlib::block_list(std::vector<uint32_t>(340, 1));
             set_offset(im, append(im.bytes, l));
         },
         0, "", std::vector<size_t>(340, 2)},

        // Block numbers at or above num_blocks, from every kind; a block named
        // before the bad one has printed its lines.
        {"kind1_block_4", [](Disc& d) { kind1(d, 4); }, none, 2, failure(c, "block < hdr.num_blocks"), {}},
        {"kind2_second_block_4095", [](Disc& d) { kind2(d, 1, 4095); }, none,
         2, failure(c, "block < hdr.num_blocks"), {2}},
        {"list_block_4", [](Disc& d) { list(d, {3, 0, 4, 1}); }, none,
         2, failure(c, "block < hdr.num_blocks"), {4, 0, 1}},
        {"bitmap_bit_past_a_shrunk_table", [](Disc& d) { map(d, {0, 3}); },
         [](indexlib::Image& im, const Disc&) {
             // Three blocks in the header: bit 3 is past them and ignored.
             set_field(im.bytes, f_num_blocks, 3);
             set_field(im.bytes, f_num_files, 4);
         },
         0, "", {0, 1}},

        // Block-table entries.
        {"entries_equal", [](Disc& d) { kind2(d, 0, 1); },
         [](indexlib::Image& im, const Disc&) { set_block(im, 2, 2); },
         2, failure(c, "nfiles > 0"), {0, 1}},
        {"entries_fall", [](Disc& d) { kind2(d, 0, 1); },
         [](indexlib::Image& im, const Disc&) { set_block(im, 2, 1); },
         2, failure(c, "nfiles > 0"), {0, 1}},
        {"first_entry_below_0", [](Disc& d) { kind1(d, 0); },
         [](indexlib::Image& im, const Disc&) { set_block(im, 0, 0xFFFFFFFF); },
         2, failure(c, "b[0] >= 0"), {}},
        {"last_block_past_num_files", [](Disc& d) { kind2(d, 0, 3); },
         [](indexlib::Image& im, const Disc&) { set_block(im, 3, 5); },
         2, failure(c, "nfiles > 0"), {0, 1}},
        {"next_entry_past_num_files", [](Disc& d) { kind2(d, 0, 2); },
         [](indexlib::Image& im, const Disc&) { set_block(im, 3, 6); },
         2, failure(c, "b[0] + nfiles <= hdr.num_files"), {0, 1}},
        {"block_table_past_end", [](Disc& d) { kind1(d, 0); },
         [](indexlib::Image& im, const Disc&) {
             set_field(im.bytes, f_block_table, static_cast<uint32_t>(im.bytes.size() - 4));
         },
         2, failure(c, "block table entry inside the file"), {}},
        {"block_table_offset_negative", [](Disc& d) { kind1(d, 1); },
         [](indexlib::Image& im, const Disc&) { set_field(im.bytes, f_block_table, 0xFFFFFFF8); },
         1, "lseek <1> failed: Invalid argument\n", {}},

        // File table.
        {"file_table_offset_negative", [](Disc& d) { kind1(d, 0); },
         [](indexlib::Image& im, const Disc&) { set_field(im.bytes, f_file_table, 0xFFFFFF00); },
         1, "lseek <2> failed: Invalid argument\n", {}},
        {"file_table_slice_past_end", [](Disc& d) { kind1(d, 0); },
         [](indexlib::Image& im, const Disc&) {
             // Block 0's two entries would straddle the end of the file.
             set_field(im.bytes, f_file_table, static_cast<uint32_t>(im.bytes.size() - 4));
         },
         2, failure(c, "file table slice inside the file"), {}},
        {"file_table_slice_huge", [](Disc& d) { kind1(d, 3); },
         [](indexlib::Image& im, const Disc&) { set_field(im.bytes, f_num_files, 0x7FFFFFFF); },
         2, failure(c, "file table slice inside the file"), {}},

        // Name records and the directory table; file 0 of block 0 has printed.
        {"file_record_past_end", [](Disc& d) { kind1(d, 0); },
         [](indexlib::Image& im, const Disc&) { set_file(im, 1, static_cast<uint32_t>(im.bytes.size() - 2)); },
         2, failure(p, "name record inside the file"), {0}},
        {"file_record_negative", [](Disc& d) { kind1(d, 0); },
         [](indexlib::Image& im, const Disc&) { set_file(im, 1, 0xFFFFFFFE); },
         2, failure(p, "name record inside the file"), {0}},
        {"name_cut_by_end_of_file", [](Disc& d) { kind1(d, 0); },
         [](indexlib::Image& im, const Disc&) { set_file(im, 1, append(im.bytes, {0, 0, 'a', 'b', 'c'})); },
         2, failure(p, "name record ends with a NUL"), {0}},
        {"name_without_nul_in_its_window", [](Disc& d) { kind1(d, 0); },
         [](indexlib::Image& im, const Disc&) {
             Bytes rec{0, 0};
             rec.resize(2 + 298, 'x');
             rec.push_back(0);  // one byte past the window
             set_file(im, 1, append(im.bytes, rec));
         },
         2, failure(p, "name record ends with a NUL"), {0}},
        {"parent_below_0", [](Disc& d) { kind1(d, 0); },
         [](indexlib::Image& im, const Disc&) { set_parent(im, im.file_record[1], -1); },
         2, failure(p, "dir_num >= 0"), {0}},
        {"directory_parent_below_0", [](Disc& d) { kind1(d, 1); },
         [](indexlib::Image& im, const Disc& d) { set_parent(im, im.dir_record[parent_of(d, 2)], -32768); },
         2, failure(p, "dir_num >= 0"), {}},
        {"dir_table_past_end", [](Disc& d) { kind2(d, 2, 1); },
         [](indexlib::Image& im, const Disc&) {
             set_field(im.bytes, f_dir_table, static_cast<uint32_t>(im.bytes.size()));
         },
         2, failure(p, "directory table entry inside the file"), {}},
        {"dir_entry_past_end", [](Disc& d) { kind2(d, 2, 1); },
         [](indexlib::Image& im, const Disc& d) {
             indexlib::put32(im.bytes, im.hdr.dir_table_offset + 4 * size_t(parent_of(d, 2)),
                             static_cast<uint32_t>(im.bytes.size()));
         },
         2, failure(p, "name record inside the file"), {3}},
        {"dir_number_beyond_the_table", [](Disc& d) { kind1(d, 2); },
         [](indexlib::Image& im, const Disc&) { set_parent(im, im.file_record[3], 32767); },
         2, failure(p, "directory table entry inside the file"), {}},
        {"parent_loop", [](Disc& d) { kind1(d, 1); },
         [](indexlib::Image& im, const Disc& d) {
             int16_t own = parent_of(d, 2);
             set_parent(im, im.dir_record[own], own);
         },
         2, failure(p, "path of at most 1023 bytes"), {}},
        {"two_directory_loop", [](Disc& d) { kind2(d, 3, 1); },
         [](indexlib::Image& im, const Disc& d) {
             int16_t own = parent_of(d, 2);
             int16_t up = d.tree.index.dirs[own - 1].parent;
             set_parent(im, im.dir_record[up], own);
         },
         2, failure(p, "path of at most 1023 bytes"), {4}},
        {"path_over_1023_bytes", [](Disc& d) { kind1(d, 3); },
         [](indexlib::Image& im, const Disc&) { long_path(im, "nineteen-bytes.text"); },
         2, failure(p, "path of at most 1023 bytes"), {}},
        {"path_of_1023_bytes_fits", [](Disc& d) { kind1(d, 3); },
         [](indexlib::Image& im, const Disc&) { long_path(im, "eighteen-bytes.txt"); },
         1,
         "Cannot open /" + std::string(250, 'b') + "/" + std::string(250, 'c') + "/" +
             std::string(250, 'd') + "/" + std::string(250, 'e') +
             "/eighteen-bytes.txt: No such file or directory\n",
         {}, true},

        // The probe: a table with no empty slot, and the word's entry beyond
        // where the bound of hash_prime probes stops.
        {"probe_never_meets_an_empty_slot", [](Disc& d) { kind1(d, 0); },
         [](indexlib::Image& im, const Disc&) {
             Probe p = widget();
             for (uint32_t k = 0; k < prime; k++)
                 indexlib::put32(im.bytes, im.hdr.hash_table_offset + 4 * size_t{k},
                                 one_block_entry((p.r16 + 1) % 65521, 0));
         },
         1, "", {}, true},
    };
}

class Damaged : public ::testing::TestWithParam<Row> {};

TEST_P(Damaged, EndsAsTheRowStates) {
    const Row& row = GetParam();
    DamageDisc d;
    row.entry(d.disc);
    indexlib::Image im = d.disc.image();
    row.damage(im, d.disc);
    write_index(d.dir.path, im.bytes);
    Result r = run_tarvex(d.dir.path, {"widget"});
    std::string out;
    for (size_t f : row.printed)
        out += d.line(f);
    if (row.no_match)
        out += "sorry, no match\n";
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(masked(r.err), row.err);
    EXPECT_EQ(r.out, out);
}

INSTANTIATE_TEST_SUITE_P(Rows, Damaged, ::testing::ValuesIn(rows()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
