// Little-endian stores into a byte image, writing an image to a file, and
// the split of such work over threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "tarvex/index.h"

namespace indexlib {

// Inline: laying out a tree's index stores tens of millions of them.
inline void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void put32(std::vector<uint8_t>& bytes, size_t at, uint32_t v) { put32(bytes.data() + at, v); }

inline void put16(std::vector<uint8_t>& bytes, size_t at, uint16_t v) {
    bytes[at] = static_cast<uint8_t>(v);
    bytes[at + 1] = static_cast<uint8_t>(v >> 8);
}

inline uint32_t get32(const std::vector<uint8_t>& bytes, size_t at) {
    return le32(bytes.data() + at);
}

// part(t) for each t below n, each on a thread of its own, part(0) on the
// caller's.
template <class Part>
void on_threads(unsigned n, const Part& part) {
    std::vector<std::thread> others;
    for (unsigned t = 1; t < n; t++)
        others.emplace_back(part, t);
    part(0u);
    for (auto& th : others)
        th.join();
}

// Asks the system for the pages of [p, p + bytes) now, split over threads,
// where it can: one request per thread instead of a fault per page as they
// are first written. Where it cannot, the pages come at first write as ever.
void populate(void* p, size_t bytes, int threads);

// Writes bytes to path; false with errno set on failure.
bool write_file(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace indexlib
