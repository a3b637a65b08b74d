#include "common.h"

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <cstdio>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace builder {

namespace {
std::mutex fail_lock;

[[noreturn]] void end(const std::string& line, int status) {
    // Other threads may still run: only the first failure speaks, and the
    // process ends without running destructors under their feet.
    fail_lock.lock();
    fflush(stdout);
    fprintf(stderr, "%s\n", line.c_str());
    fflush(stderr);
    _exit(status);
}
}  // namespace

void fail(const std::string& what) { end("tarvex-index: " + what, 1); }

void usage_error(const std::string& what) { end("tarvex-index: " + what + " (try --help)", 2); }

void Progress::phase(const char* what, int64_t total_count, bool in_bytes) {
    if (timing) {
        const auto now = std::chrono::steady_clock::now();
        if (!times_.empty())
            times_.back().second = std::chrono::duration<double>(now - phase_start_).count();
        times_.emplace_back(what, 0.0);
        phase_start_ = now;
    }
    what_ = what;
    in_bytes_ = in_bytes;
    done = 0;
    bytes = 0;
    total = total_count;
    draw(true);
}

void Progress::draw(bool force) {
    if (!on)
        return;
    auto now = std::chrono::steady_clock::now();
    if (!force && now - last_ < std::chrono::milliseconds(100))
        return;
    last_ = now;
    if (in_bytes_) {
        double secs = std::chrono::duration<double>(now - start_).count();
        double mb = static_cast<double>(bytes.load()) / 1e6;
        fprintf(stderr, "\r%s: %lld/%lld files, %.1f MB, %.1f MB/s   ", what_, static_cast<long long>(done.load()),
                static_cast<long long>(total.load()), mb, secs > 0 ? mb / secs : 0.0);
    } else if (total.load() > 0) {
        fprintf(stderr, "\r%s: %lld/%lld   ", what_, static_cast<long long>(done.load()),
                static_cast<long long>(total.load()));
    } else {
        fprintf(stderr, "\r%-60s", what_);
    }
}

void Progress::print_times() {
    if (!timing || times_.empty())
        return;
    const auto now = std::chrono::steady_clock::now();
    times_.back().second = std::chrono::duration<double>(now - phase_start_).count();
    std::string line = "tarvex-index: times:";
    for (const auto& [what, secs] : times_) {
        char buf[96];
        snprintf(buf, sizeof buf, " %s %.2f s,", what, secs);
        line += buf;
    }
    char buf[64];
    snprintf(buf, sizeof buf, " in all %.2f s", std::chrono::duration<double>(now - start_).count());
    fprintf(stderr, "%s%s\n", line.c_str(), buf);
}

void Progress::clear() {
    if (on)
        fprintf(stderr, "\r%-60s\r", "");
}

int processors() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0)
            return n;
    }
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int>(n) : 1;
}

void parallel(int threads, const std::function<void(int)>& work, Progress* progress) {
    if (threads <= 1 && (progress == nullptr || !progress->on)) {
        work(0);
        return;
    }
    std::mutex m;
    std::condition_variable cv;
    int running = threads;
    std::vector<std::thread> pool;
    pool.reserve(static_cast<size_t>(threads));
    for (int t = 0; t < threads; t++)
        pool.emplace_back([&, t] {
            work(t);
            std::lock_guard<std::mutex> g(m);
            if (--running == 0)
                cv.notify_all();
        });
    {
        std::unique_lock<std::mutex> g(m);
        while (running > 0) {
            cv.wait_for(g, std::chrono::milliseconds(100));
            if (progress)
                progress->draw();
        }
    }
    for (auto& th : pool)
        th.join();
}

namespace {

std::string pause_point;
bool named_only = false;

// The index is written to an unnamed file where the file system allows it,
// so that no death of the process leaves a file behind; elsewhere to a named
// temporary file, which the handled signals remove.
int temp_fd = -1;
bool temp_unnamed = false;
std::string temp_path;
// temp_path names a file for the signal handler to remove; set only while
// temp_path is not being changed.
volatile sig_atomic_t temp_named = 0;

const int cleaned_signals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

void name_temp(const std::string& path) {
    temp_named = 0;
    temp_path = path;
    temp_named = !path.empty();
}

// Blocks the handled signals on this thread; old gets the mask to restore.
void block_cleaned_signals(sigset_t* old) {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : cleaned_signals)
        sigaddset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, old);
}

