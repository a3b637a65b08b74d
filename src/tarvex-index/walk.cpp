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
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "common.h"

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

namespace {

// One directory as read: its files and its subdirectories (as node numbers),
// both in bytewise name order.
struct Node {
    std::string rel;
    std::vector<std::pair<std::string, int64_t>> files;
    std::vector<std::pair<std::string, size_t>> dirs;
    std::string error;   // why it could not be read
};

class Walker {
public:
    Walker(std::string root, dev_t skip_dev, ino_t skip_ino, bool have_skip)
        : root_(std::move(root)), skip_dev_(skip_dev), skip_ino_(skip_ino), have_skip_(have_skip) {
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
            std::string here = n.rel.empty() ? root_ : root_ + "/" + n.rel;
            if (!n.error.empty()) {
                fprintf(stderr, "tarvex-index: cannot read directory %s: %s (skipped)\n",
                        here.empty() ? "/" : here.c_str(), n.error.c_str());
                t.unreadable++;
                continue;
            }
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
        std::string here = rel.empty() ? root_ : root_ + "/" + rel;
        std::vector<std::pair<std::string, int64_t>> files;
        std::vector<std::string> dirs;
        std::string error;
        DIR* d = opendir(here.empty() ? "/" : here.c_str());
        if (d == nullptr) {
            error = strerror(errno);
        } else {
            int fd = dirfd(d);
            while (dirent* e = readdir(d)) {
                const char* name = e->d_name;
                if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
                    continue;
                if (e->d_type == DT_DIR) {
                    dirs.emplace_back(name);
                    continue;
                }
                if (e->d_type != DT_REG && e->d_type != DT_UNKNOWN)
                    continue;
                struct stat st;
                if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                    continue;
                if (S_ISDIR(st.st_mode))
                    dirs.emplace_back(name);
                else if (S_ISREG(st.st_mode) &&
                         !(have_skip_ && st.st_dev == skip_dev_ && st.st_ino == skip_ino_))
                    files.emplace_back(name, static_cast<int64_t>(st.st_size));
            }
            closedir(d);
        }
        std::sort(files.begin(), files.end());
        std::sort(dirs.begin(), dirs.end());
        std::lock_guard<std::mutex> g(m_);
        Node& n = nodes_[id];
        n.files = std::move(files);
        n.error = std::move(error);
        for (auto& name : dirs) {
            size_t child = nodes_.size();
            nodes_.emplace_back();
            nodes_.back().rel = rel.empty() ? name : rel + "/" + name;
            nodes_[id].dirs.emplace_back(name, child);
            queue_.push_back(child);
        }
    }

    std::string root_;
    dev_t skip_dev_;
    ino_t skip_ino_;
    bool have_skip_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<Node> nodes_;
    std::deque<size_t> queue_;
    int busy_ = 0;
};

}  // namespace

Tree open_tree(const std::string& dir, bool have_mount, const std::string& mount, const std::string& out,
               int threads) {
    Tree t;
    char* real = realpath(dir.c_str(), nullptr);
    if (real == nullptr)
        fail("cannot open directory " + dir + ": " + strerror(errno));
    t.root = real;
    free(real);
    struct stat st;
    if (stat(t.root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        fail(dir + ": not a directory");
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
    // The index itself is never indexed, nor is a stale one at the target.
    bool have_skip = lstat(t.target.c_str(), &st) == 0;
    Walker w(t.root, have_skip ? st.st_dev : 0, have_skip ? st.st_ino : 0, have_skip);
    w.run(threads);
    w.collect(t);
    return t;
}

}  // namespace builder
