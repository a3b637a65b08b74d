#include "layout.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "bytes.h"

namespace indexlib {

void AreaPieces::add(bool is_bitmap, const std::vector<uint8_t>& piece) {
    bytes.insert(bytes.end(), piece.begin(), piece.end());
    at.push_back(static_cast<uint32_t>(bytes.size()));
    bitmap.push_back(is_bitmap ? 1 : 0);
}

Image lay_out(const Index& index) {
    AreaPieces pieces;
    for (size_t a = 0; a < index.areas.size(); a++) {
        pieces.add(index.areas[a].bitmap, index.areas[a].bytes);
        pieces.slot_area.emplace_back(index.areas[a].slot, static_cast<uint32_t>(a));
    }
    return lay_out(index, pieces, index.share_areas);
}

namespace {

constexpr int64_t max_file = 0x7FFFFFFF;   // offsets are int32

// The image as it grows, piece by piece in file order, and the end that no
// read window of a piece put so far may cross.
struct Layout {
    const Index& index;
    Image& im;
    std::vector<uint8_t>& out;
    int64_t last_window = 0;

    Layout(const Index& ix, Image& image) : index(ix), im(image), out(image.bytes) {}

    // The bytes the whole file will take, before padding.
    int64_t expected_size(const AreaPieces& areas) const {
        int64_t names_size = 0;
        for (const Name& n : index.dirs)
            names_size += name_record_bytes(n.name.size());
        for (const Name& n : index.files)
            names_size += name_record_bytes(n.name.size());
        const size_t entries = index.slots.size() + index.blocks.size() + index.files.size() + index.dirs.size() + 1;
        const int64_t tables = 4 * static_cast<int64_t>(entries);
        return header_bytes + static_cast<int64_t>(areas.bytes.size()) + names_size + 3 + tables;
    }

    // Lists first, then bitmaps, both right after the header, so that their
    // offsets stay within 24 bits. Sets im.area_offset and the two areas'
    // starts; false (with im.error) when they run past 16 MiB.
    bool put_areas(const AreaPieces& areas, bool share, int32_t& lists_at, int32_t& maps_at) {
        lists_at = static_cast<int32_t>(out.size());
        maps_at = lists_at;
        im.area_offset.assign(areas.size(), 0);
        std::unordered_map<std::string_view, int32_t> stored;
        for (int pass = 0; pass < 2; pass++) {
            if (pass == 1) {
                maps_at = static_cast<int32_t>(out.size());
                // A list's bytes may equal a bitmap's and mean other blocks.
                stored.clear();
            }
            for (size_t a = 0; a < areas.size(); a++) {
                if ((areas.bitmap[a] != 0) != (pass == 1))
                    continue;
                const uint8_t* from = areas.bytes.data() + areas.at[a];
                const size_t n = areas.at[a + 1] - areas.at[a];
                if (share) {
                    std::string_view key(reinterpret_cast<const char*>(from), n);
                    auto [it, fresh] = stored.try_emplace(key, static_cast<int32_t>(out.size()));
                    if (!fresh) {
                        im.area_offset[a] = it->second;
                        continue;
                    }
                }
                if (out.size() > max_area_offset) {
                    im.error = "bitmaps and block lists run past 16 MiB";
                    return false;
                }
                im.area_offset[a] = static_cast<int32_t>(out.size());
                out.insert(out.end(), from, from + n);
                last_window = std::max(last_window, int64_t{im.area_offset[a]} + block_window);
            }
        }
        if (out.size() > max_area_offset) {
            im.error = "bitmaps and block lists run past 16 MiB";
            return false;
        }
        return true;
    }

    // The directories' name records, then the files'; returns where they start.
    int32_t put_names() {
        const auto strings_at = static_cast<int32_t>(out.size());
        auto put_name = [&](const Name& n) {
            auto at = static_cast<int32_t>(out.size());
            out.push_back(static_cast<uint8_t>(n.parent));
            out.push_back(static_cast<uint8_t>(static_cast<uint16_t>(n.parent) >> 8));
            out.insert(out.end(), n.name.begin(), n.name.end());
            out.push_back(0);
            last_window = std::max(last_window, int64_t{at} + name_window);
            return at;
        };
        im.dir_record.assign(index.dirs.size() + 1, 0);
        for (size_t d = 0; d < index.dirs.size(); d++)
            im.dir_record[d + 1] = put_name(index.dirs[d]);
        im.file_record.reserve(index.files.size());
        for (const Name& f : index.files)
            im.file_record.push_back(put_name(f));
        return strings_at;
    }

    // A table of n 32-bit entries, zeroed, at the end; returns where it starts.
    int32_t table(size_t n) {
        auto at = static_cast<int32_t>(out.size());
        out.resize(out.size() + 4 * n);
        return at;
    }

