// Opening and reporting candidates: a candidate that cannot be opened, or is
// not a regular file, is reported on standard error and skipped; a regular
// file goes to the scan.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <sys/stat.h>

// Why a file that is not a regular file is not read: a directory gets the
// system's own words; reading a device could take for ever (or for ever
// return bytes), and a FIFO or socket would wait for a writer. The index
// builder says the same of the files it skips.
inline const char* not_regular_text(mode_t mode) {
    if (S_ISDIR(mode))
        return strerror(EISDIR);
    if (S_ISCHR(mode))
        return "Not a regular file (a character device)";
    if (S_ISBLK(mode))
        return "Not a regular file (a block device)";
    if (S_ISFIFO(mode))
        return "Not a regular file (a FIFO)";
    if (S_ISSOCK(mode))
        return "Not a regular file (a socket)";
    return "Not a regular file";
}

// Opens a candidate for reading, without waiting on a FIFO.
int open_candidate(const char* name);

// Searches the candidate file_fd (or reports why it is not searched), opened
// at its turn or, with since, ahead of it at since; err is the open's errno
// when file_fd < 0. *cold as for scan_file.
int64_t search_candidate(int file_fd, int err, const char* filename, const timespec* since,
                         int* cold);

// Prints every piece of filename that holds word; returns how many it printed,
// 0 when the file cannot be opened. A piece is a line, or a 255-byte cut of a
// longer one, searched up to its first NUL.
int64_t search_file(const char* filename);
