#include "open.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ahead.h"
#include "scan.h"

// Candidate paths come from the index; the fuzz harness, whose index is
// fuzzed bytes, opens them only inside its sandbox.
#ifdef TARVEX_FUZZ
int fuzz_open(const char* name);
int open_candidate(const char* name) { return fuzz_open(name); }
#else
// Without O_NONBLOCK a FIFO with no writer would hold the open for ever; a
// regular file ignores the flag.
int open_candidate(const char* name) { return open(name, O_RDONLY | O_NONBLOCK); }
#endif

// Opening a socket fails (ENXIO) before its kind can be seen on a descriptor;
// the path says what it is. Only a failed open pays for this look.
static const char* open_failure(const char* filename, int err) {
    struct stat st;
    if (err == ENXIO && stat(filename, &st) == 0 && !S_ISREG(st.st_mode))
        return not_regular_text(st.st_mode);
    return strerror(err);
}

// Scans the open candidate file_fd if it is a regular file, and closes it.
static int64_t search_opened(int file_fd, const struct stat& st, const char* filename, int* cold) {
    int64_t printed = 0;
    if (!S_ISREG(st.st_mode)) {
        fprintf(stderr, "Cannot open %s: %s\n", filename, not_regular_text(st.st_mode));
    } else {
        uint64_t size = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
        printed = scan_file(file_fd, filename, size, cold);
    }
    close(file_fd);
    return printed;
}

int64_t search_candidate(int file_fd, int err, const char* filename, const timespec* since,
                         int* cold) {
    struct stat st;
    bool known = file_fd >= 0 && fstat(file_fd, &st) == 0;
    if (known && since != nullptr && changed_since(st, *since)) {
        close(file_fd);
        file_fd = open_at_turn(filename);
        err = errno;
        known = file_fd >= 0 && fstat(file_fd, &st) == 0;
    }
    if (!known) {
        const char* why = file_fd < 0 ? open_failure(filename, err) : strerror(errno);
        fprintf(stderr, "Cannot open %s: %s\n", filename, why);
        if (file_fd >= 0)
            close(file_fd);
        return 0;
    }
    return search_opened(file_fd, st, filename, cold);
}

int64_t search_file(const char* filename) {
    int file_fd = open_candidate(filename);
    int err = errno;
    int cold = -1;
    return search_candidate(file_fd, err, filename, nullptr, &cold);
}
