#include "walk.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "common.h"
#include "tarvex/open.h"

namespace builder {

std::vector<std::string> components(const std::string& abs) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < abs.size()) {
        size_t j = abs.find('/', i);
        if (j == std::string::npos)
            j = abs.size();
        if (j > i)
            out.push_back(abs.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

std::string join(const std::vector<std::string>& parts) {
    std::string s;
    for (const auto& p : parts)
        s += "/" + p;
    return s;
}

int open_below(int dir_fd, const std::string& rel, int flags) {
    // The system takes a path of at most 4095 bytes; a name is at most 255.
    constexpr size_t piece = 2048;
    int at = dir_fd;
    size_t from = 0;
    while (rel.size() - from > piece) {
        const size_t slash = rel.rfind('/', from + piece);
        if (slash == std::string::npos || slash <= from)
            break;
        const std::string part = rel.substr(from, slash - from);
        const int next = openat(at, part.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        const int e = errno;
        if (at != dir_fd)
            close(at);
        if (next < 0) {
            errno = e;
            return -1;
        }
        at = next;
        from = slash + 1;
    }
    const int fd = openat(at, rel.c_str() + from, flags);
    const int e = errno;
    if (at != dir_fd)
        close(at);
    errno = e;
    return fd;
}

bool WalkOptions::exclude(std::string pattern) {
    bool anchored = false;
    for (;;) {
        if (pattern.compare(0, 2, "./") == 0)
            pattern.erase(0, 2);
        else if (pattern.compare(0, 1, "/") == 0)
            pattern.erase(0, 1);
        else
            break;
        anchored = true;
    }
    while (!pattern.empty() && pattern.back() == '/')
        pattern.pop_back();
    if (pattern.empty())
        return false;
    const bool path = anchored || pattern.find('/') != std::string::npos;
    (path ? exclude_paths : exclude_names).push_back(std::move(pattern));
    return true;
}

bool WalkOptions::excludes(const std::string& rel_dir, const char* name) const {
    for (const auto& p : exclude_names)
        if (fnmatch(p.c_str(), name, 0) == 0)
            return true;
    if (exclude_paths.empty())
        return false;
    const std::string rel = rel_dir.empty() ? name : rel_dir + "/" + name;
    for (const auto& p : exclude_paths)
        if (fnmatch(p.c_str(), rel.c_str(), 0) == 0)
            return true;
    return false;
}

namespace {

// One directory as read: its files and its subdirectories (as node numbers),
// both in bytewise name order.
struct Node {
    std::string rel;
    std::vector<std::pair<std::string, int64_t>> files;
    std::vector<std::pair<std::string, size_t>> dirs;
    std::string error;   // why it could not be read
    size_t excluded = 0;
};

// What the walk leaves out of the tree besides what the options say: the
// index file, and in its directory the temporary files of its pattern
// (name.tmp-XXXXXX) that a build killed before it could remove them leaves.
struct Skip {
    bool have_target = false, have_dir = false;
    dev_t target_dev = 0, dir_dev = 0;
    ino_t target_ino = 0, dir_ino = 0;
    std::string temp_prefix;   // "tarvex.dat.tmp-"

    bool temp_name(const char* name) const {
        const size_t len = strlen(name);
        return len == temp_prefix.size() + 6 && memcmp(name, temp_prefix.data(), temp_prefix.size()) == 0;
    }
};

class Walker {
public:
    Walker(const Tree& t, const WalkOptions& options, const Skip& skip, dev_t root_dev)
        : tree_(t), options_(options), skip_(skip), root_dev_(root_dev) {
        nodes_.emplace_back();
        queue_.push_back(0);
    }

    void run(int threads) {
        parallel(threads, [this](int) { work(); });
    }

    // Flattens the nodes in walk order.
    void collect(Tree& t) {
        std::vector<size_t> stack{0};
        while (!stack.empty()) {
            Node& n = nodes_[stack.back()];
            stack.pop_back();
            if (!n.error.empty()) {
                fprintf(stderr, "tarvex-index: cannot read directory %s: %s (skipped)\n",
                        n.rel.empty() ? (t.root.empty() ? "/" : t.root.c_str()) : t.shown(n.rel).c_str(),
                        n.error.c_str());
                t.unreadable++;
                continue;
            }
            t.excluded += n.excluded;
            for (auto& [name, size] : n.files)
                t.files.push_back({n.rel.empty() ? name : n.rel + "/" + name, size});
            n.files.clear();
            n.files.shrink_to_fit();
            for (auto it = n.dirs.rbegin(); it != n.dirs.rend(); ++it)
                stack.push_back(it->second);
        }
    }

private:
    void work() {
        for (;;) {
            size_t id;
            {
                std::unique_lock<std::mutex> g(m_);
                cv_.wait(g, [this] { return !queue_.empty() || busy_ == 0; });
                if (queue_.empty())
                    return;
                id = queue_.front();
                queue_.pop_front();
                busy_++;
            }
            read_dir(id);
            {
                std::lock_guard<std::mutex> g(m_);
                busy_--;
            }
            cv_.notify_all();
        }
    }

    void read_dir(size_t id) {
        std::string rel;
        {
            std::lock_guard<std::mutex> g(m_);
            rel = nodes_[id].rel;
        }
        std::vector<std::pair<std::string, int64_t>> files;
        std::vector<std::string> dirs;
        std::string error;
        size_t excluded = 0;
        const bool excluding = !options_.exclude_names.empty() || !options_.exclude_paths.empty();
        auto keep = [&](const char* name) {
            if (excluding && options_.excludes(rel, name)) {
                excluded++;
                return false;
            }
            return true;
        };
        // O_NOFOLLOW: a directory swapped for a symbolic link since it was
        // listed is not followed out of the tree.
        const int fd = open_below(tree_.root_fd, rel.empty() ? "." : rel,
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat here;
        DIR* d = nullptr;
        if (fd < 0 || fstat(fd, &here) != 0) {
            error = strerror(errno);
            if (fd >= 0)
                close(fd);
        } else if (options_.one_file_system && here.st_dev != root_dev_) {
            close(fd);
        } else if ((d = fdopendir(fd)) == nullptr) {
            error = strerror(errno);
            close(fd);
        } else {
            const bool target_dir = skip_.have_dir && here.st_dev == skip_.dir_dev && here.st_ino == skip_.dir_ino;
            errno = 0;
            while (dirent* e = readdir(d)) {
                const char* name = e->d_name;
                if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
                    continue;
                if (e->d_type == DT_DIR) {
                    if (keep(name))
                        dirs.emplace_back(name);
                    continue;
                }
                if (e->d_type != DT_REG && e->d_type != DT_UNKNOWN)
                    continue;
                if (target_dir && skip_.temp_name(name))
                    continue;
                struct stat st;
                if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                    continue;
                if (S_ISDIR(st.st_mode)) {
                    if (keep(name))
                        dirs.emplace_back(name);
                } else if (S_ISREG(st.st_mode) &&
                           !(skip_.have_target && st.st_dev == skip_.target_dev && st.st_ino == skip_.target_ino)) {
                    if (keep(name))
                        files.emplace_back(name, static_cast<int64_t>(st.st_size));
                }
            }
            closedir(d);
        }
        std::sort(files.begin(), files.end());
        std::sort(dirs.begin(), dirs.end());
        std::lock_guard<std::mutex> g(m_);
        Node& n = nodes_[id];
        n.files = std::move(files);
        n.error = std::move(error);
        n.excluded = excluded;
        for (auto& name : dirs) {
            size_t child = nodes_.size();
            nodes_.emplace_back();
            nodes_.back().rel = rel.empty() ? name : rel + "/" + name;
            nodes_[id].dirs.emplace_back(name, child);
            queue_.push_back(child);
        }
    }

    const Tree& tree_;
    const WalkOptions& options_;
    const Skip& skip_;
    const dev_t root_dev_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<Node> nodes_;
    std::deque<size_t> queue_;
    int busy_ = 0;
};

}  // namespace

Tree open_tree(const std::string& dir, bool have_mount, const std::string& mount, const std::string& out) {
    Tree t;
    char* real = realpath(dir.c_str(), nullptr);
    if (real == nullptr)
        fail("cannot open directory " + dir + ": " + strerror(errno));
    t.root = real;
    free(real);
    t.root_fd = open(t.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (t.root_fd < 0)
        fail(errno == ENOTDIR ? dir + ": not a directory" : "cannot open directory " + dir + ": " + strerror(errno));
    if (have_mount) {
        if (mount.empty() || mount[0] != '/')
            usage_error("--mount wants an absolute path, not '" + mount + "'");
        t.prefix = components(mount);
        for (const auto& c : t.prefix)
            if (c == "." || c == "..")
                usage_error("--mount wants a path without . or .., not '" + mount + "'");
    } else {
        t.prefix = components(t.root);
    }
    if (t.root == "/")
        t.root = "";
    if (out.empty()) {
        t.target = t.root + "/utils/tarvex.dat";
    } else if (out[0] == '/') {
        t.target = out;
    } else {
        char* cwd = getcwd(nullptr, 0);
        std::string s = cwd ? cwd : ".";
        free(cwd);
        t.target = s + "/" + out;
    }
    return t;
}

void check_target_writable(const Tree& t) {
    struct stat st;
    if (lstat(t.target.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
        fail("cannot write " + t.target + ": " + not_regular_text(st.st_mode));
    const std::string dir = dir_of(t.target);
    // The index's directory is made at the end, one level, if it is not there.
    std::string must_write = dir;
    if (stat(dir.c_str(), &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR)
            fail("cannot write the index in " + dir + ": " + strerror(errno));
        must_write = dir_of(dir);
        if (stat(must_write.c_str(), &st) != 0)
            fail("cannot create directory " + dir + ": " + strerror(errno));
    }
    if (!S_ISDIR(st.st_mode))
        fail((must_write == dir ? "cannot write the index in " : "cannot create directory ") + dir + ": " +
             strerror(ENOTDIR));
    if (access(must_write.c_str(), W_OK | X_OK) != 0) {
        const int e = errno;
        fail(must_write == dir ? "cannot write the index in " + dir + ": " + strerror(e)
                               : "cannot create directory " + dir + ": " + strerror(e));
    }
}

void walk_tree(Tree& t, const WalkOptions& options, int threads) {
    Skip skip;
    struct stat st;
    if (lstat(t.target.c_str(), &st) == 0) {
        skip.have_target = true;
        skip.target_dev = st.st_dev;
        skip.target_ino = st.st_ino;
    }
    if (stat(dir_of(t.target).c_str(), &st) == 0) {
        skip.have_dir = true;
        skip.dir_dev = st.st_dev;
        skip.dir_ino = st.st_ino;
        skip.temp_prefix = t.target.substr(t.target.rfind('/') + 1) + ".tmp-";
    }
    if (fstat(t.root_fd, &st) != 0)
        fail("cannot read directory " + (t.root.empty() ? std::string("/") : t.root) + ": " + strerror(errno));
    Walker w(t, options, skip, st.st_dev);
    w.run(threads);
    w.collect(t);
}

}  // namespace builder
