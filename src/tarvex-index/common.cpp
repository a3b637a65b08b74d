#include "common.h"

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <cstdio>
#include <mutex>
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
std::string temp_path;
}  // namespace

extern "C" void on_signal(int sig) {
    if (!temp_path.empty())
        unlink(temp_path.c_str());
    signal(sig, SIG_DFL);
    raise(sig);
}

std::string write_temp(const std::string& target, const std::vector<uint8_t>& bytes) {
    std::string dir = target.substr(0, target.rfind('/'));
    std::vector<char> tmpl(target.begin(), target.end());
    const char suffix[] = ".tmp-XXXXXX";
    tmpl.insert(tmpl.end(), suffix, suffix + sizeof(suffix));
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST)
        return "cannot create directory " + dir + ": " + strerror(errno);
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    signal(SIGHUP, on_signal);
    int out = mkstemp(tmpl.data());
    if (out < 0)
        return "cannot create a temporary file in " + dir + ": " + strerror(errno);
    temp_path = tmpl.data();
    auto give_up = [&](const std::string& what) {
        int e = errno;
        close(out);
        drop_temp();
        return what + ": " + strerror(e);
    };
    mode_t mask = umask(0);
    umask(mask);
    if (fchmod(out, 0666 & ~mask) != 0)
        return give_up("cannot set the mode of " + temp_path);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(out, bytes.data() + done, bytes.size() - done);
        if (n < 0)
            return give_up("cannot write " + temp_path);
        done += static_cast<size_t>(n);
    }
    if (fsync(out) != 0)
        return give_up("cannot write " + temp_path);
    if (close(out) != 0) {
        int e = errno;
        std::string what = "cannot write " + temp_path + ": " + strerror(e);
        drop_temp();
        return what;
    }
    return "";
}

void commit_temp(const std::string& target) {
    if (rename(temp_path.c_str(), target.c_str()) != 0) {
        int e = errno;
        std::string what = "cannot rename " + temp_path + " to " + target + ": " + strerror(e);
        drop_temp();
        fail(what);
    }
    temp_path.clear();
}

void drop_temp() {
    if (!temp_path.empty())
        unlink(temp_path.c_str());
    temp_path.clear();
}

}  // namespace builder
