#include "bytes.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>

namespace indexlib {

void populate(void* p, size_t bytes, int threads) {
#ifdef MADV_POPULATE_WRITE
    // Below a few megabytes the faults cost less than a thread.
    constexpr size_t worth = size_t{4} << 20;
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t from = (reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1);
    const uintptr_t to = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(page - 1);
    if (bytes < worth || to <= from)
        return;
    const uintptr_t pages = (to - from) / page;
    // A thread for a megabyte at least: starting one costs more than the
    // faults it would save on less.
    const auto n = std::min(static_cast<uintptr_t>(std::max(threads, 1)), (to - from) / (uintptr_t{1} << 20) + 1);
    // A refusal (an older system) leaves the pages to their first write.
    auto part = [&](uintptr_t t) {
        const uintptr_t a = from + pages * t / n * page, b = from + pages * (t + 1) / n * page;
        if (b > a)
            madvise(reinterpret_cast<void*>(a), b - a, MADV_POPULATE_WRITE);
    };
    on_threads(static_cast<unsigned>(n), part);
#else
    (void)p;
    (void)bytes;
    (void)threads;
#endif
}

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
