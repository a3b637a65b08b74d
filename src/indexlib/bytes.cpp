#include "bytes.h"

#include <fcntl.h>
#include <unistd.h>

#include "tarvex/index.h"

namespace indexlib {

void put32(std::vector<uint8_t>& bytes, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++)
        bytes[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

void put16(std::vector<uint8_t>& bytes, size_t at, uint16_t v) {
    bytes[at] = static_cast<uint8_t>(v);
    bytes[at + 1] = static_cast<uint8_t>(v >> 8);
}

uint32_t get32(const std::vector<uint8_t>& bytes, size_t at) { return le32(bytes.data() + at); }

bool write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0)
        return false;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(out, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            close(out);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return close(out) == 0;
}

}  // namespace indexlib
