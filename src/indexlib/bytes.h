// Little-endian stores into a byte image, and writing an image to a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace indexlib {

void put32(std::vector<uint8_t>& bytes, size_t at, uint32_t v);
void put16(std::vector<uint8_t>& bytes, size_t at, uint16_t v);
uint32_t get32(const std::vector<uint8_t>& bytes, size_t at);

// Writes bytes to path; false with errno set on failure.
bool write_file(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace indexlib
