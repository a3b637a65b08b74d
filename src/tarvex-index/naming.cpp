#include "naming.h"

#include <algorithm>
#include <string>
#include <unordered_map>

#include "common.h"
#include "words.h"

namespace builder {

namespace {

// Name records for the tree: the stored prefix's directories, then every
// directory that holds an indexed file, numbered as first met.
struct Names {
    indexlib::Index& index;
    const std::vector<std::string>& prefix;
    std::string stored_root;
    std::unordered_map<std::string, int16_t> dirs;   // relative path -> number
    // The walk gives a directory's files one after another: the last
    // file's directory is looked up once for all of them.
    bool have_last = false;
    std::string last_dir;
    int16_t last_number = 0;

    Names(indexlib::Index& ix, const std::vector<std::string>& pre) : index(ix), prefix(pre), stored_root(join(pre)) {}

    int16_t new_dir(int16_t parent, const std::string& name, const std::string& shown) {
        if (name.size() > static_cast<size_t>(max_name))
            fail(shown + ": name of " + std::to_string(name.size()) + " bytes, at most " + std::to_string(max_name));
        if (index.dirs.size() >= static_cast<size_t>(max_dir))
            fail(shown + ": more than " + std::to_string(max_dir) + " directories");
        index.dirs.push_back({parent, name});
        return static_cast<int16_t>(index.dirs.size());
    }

    int16_t root() {
        auto it = dirs.find("");
        if (it != dirs.end())
            return it->second;
        int16_t d = 0;
        std::string shown;
        for (const auto& p : prefix) {
            shown += "/" + p;
            d = new_dir(d, p, shown);
        }
        dirs[""] = d;
        return d;
    }

    int16_t dir(const std::string& rel, const std::string& root_shown) {
        if (rel.empty())
            return root();
        auto it = dirs.find(rel);
        if (it != dirs.end())
            return it->second;
        size_t slash = rel.rfind('/');
        int16_t parent = dir(slash == std::string::npos ? "" : rel.substr(0, slash), root_shown);
        int16_t d = new_dir(parent, slash == std::string::npos ? rel : rel.substr(slash + 1), root_shown + "/" + rel);
        dirs[rel] = d;
        return d;
    }

    void file(const std::string& rel, const std::string& root_shown) {
        const size_t stored = stored_root.size() + 1 + rel.size();
        if (stored > static_cast<size_t>(max_path))
            fail(root_shown + "/" + rel + ": path of " + std::to_string(stored) + " bytes as stored, at most " +
                 std::to_string(max_path));
        const size_t slash = rel.rfind('/');
        const size_t name_at = slash == std::string::npos ? 0 : slash + 1;
        if (rel.size() - name_at > static_cast<size_t>(max_name))
            fail(root_shown + "/" + rel + ": name of " + std::to_string(rel.size() - name_at) + " bytes, at most " +
                 std::to_string(max_name));
        const size_t dir_len = slash == std::string::npos ? 0 : slash;
        if (!have_last || last_dir.size() != dir_len || rel.compare(0, dir_len, last_dir) != 0) {
            have_last = true;
            last_dir.assign(rel, 0, dir_len);
            last_number = dir(last_dir, root_shown);
        }
        index.files.push_back({last_number, rel.substr(name_at)});
    }
};

}  // namespace

std::vector<uint32_t> cut_blocks(const std::vector<FileEntry>& files, int32_t asked) {
    const auto want = static_cast<int32_t>(
        std::min<size_t>(static_cast<size_t>(asked ? asked : max_blocks), std::max<size_t>(files.size(), 1)));
    int64_t total = 0;
    for (const auto& f : files)
        total += f.size;
    std::vector<uint32_t> first;
    int64_t offset = 0, block_start = 0;
    for (size_t i = 0; i < files.size(); i++) {
        const int64_t size = files[i].size;
        const auto opened = static_cast<int64_t>(first.size());
        // Each block takes about an equal share of the bytes still to come, so
        // that a large file, which fills a block alone, leaves the other
        // blocks to the rest.
        if (opened == 0 ||
            (opened < want && offset - block_start + size / 2 >= (total - block_start) / (want - opened + 1))) {
            first.push_back(static_cast<uint32_t>(i));
            block_start = offset;
        }
        offset += size;
    }
    return first;
}

Named name_files(const Tree& tree, const std::vector<uint32_t>& cut, const std::vector<uint8_t>& status,
                 const std::vector<int64_t>& bytes) {
    Named out;
    Names names(out.index, tree.prefix);
    names.root();
    out.remap.assign(cut.size(), 0);
    const std::string root_shown = tree.root;
    for (size_t s = 0; s < cut.size(); s++) {
        const size_t end = block_end(cut, s, tree.files.size());
        bool opened = false;
        for (size_t i = cut[s]; i < end; i++) {
            if (status[i] == file_binary) {
                out.binary++;
                continue;
            }
            if (status[i] == file_unreadable) {
                out.unreadable++;
                continue;
            }
            if (!opened) {
                out.index.blocks.push_back(static_cast<int32_t>(out.index.files.size()));
                out.block_bytes.push_back(0);
                opened = true;
            }
            out.remap[s] = static_cast<uint32_t>(out.index.blocks.size() - 1);
            names.file(tree.files[i].rel, root_shown);
            out.block_bytes.back() += bytes[i];
            out.bytes += bytes[i];
        }
    }
    return out;
}

}  // namespace builder
