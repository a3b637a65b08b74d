// libFuzzer target: the whole search (driver, index reader, probe, posting
// expansion, block expansion, path walk, file scan) over arbitrary bytes
// taken as utils/tarvex.dat, once for each of the disc's words.
//
// The tool's exits jump back here (quit under TARVEX_FUZZ) after writing the
// same messages as the real binary; the harness then frees the block's slice
// a failure may have left, closes the index and is ready for the next input.
// Candidate files are opened only below the sandbox's disc directory, and a
// path with a ".." component is refused as if missing, so the fuzzed names
// can never reach a host file (a FIFO or a device would hang the run).
#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "disc.h"
#include "harness.h"
#include "index.h"
#include "indexlib/bytes.h"

std::jmp_buf fuzz_exit;
int fuzz_status;
extern int32_t* fuzz_slice;
int tarvex_main(int argc, char** argv);

namespace {

std::string disc_root;
std::string own_scratch;  // made here, so removed at exit
int last_statuses[8];

bool escapes(const char* name) {
    // Components are separated by "/"; only ".." can climb out of the sandbox,
    // which holds no links.
    for (const char* c = name; *c;) {
        const char* end = strchr(c, '/');
        size_t n = end ? static_cast<size_t>(end - c) : strlen(c);
        if (n == 2 && c[0] == '.' && c[1] == '.')
            return true;
        c += n;
        if (*c == '/')
            c++;
    }
    return false;
}

void make_parents(const std::string& path) {
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        mkdir(path.substr(0, at).c_str(), 0755);
}

[[noreturn]] void die(const char* what) {
    dprintf(2, "fuzz harness: %s: %s\n", what, strerror(errno));
    _exit(70);
}

}  // namespace

int fuzz_open(const char* name) {
    if (name[0] != '/' || escapes(name)) {
        errno = ENOENT;
        return -1;
    }
    return open((disc_root + name).c_str(), O_RDONLY | O_NONBLOCK);
}

const int* fuzz_statuses() { return last_statuses; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The sandbox: TARVEX_FUZZ_SCRATCH (made by fuzz/run) or a fresh
    // directory; the index is written there as utils/tarvex.dat, and the
    // disc's files under disc/.
    std::string scratch;
    if (const char* s = getenv("TARVEX_FUZZ_SCRATCH"); s != nullptr && *s != '\0') {
        scratch = s;
    } else {
        char tmpl[] = "/tmp/tarvex-fuzz-XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            die("mkdtemp");
        scratch = own_scratch = tmpl;
        atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(own_scratch, ec);
        });
    }
    disc_root = scratch + "/disc";
    mkdir(scratch.c_str(), 0755);
    mkdir(disc_root.c_str(), 0755);
    mkdir((scratch + "/utils").c_str(), 0755);
    for (const auto& block : fuzzdisc::blocks())
        for (const auto& file : block) {
            std::string at = disc_root + file.path;
            make_parents(at);
            if (!indexlib::write_file(at, std::vector<uint8_t>(file.text.begin(), file.text.end())))
                die("cannot write the disc");
        }
    if (chdir(scratch.c_str()) != 0)
        die("chdir");
    // The tool's output is not the point here; TARVEX_FUZZ_VERBOSE keeps it.
    if (getenv("TARVEX_FUZZ_VERBOSE") == nullptr) {
        if (freopen("/dev/null", "w", stdout) == nullptr)
            die("/dev/null");
        FILE* null = fopen("/dev/null", "w");
        if (null == nullptr)
            die("/dev/null");
        stderr = null;  // libFuzzer and the sanitizers keep the real one
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int out = open("utils/tarvex.dat", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0)
        die("open utils/tarvex.dat");
    for (size_t done = 0; done < size;) {
        ssize_t n = write(out, data + done, size - done);
        if (n < 0)
            die("write utils/tarvex.dat");
        done += static_cast<size_t>(n);
    }
    close(out);

    const auto& words = fuzzdisc::words();
    for (size_t w = 0; w < words.size(); w++) {
        std::string arg = words[w];
        char name[] = "tarvex";
        char* argv[] = {name, arg.data(), nullptr};
        fuzz_status = -1;
        if (setjmp(fuzz_exit) == 0)
            tarvex_main(2, argv);  // never returns: every end goes through quit
        free(fuzz_slice);
        fuzz_slice = nullptr;
        if (fd >= 0)
            close(fd);
        fd = -1;
        last_statuses[w] = fuzz_status;
    }
    return 0;
}
