// The walk: which files of the tree are indexed, in which order, and where
// the index goes.
//
// Every regular file under DIR, symbolic links not followed: a directory's
// files in bytewise name order, then its subdirectories in the same order,
// each walked the same way. The index file itself (and a stale one at the
// target) is never part of the tree. Directories are read on several threads;
// the order does not depend on them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace builder {

struct FileEntry {
    std::string rel;   // path below DIR, "a/b.txt"
    int64_t size;      // as the walk saw it
};

struct Tree {
    std::string root;                  // DIR, absolute, symbolic links resolved ("" for /)
    std::vector<std::string> prefix;   // the stored path of DIR, by components
    std::string target;                // the index file
    std::vector<FileEntry> files;      // in walk order
    size_t unreadable = 0;             // directories that could not be read (reported)
};

// Resolves DIR, the stored prefix (--mount, or DIR's own path) and the index
// file (-o, or DIR/utils/tarvex.dat), then walks the tree. A directory that
// cannot be read is reported on standard error, in walk order, and skipped.
Tree open_tree(const std::string& dir, bool have_mount, const std::string& mount, const std::string& out,
               int threads);

// "/a/b" -> {"a", "b"}, and back.
std::vector<std::string> components(const std::string& abs);
std::string join(const std::vector<std::string>& parts);

}  // namespace builder
