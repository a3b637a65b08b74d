#include "check.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "indexlib/layout.h"
#include "indexlib/lookup.h"
#include "tarvex/hash.h"
#include "tarvex/open.h"
#include "walk.h"
#include "words.h"

namespace builder {

namespace {

// The index as a whole, or "" and why not. Opened without waiting: a FIFO
// at the target would hold the open for ever.
bool read_whole(const std::string& path, std::vector<uint8_t>& bytes, std::string& why) {
    const int in = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (in < 0) {
        // A socket cannot be opened at all: say what it is rather than ENXIO.
        struct stat st;
        why = errno == ENXIO && stat(path.c_str(), &st) == 0 ? not_regular_text(st.st_mode) : strerror(errno);
        return false;
    }
    struct stat st;
    const bool stated = fstat(in, &st) == 0;
    if (!stated || !S_ISREG(st.st_mode)) {
        why = stated ? not_regular_text(st.st_mode) : strerror(errno);
        close(in);
        return false;
    }
    bytes.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = read(in, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            why = strerror(n == 0 ? EIO : errno);
            close(in);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    close(in);
    return true;
}

// The checks of every structure of an index, over its bytes and its header;
// each returns "" or the first problem it finds.
struct Structure {
    const std::vector<uint8_t>& b;
    const int64_t size;
    const file_header h;

    bool in(int64_t at, int64_t n) const { return at >= 0 && n >= 0 && at + n <= size; }
    static bool within(int64_t at, int64_t n, int64_t from, int64_t size) {
        return at >= from && at + n <= from + size;
    }
    int32_t entry(int64_t at) const { return static_cast<int32_t>(le32(b.data() + at)); }

    // The header's counts, and every area and table inside the file.
    std::string header() const {
        if (h.magic != indexlib::default_magic)
            return "magic is not tarvex-index's";
        if (h.header_size != header_bytes)
            return "header_size is " + std::to_string(h.header_size) + ", not " + std::to_string(header_bytes);
        if (h.filesize != size)
            return "filesize is " + std::to_string(h.filesize) + ", the file has " + std::to_string(size) + " bytes";
        if (h.num_blocks < 1 || h.num_blocks > max_blocks)
            return "num_blocks " + std::to_string(h.num_blocks) + " is not from 1 to " + std::to_string(max_blocks);
        if (h.num_files < 1 || h.num_dirs < 0 || h.num_dirs > max_dir || h.num_words < 0)
            return "num_files, num_dirs or num_words out of range";
        const int32_t prime = h.hash_prime;
        if (prime < 1 || !in(h.hash_table_offset, 4 * int64_t{prime}) || h.hash_table_size != 4 * prime)
            return "hash table outside the file or its size wrong";
        // The fields the search does not read are still the builder's truth.
        if (h.bytes_per_bitmap != bitmap_bytes(h.num_blocks))
            return "bytes_per_bitmap is not the bytes of " + std::to_string(h.num_blocks) + " bits";
        if (!in(h.strings_offset, h.strings_size) || !in(h.filelists_offset, h.filelists_size) ||
            !in(h.bitmaps_offset, h.bitmaps_size) || int64_t{h.filelists_offset} + h.filelists_size > max_area_offset ||
            int64_t{h.bitmaps_offset} + h.bitmaps_size > max_area_offset)
            return "strings, block-list or bitmap area outside the file or past 16 MiB";
        if (!in(h.block_table_offset, 4 * int64_t{h.num_blocks}) ||
            !in(h.file_table_offset, 4 * int64_t{h.num_files}) ||
            !in(h.dir_table_offset, 4 * (int64_t{h.num_dirs} + 1)))
            return "block, file or directory table outside the file";
        return "";
    }

    // The block table rises from file 0 within the files; block_of gets
    // each file's block.
    std::string block_table(std::vector<int32_t>& block_of) const {
        int32_t prev = -1;
        block_of.assign(static_cast<size_t>(h.num_files), -1);
        for (int32_t k = 0; k < h.num_blocks; k++) {
            const int32_t first = entry(block_entry_at(h, k));
            if (first <= prev || first >= h.num_files || (k == 0 && first != 0))
                return "block table entry " + std::to_string(k) + " does not rise within the files";
            const int64_t end = block_files_end(h, k, k + 1 < h.num_blocks ? entry(block_entry_at(h, k + 1)) : 0);
            for (int32_t f = first; f < end && f < h.num_files; f++)
                block_of[static_cast<size_t>(f)] = k;
            prev = first;
        }
        return "";
    }

    // The name record at: inside the strings area, its name ended within the
    // window, its parent a directory.
    bool name(int32_t at, int16_t& parent, std::string& text) const {
        if (!in(at, name_window) || !within(at, 3, h.strings_offset, h.strings_size))
            return false;
        const uint8_t* p = b.data() + at;
        int32_t len;
        if (!read_name_record(p, name_window, &parent, &len))
            return false;
        text.assign(reinterpret_cast<const char*>(p + 2), static_cast<size_t>(len));
        return parent >= 0 && parent <= h.num_dirs && !text.empty();
    }

    // Every directory's and file's record; paths gets each file's path.
    std::string names(std::vector<std::string>& paths) const {
        std::vector<std::string> dir_path(static_cast<size_t>(h.num_dirs) + 1);
        for (int32_t d = 1; d <= h.num_dirs; d++) {
            int16_t parent;
            std::string text;
            if (!name(entry(dir_entry_at(h, d)), parent, text))
                return "directory record " + std::to_string(d) + " broken";
            // The builder numbers a directory after its parent, so chains cannot loop.
            if (parent >= d)
                return "directory record " + std::to_string(d) + " names a later parent";
            dir_path[static_cast<size_t>(d)] = dir_path[static_cast<size_t>(parent)] + "/" + text;
        }
        paths.clear();
        for (int32_t f = 0; f < h.num_files; f++) {
            int16_t parent;
            std::string text;
            if (!name(entry(file_entry_at(h, f)), parent, text))
                return "file record " + std::to_string(f) + " broken";
            paths.push_back(dir_path[static_cast<size_t>(parent)] + "/" + text);
            if (paths.back().size() > static_cast<size_t>(max_path))
                return "path of file " + std::to_string(f) + " longer than " + std::to_string(max_path) + " bytes";
        }
        return "";
    }

    // Every hash entry: its bitmap or list inside its area, and the blocks it
    // names within the block table.
    std::string entries() const {
        int64_t entries = 0;
        for (int32_t k = 0; k < h.hash_prime; k++) {
            const uint32_t x = le32(b.data() + h.hash_table_offset + 4 * int64_t{k});
            if (x == 0)
                continue;
            entries++;
            auto slot = [k] { return "hash slot " + std::to_string(k); };
            const uint8_t* area = nullptr;
            if (entry_has_area(x)) {
                const int64_t at = entry_offset(x);
                if (!in(at, block_window))
                    return slot() + ": its " + std::to_string(block_window) + "-byte window runs past the file";
                if (entry_rehash6(x) > 60)
                    return slot() + ": check code above 60";
                area = b.data() + at;
                if (entry_kind(x) == kind_bitmap &&
                    !within(at, bitmap_bytes(h.num_blocks), h.bitmaps_offset, h.bitmaps_size))
                    return slot() + ": bitmap outside the bitmap area";
                if (entry_kind(x) == kind_list) {
                    const uint32_t n = unpack12(area, 0);
                    if (!within(at, list_bytes(std::min<uint32_t>(n, max_list_count)), h.filelists_offset,
                                h.filelists_size))
                        return slot() + ": block list outside the list area";
                    if (n > max_list_count)
                        return slot() + ": block list of more than " + std::to_string(max_list_count) + " blocks";
                }
            }
            // A bitmap names no block past num_blocks: the search reads no further bit.
            if (entry_kind(x) == kind_bitmap)
                continue;
            int32_t named[max_blocks];
            const int32_t n = entry_blocks(x, area, block_window, h.num_blocks, named);
            for (int32_t i = 0; i < n; i++)
                if (named[i] >= h.num_blocks)
                    return slot() + " names block " + std::to_string(named[i]) + " of " + std::to_string(h.num_blocks);
        }
        if (entries > h.num_words)
            return "more hash entries than num_words";
        return "";
    }
};

// Returns "" when every structure of the index is inside the file and sound.
std::string check_structure(const std::vector<uint8_t>& b, std::vector<std::string>& paths,
                            std::vector<int32_t>& block_of) {
    const int64_t size = static_cast<int64_t>(b.size());
    if (size < header_bytes)
        return "shorter than its " + std::to_string(header_bytes) + "-byte header";
    const Structure s{b, size, decode_header(b.data())};
    std::string problem = s.header();
    if (problem.empty())
        problem = s.block_table(block_of);
    if (problem.empty())
        problem = s.names(paths);
    if (problem.empty())
        problem = s.entries();
    return problem;
}


// A problem found while the blocks are read; the first by block, then by
// its place in the block, is reported.
struct Problem {
    std::atomic<int64_t> block{INT64_MAX};
    int64_t order = 0;
    std::string what;
    void offer(int64_t b, int64_t o, std::string w, std::mutex& m) {
        std::lock_guard<std::mutex> g(m);
        if (b < block || (b == block && o < order)) {
            block = b;
            order = o;
            what = std::move(w);
        }
    }
};

}  // namespace

namespace {

// The tree's files against the index's, by stored path: walk_of gets, for
// each file of the index, its place in the walk. Returns "" or the first
// file that differs.
std::string match_files(const Tree& t, const std::vector<std::string>& paths, std::vector<int64_t>& walk_of) {
    const std::string stored_root = join(t.prefix);
    walk_of.assign(paths.size(), -1);
    std::unordered_map<std::string, size_t> file_no;
    file_no.reserve(paths.size());
    for (size_t f = 0; f < paths.size(); f++)
        file_no[paths[f]] = f;
    for (size_t i = 0; i < t.files.size(); i++) {
        auto it = file_no.find(stored_root + "/" + t.files[i].rel);
        if (it == file_no.end()) {
            // A file the builder skipped is fine as long as it would still be skipped.
            if (probe_file(t.root_fd, t.files[i].rel) == file_indexed)
                return t.shown(t.files[i].rel) + " is not in the index";
            continue;
        }
        walk_of[it->second] = static_cast<int64_t>(i);
    }
    for (size_t f = 0; f < paths.size(); f++)
        if (walk_of[f] < 0)
            return paths[f] + " is in the index but not in the tree";
    return "";
}

// Every block read again, on several threads: each distinct word of the
// block must be found, by the search's probe, in an entry naming it. Returns
// the words of blocks looked up, or reports the first problem into found.
int64_t reread_blocks(const Tree& t, const std::vector<uint8_t>& bytes, const std::vector<int64_t>& walk_of,
                      int threads, Problem& found, Progress& progress) {
    const file_header h = decode_header(bytes.data());
    const int32_t num_blocks = h.num_blocks;
    std::vector<int32_t> first(static_cast<size_t>(num_blocks) + 1);
    for (int32_t b = 0; b < num_blocks; b++)
        first[static_cast<size_t>(b)] = static_cast<int32_t>(le32(bytes.data() + block_entry_at(h, b)));
    first[static_cast<size_t>(num_blocks)] = static_cast<int32_t>(walk_of.size());
    const indexlib::EntryReader probe(bytes);
    std::atomic<int32_t> next{0};
    std::atomic<int64_t> pairs{0};
    std::mutex m;
    progress.phase("reading", static_cast<int64_t>(walk_of.size()), true);
    parallel(threads, [&](int) {
        BlockWords words(BlockWords::default_read_size, BlockWords::kept_slots_for(threads));
        // The entries of recent words, by their keys.
        constexpr size_t cache_size = 1 << 16;
        std::vector<std::pair<uint64_t, uint32_t>> cache(cache_size, {UINT64_MAX, 0});
        int64_t mine = 0;
        for (int32_t b; (b = next++) < num_blocks;) {
            if (b > found.block)
                break;
            words.clear();
            bool broken = false;
            for (int32_t f = first[static_cast<size_t>(b)]; f < first[static_cast<size_t>(b) + 1] && !broken; f++) {
                const std::string& rel = t.files[static_cast<size_t>(walk_of[static_cast<size_t>(f)])].rel;
                int64_t got = 0;
                const FileStatus status = words.add_file(t.root_fd, rel, t.root, got);
                if (status != file_indexed) {
                    found.offer(b, f - int64_t{first[static_cast<size_t>(b)]},
                                t.shown(rel) + (status == file_binary ? " now looks binary" : " cannot be read"), m);
                    broken = true;
                }
                progress.done++;
                progress.bytes += got;
            }
            if (broken)
                continue;
            // The index is far larger than the caches: each word's entry is
            // fetched 32 words ahead, its bitmap or list 8 words ahead.
            constexpr size_t ahead = 32, ring = 8;
            const std::vector<uint64_t>& keys = words.keys();
            const size_t n = keys.size();
            uint32_t entries[ring];
            auto entry_of = [&](size_t i) {
                const uint64_t key = keys[i];
                auto& c = cache[(key * 0x9E3779B97F4A7C15ull) >> 48];
                if (c.first != key)
                    c = {key, probe.entry(key_h(key), key_r(key))};
                probe.fetch_names(c.second, static_cast<uint32_t>(b));
                entries[i % ring] = c.second;
            };
            for (size_t i = 0; i < std::min(n, ahead); i++)
                probe.fetch_entry(key_h(keys[i]));
            for (size_t i = 0; i < std::min(n, ring); i++)
                entry_of(i);
            for (size_t i = 0; i < n; i++) {
                const uint32_t x = entries[i % ring];
                if (i + ahead < n)
                    probe.fetch_entry(key_h(keys[i + ahead]));
                if (i + ring < n)
                    entry_of(i + ring);
                if (x == 0 || !probe.names(x, static_cast<uint32_t>(b))) {
                    found.offer(b, int64_t{1} << 40 | static_cast<int64_t>(i),
                                std::string("word '") + words.text(i) + "' is not found in block " + std::to_string(b), m);
                    break;
                }
            }
            mine += static_cast<int64_t>(words.size());
        }
        pairs += mine;
    }, &progress);
    return pairs;
}

}  // namespace

int check_index(const std::string& dir, bool have_mount, const std::string& mount, const std::string& out,
                const WalkOptions& walk, int threads, Progress& progress) {
    progress.phase("walking the tree");
    Tree t = open_tree(dir, have_mount, mount, out);
    std::vector<uint8_t> bytes;
    std::string why;
    if (!read_whole(t.target, bytes, why))
        fail("cannot read " + t.target + ": " + why);
    // The index's structure is checked while the tree is walked: neither
    // needs the other.
    std::vector<std::string> paths;
    std::vector<int32_t> block_of;
    std::string problem;
    std::thread structure([&] { problem = check_structure(bytes, paths, block_of); });
    walk_tree(t, walk, threads);
    structure.join();
    pause_at("read");
    auto unsound = [&](const std::string& problem) {
        progress.clear();
        printf("tarvex-index: %s: NOT SOUND: %s\n", t.target.c_str(), problem.c_str());
        return 1;
    };
    if (problem.empty() && decode_header(bytes.data()).num_blocks < 1)
        problem = "no block";
    std::vector<int64_t> walk_of;
    if (problem.empty())
        problem = match_files(t, paths, walk_of);
    if (!problem.empty())
        return unsound(problem);
    Problem found;
    const int64_t pairs = reread_blocks(t, bytes, walk_of, threads, found, progress);
    if (found.block != INT64_MAX)
        return unsound(found.what);
    progress.clear();
    const file_header h = decode_header(bytes.data());
    printf("tarvex-index: %s: sound: header, %d blocks, %zu files, %d directories, hash table; "
           "every word of %zu files found in its blocks (%lld words of blocks)\n",
           t.target.c_str(), h.num_blocks, paths.size(), h.num_dirs, paths.size(), static_cast<long long>(pairs));
    return 0;
}

}  // namespace builder
