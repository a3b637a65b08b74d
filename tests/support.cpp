#include "support.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "indexlib/place.h"
#include "indexlib/words.h"
#include "tarvex/hash.h"

namespace testing_support {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "tarvex-test-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path = fs::canonical(buf.data()).string();
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path, ec);
}

Result run_tarvex(const std::string& dir, const std::vector<std::string>& args, unsigned time_limit) {
    return run_binary(TARVEX_BIN, dir, args, time_limit);
}

Result run_binary(const std::string& bin, const std::string& dir, const std::vector<std::string>& args,
                  unsigned time_limit) {
    RunOptions options;
    options.time_limit = time_limit;
    return run_binary(bin, dir, args, options);
}

Result run_binary(const std::string& bin, const std::string& dir, const std::vector<std::string>& args,
                  const RunOptions& options) {
    TempDir io;
    const std::string out_path = options.out_file.empty() ? io.path + "/out" : options.out_file;
    const std::string err_path = io.path + "/err";
    pid_t pid = fork();
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || chdir(dir.c_str()) != 0)
            _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (options.in_child)
            options.in_child();
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(bin.c_str()));
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        alarm(options.time_limit);  // kept across exec
        execv(bin.c_str(), argv.data());
        _exit(127);
    }
    Result run;
    int st = 0;
    for (;;) {
        waitpid(pid, &st, options.at_stop ? WUNTRACED : 0);
        if (!WIFSTOPPED(st))
            break;
        run.stops++;
        options.at_stop(pid);
        kill(pid, SIGCONT);
    }
    run.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    if (options.out_file.empty())
        run.out = read_text(out_path);
    run.err = read_text(err_path);
    return run;
}

void write_text(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream f(path, std::ios::binary);
    f << text;
    if (!f)
        throw std::runtime_error("cannot write " + path);
}

std::string read_text(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void make_dirs(const std::string& path) { fs::create_directories(path); }

int16_t Tree::dir(const std::string& abs) {
    if (abs.empty() || abs == "/")
        return 0;
    auto it = dirs.find(abs);
    if (it != dirs.end())
        return it->second;
    size_t slash = abs.rfind('/');
    int16_t parent = dir(abs.substr(0, slash));
    index.dirs.push_back({parent, abs.substr(slash + 1)});
    auto n = static_cast<int16_t>(index.dirs.size());
    dirs[abs] = n;
    return n;
}

int32_t Tree::file(const std::string& abs) {
    size_t slash = abs.rfind('/');
    int16_t parent = dir(abs.substr(0, slash));
    index.files.push_back({parent, abs.substr(slash + 1)});
    return static_cast<int32_t>(index.files.size() - 1);
}

Probe probe(const std::string& word, uint32_t prime) {
    uint32_t h, r;
    hash_word(word.c_str(), &h, &r);
    return {h % prime, rehash6_of(r), rehash16_of(r)};
}

void write_index(const std::string& dir, const std::vector<uint8_t>& bytes) {
    fs::create_directories(dir + "/utils");
    if (!indexlib::write_file(dir + "/utils/tarvex.dat", bytes))
        throw std::runtime_error("cannot write the index in " + dir);
}

int32_t Disc::block(const std::vector<std::pair<std::string, std::string>>& files) {
    auto& index = tree.index;
    index.blocks.push_back(static_cast<int32_t>(index.files.size()));
    for (const auto& [name, text] : files) {
        std::string abs = root + "/" + name;
        write_text(abs, text);
        tree.file(abs);
        paths.push_back(abs);
    }
    return static_cast<int32_t>(index.blocks.size() - 1);
}

void Disc::entry(const std::string& word, uint32_t value, uint32_t prime) {
    auto& slots = tree.index.slots;
    if (slots.size() != prime)
        slots.assign(prime, 0);
    slots[probe(word, prime).slot] = value;
}

void Disc::area_entry(const std::string& word, bool bitmap, const std::vector<uint8_t>& bytes,
                      uint32_t prime) {
    Probe p = probe(word, prime);
    entry(word, bitmap ? bitmap_entry(p.r6) : list_entry(p.r6), prime);
    tree.index.areas.push_back({bitmap, bytes, p.slot});
}

void Disc::place(uint32_t prime) {
    auto& index = tree.index;
    std::map<std::string, std::set<uint32_t>> blocks_of;
    for (size_t b = 0; b < index.blocks.size(); b++) {
        size_t end = b + 1 < index.blocks.size() ? static_cast<size_t>(index.blocks[b + 1])
                                                 : index.files.size();
        for (size_t f = static_cast<size_t>(index.blocks[b]); f < end; f++)
            for (const std::string& w : indexlib::words_of(read_text(paths[f])))
                blocks_of[w].insert(static_cast<uint32_t>(b));
    }
    std::vector<indexlib::Word> words;
    for (const auto& [w, bs] : blocks_of)
        words.push_back({w, std::vector<uint32_t>(bs.begin(), bs.end())});
    if (!indexlib::place_words(words, prime, index).ok)
        throw std::runtime_error("words do not fit the hash table");
}

indexlib::Image Disc::image() const {
    indexlib::Index index = tree.index;
    if (index.slots.empty())
        index.slots.assign(101, 0);
    indexlib::Image im = indexlib::lay_out(index);
    if (!im.error.empty())
        throw std::runtime_error(im.error);
    return im;
}

void Disc::write() const { write_index(root, image().bytes); }

}  // namespace testing_support