    // The hash table, its area entries given their areas' offsets, then the
    // block, file and directory tables, 4-byte aligned; their offsets go to
    // the header.
    void put_tables(const AreaPieces& areas, file_header& h, int threads) {
        out.resize((out.size() + 3) & ~size_t{3});
        const auto prime = static_cast<uint32_t>(index.slots.size());
        h.hash_table_offset = table(prime);
        const size_t hash_at = static_cast<size_t>(h.hash_table_offset);
        // Area entries in slot order, each slot once (as the builder gives
        // them), get their offsets as the table is written, in one pass over
        // it: added afterwards, each would fetch its slot from far away.
        const auto& named = areas.slot_area;
        bool in_order = true;
        for (size_t i = 1; i < named.size() && in_order; i++)
            in_order = named[i - 1].first < named[i].first;
        if (!in_order || (!named.empty() && named.back().first >= prime))
            return put_tables_plainly(areas, h);
        // A tree's table is tens of megabytes: its entries go in on all
        // threads, a thread for a million slots at least.
        const uint32_t n = std::clamp<uint32_t>(prime >> 20, 1, static_cast<uint32_t>(std::max(threads, 1)));
        auto part = [&](uint32_t t) {
            const auto from = static_cast<uint32_t>(uint64_t{prime} * t / n);
            const auto to = static_cast<uint32_t>(uint64_t{prime} * (t + 1) / n);
            auto next = std::lower_bound(named.begin(), named.end(), from,
                                         [](const std::pair<uint32_t, uint32_t>& a, uint32_t k) { return a.first < k; });
            // Through plain pointers: a byte stored through the vector could
            // be its own length for all the compiler knows.
            const uint32_t* from_slots = index.slots.data();
            uint8_t* to_table = out.data() + hash_at;
            for (uint32_t k = from; k < to; k++) {
                uint32_t x = from_slots[k];
                if (next != named.end() && next->first == k)
                    x |= static_cast<uint32_t>(im.area_offset[(next++)->second]);
                put32(to_table + 4 * size_t{k}, x);
            }
        };
        on_threads(n, part);
        put_other_tables(h);
    }

    // The same, one entry after another.
    void put_tables_plainly(const AreaPieces& areas, file_header& h) {
        const size_t hash_at = static_cast<size_t>(h.hash_table_offset);
        for (uint32_t k = 0; k < index.slots.size(); k++)
            put32(out, hash_at + 4 * size_t{k}, index.slots[k]);
        for (const auto& [slot, piece] : areas.slot_area) {
            size_t at = hash_at + 4 * size_t{slot};
            put32(out, at, get32(out, at) | static_cast<uint32_t>(im.area_offset[piece]));
        }
        put_other_tables(h);
    }

    // The block, file and directory tables.
    void put_other_tables(file_header& h) {
        h.block_table_offset = table(index.blocks.size());
        for (size_t b = 0; b < index.blocks.size(); b++)
            put32(out, block_entry_at(h, static_cast<int64_t>(b)), static_cast<uint32_t>(index.blocks[b]));
        h.file_table_offset = table(index.files.size());
        for (size_t f = 0; f < index.files.size(); f++)
            put32(out, file_entry_at(h, static_cast<int64_t>(f)), static_cast<uint32_t>(im.file_record[f]));
        h.dir_table_offset = table(im.dir_record.size());
        for (size_t d = 1; d < im.dir_record.size(); d++)
            put32(out, dir_entry_at(h, static_cast<int64_t>(d)), static_cast<uint32_t>(im.dir_record[d]));
    }

    // The header's counts and sizes, once every piece is in place.
    void put_header(file_header& h) {
        const auto num_blocks = static_cast<int32_t>(index.blocks.size());
        const auto prime = static_cast<int32_t>(index.slots.size());
        h.magic = index.magic;
        h.header_size = header_bytes;
        h.filesize = static_cast<int32_t>(out.size());
        h.num_words = index.num_words;
        h.num_dirs = static_cast<int32_t>(index.dirs.size());
        h.num_files = static_cast<int32_t>(index.files.size());
        h.num_blocks = num_blocks;
        h.hash_prime = prime;
        h.hash_table_size = 4 * prime;
        h.bytes_per_bitmap = bitmap_bytes(num_blocks);
        encode_header(h, out.data());
    }
};

}  // namespace

Image lay_out(const Index& index, const AreaPieces& areas, bool share, int threads) {
    Image im{};
    Layout l(index, im);
    const int64_t expect = l.expected_size(areas);
    // Not on huge pages: where the system compacts memory to find them,
    // faulting in a tree's index took twice as long as all the rest of
    // laying it out.
    if (expect <= max_file) {
        im.bytes.reserve(static_cast<size_t>(expect));
        populate(im.bytes.data(), static_cast<size_t>(expect), threads);
    }
    im.bytes.assign(header_bytes, 0);

    // The header is the image's only once the whole file is laid out.
    file_header h{};
    int32_t lists_at, maps_at;
    if (!l.put_areas(areas, share, lists_at, maps_at))
        return im;
    const auto areas_end = static_cast<int32_t>(im.bytes.size());
    h.filelists_offset = lists_at;
    h.filelists_size = maps_at - lists_at;
    h.bitmaps_offset = maps_at;
    h.bitmaps_size = areas_end - maps_at;
    if (expect > max_file) {
        im.error = "index larger than 2 GiB";
        return im;
    }

    h.strings_offset = l.put_names();
    h.strings_size = static_cast<int32_t>(im.bytes.size()) - h.strings_offset;
    l.put_tables(areas, h, threads);
    if (static_cast<int64_t>(im.bytes.size()) < l.last_window)
        im.bytes.resize(static_cast<size_t>(l.last_window));
    if (static_cast<int64_t>(im.bytes.size()) > max_file) {
        im.error = "index larger than 2 GiB";
        return im;
    }
    l.put_header(h);
    im.hdr = h;
    return im;
}

}  // namespace indexlib
