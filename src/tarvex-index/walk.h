// The walk: which files of the tree are indexed, in which order, and where
// the index goes.
//
// Every regular file under DIR, symbolic links not followed: a directory's
// files in bytewise name order, then its subdirectories in the same order,
// each walked the same way. The index file itself, and a temporary file of
// its pattern left by a build that died, are never part of the tree.
// Directories are read on several threads; the order does not depend on them.
// Everything below DIR is opened relative to a descriptor of DIR, so that no
// depth of the tree makes a path too long for the system.
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
    int root_fd = -1;                  // DIR, open for the run
    std::vector<std::string> prefix;   // the stored path of DIR, by components
    std::string target;                // the index file
    std::vector<FileEntry> files;      // in walk order
    size_t unreadable = 0;             // directories that could not be read (reported)
    size_t excluded = 0;               // files and directories left out by --exclude

    // How a file or directory below DIR is named to the user.
    std::string shown(const std::string& rel) const { return root + "/" + rel; }
};

struct WalkOptions {
    bool one_file_system = false;   // -x: no descent onto other file systems than DIR's
    // --exclude: shell patterns (fnmatch, bytes, case-sensitive). One without
    // a '/' is matched against each name below DIR, one with a '/' against
    // the path below DIR ("build/gen"). A directory matched is left out
    // with everything under it; DIR itself is always walked.
    std::vector<std::string> exclude_names, exclude_paths;

    // Adds a pattern as given on the command line; false if it is empty. A
    // trailing '/' is dropped; a leading "./" or '/' is dropped and ties the
    // pattern to DIR: "build/" is any directory named build, "/build" and
    // "./build" only DIR/build.
    bool exclude(std::string pattern);
    bool excludes(const std::string& rel_dir, const char* name) const;
};

// Resolves DIR, the stored prefix (--mount, or DIR's own path) and the index
// file (-o, or DIR/utils/tarvex.dat). Reads nothing of the tree.
Tree open_tree(const std::string& dir, bool have_mount, const std::string& mount, const std::string& out);

// Ends the run with one line, before the tree is read, where the index
// cannot be written at the target: it is a directory, device, FIFO or socket
// (a symbolic link is replaced, not followed), or its directory is not a
// directory or cannot be written (or made, if it does not exist yet).
void check_target_writable(const Tree& t);

// Walks the tree into t.files. A directory that cannot be read is reported
// on standard error, in walk order, and skipped.
void walk_tree(Tree& t, const WalkOptions& options, int threads);

// Opens rel below the directory dir_fd, however long rel is (one lookup per
// piece of at most a few kilobytes, each piece ending at a '/').
int open_below(int dir_fd, const std::string& rel, int flags);

// "/a/b" -> {"a", "b"}, and back.
std::vector<std::string> components(const std::string& abs);
std::string join(const std::vector<std::string>& parts);

}  // namespace builder