// A fresh name of the target's temporary pattern, target.tmp-XXXXXX.
std::string temp_name(const std::string& target) {
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static uint64_t state = static_cast<uint64_t>(getpid()) * 0x9E3779B97F4A7C15ull ^
                            static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::string name = target + ".tmp-";
    for (int i = 0; i < 6; i++) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        name += letters[(state >> 33) % (sizeof letters - 1)];
    }
    return name;
}

}  // namespace

extern "C" void on_signal(int sig) {
    if (temp_named)
        unlink(temp_path.c_str());
    signal(sig, SIG_DFL);
    raise(sig);
}

std::string dir_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

void set_pause_point(const std::string& point) { pause_point = point; }

void use_named_temp() { named_only = true; }

void pause_at(const char* point) {
    if (pause_point == point)
        raise(SIGSTOP);
}

void flush_stdout() {
    if (fflush(stdout) != 0 || ferror(stdout))
        end("tarvex-index: write failed: " + std::string(strerror(errno)), 1);
}

std::string write_temp(const std::string& target, const std::vector<uint8_t>& bytes) {
    const std::string dir = dir_of(target);
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST)
        return "cannot create directory " + dir + ": " + strerror(errno);
    temp_fd = named_only ? -1 : open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    temp_unnamed = temp_fd >= 0;
    if (!temp_unnamed) {
        // A signal the process was started ignoring (nohup's SIGHUP) stays
        // ignored: the caller asked for the build to outlive it.
        for (int sig : cleaned_signals) {
            struct sigaction now {};
            if (sigaction(sig, nullptr, &now) == 0 && now.sa_handler != SIG_IGN)
                signal(sig, on_signal);
        }
        // The name is kept before the file is made, so that a signal on any
        // thread finds it; O_EXCL makes sure the file is ours.
        int e = 0;
        for (int tries = 0; tries < 100 && temp_fd < 0; tries++) {
            name_temp(temp_name(target));
            temp_fd = open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            e = errno;
            if (temp_fd < 0)
                name_temp("");
            if (temp_fd < 0 && e != EEXIST)
                break;
        }
        if (temp_fd < 0)
            return "cannot create a temporary file in " + dir + ": " + strerror(e);
    }
    auto give_up = [&] {
        const int e = errno;
        drop_temp();
        return "cannot write " + target + ": " + strerror(e);
    };
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(temp_fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return give_up();
        }
        done += static_cast<size_t>(n);
    }
    if (fsync(temp_fd) != 0)
        return give_up();
    pause_at("write");
    if (!temp_unnamed) {
        const int fd = temp_fd;
        temp_fd = -1;
        if (close(fd) != 0)
            return give_up();
    }
    return "";
}

void commit_temp(const std::string& target) {
    if (!temp_unnamed) {
        if (rename(temp_path.c_str(), target.c_str()) != 0) {
            const int e = errno;
            std::string what = "cannot rename " + temp_path + " to " + target + ": " + strerror(e);
            drop_temp();
            fail(what);
        }
        name_temp("");
        return;
    }
    // A name cannot be linked over an existing one: the unnamed file takes a
    // temporary name and is renamed over the target. No handled signal lands
    // between the two; only SIGKILL could leave the name.
    sigset_t old;
    block_cleaned_signals(&old);
    std::string path;
    int e = 0;
    for (int tries = 0; tries < 100; tries++) {
        path = temp_name(target);
        if (linkat(temp_fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0)
            break;
        e = errno;
        if (e == ENOENT || e == EPERM) {
            // AT_EMPTY_PATH wants a privilege; the descriptor's name in /proc does not.
            const std::string self = "/proc/self/fd/" + std::to_string(temp_fd);
            if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0)
                break;
            e = errno;
        }
        path.clear();
        if (e != EEXIST)
            break;
    }
    if (path.empty()) {
        drop_temp();
        fail("cannot give " + target + " its name: " + strerror(e));
    }
    if (rename(path.c_str(), target.c_str()) != 0) {
        e = errno;
        unlink(path.c_str());
        drop_temp();
        fail("cannot rename " + path + " to " + target + ": " + strerror(e));
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    close(temp_fd);
    temp_fd = -1;
}

void drop_temp() {
    if (temp_fd >= 0)
        close(temp_fd);
    temp_fd = -1;
    if (temp_named)
        unlink(temp_path.c_str());
    name_temp("");
}

}  // namespace builder
