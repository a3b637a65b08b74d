// Cutting the files into blocks, and naming the indexed ones: the block
// table and the name records.
//
// Blocks are cut from the files' sizes before they are read (each takes an
// equal share of the bytes still to come); a block none of whose files is
// indexed is dropped once they have been read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "indexlib/layout.h"
#include "walk.h"

namespace builder {

// The first file of each block the files are cut into: at most asked blocks
// (0: max_blocks), and no more than there are files.
std::vector<uint32_t> cut_blocks(const std::vector<FileEntry>& files, int32_t asked);

// One past the last file of block s.
inline size_t block_end(const std::vector<uint32_t>& cut, size_t s, size_t files) {
    return s + 1 < cut.size() ? cut[s + 1] : files;
}

// The index's names and blocks once the files have been read.
struct Named {
    indexlib::Index index;              // dirs, files and blocks set
    std::vector<uint32_t> remap;        // block as cut -> block of the index
    std::vector<int64_t> block_bytes;   // bytes of each block's files
    int64_t bytes = 0;                  // bytes of all indexed files
    size_t binary = 0, unreadable = 0;
};

// Name records for the indexed files (status file_indexed), cut at cut: the
// stored prefix's directories, then every directory that holds an indexed
// file, numbered as first met. A name over max_name bytes, a path over
// max_path bytes as stored, or more than max_dir directories end the run.
Named name_files(const Tree& tree, const std::vector<uint32_t>& cut, const std::vector<uint8_t>& status,
                 const std::vector<int64_t>& bytes);

}  // namespace builder
