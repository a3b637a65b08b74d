// The kept directory path, in process: a file whose parent is on the path of
// the directory built last costs only the records below it, and a newly
// opened index is read afresh. Records renamed on disk under the walk show
// which records were read.
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "index.h"
#include "path.h"
#include "support.h"

namespace {

using namespace testing_support;

struct InDir {
    std::string back;
    explicit InDir(const std::string& dir) {
        char here[4096];
        back = getcwd(here, sizeof here) ? here : "/";
        EXPECT_EQ(chdir(dir.c_str()), 0);
    }
    ~InDir() { EXPECT_EQ(chdir(back.c_str()), 0); }
};

// Renames directory d in the index file on disk, to the same length.
void rename_dir_record(const std::string& dir, int32_t record, const std::string& name) {
    int f = open((dir + "/utils/tarvex.dat").c_str(), O_WRONLY);
    ASSERT_GE(f, 0);
    ASSERT_EQ(pwrite(f, name.data(), name.size(), record + 2), static_cast<ssize_t>(name.size()));
    close(f);
}

TEST(DirPath, SameParentReadsOnlyTheFileRecord) {
    TempDir dir;
    Tree tree;
    tree.index.slots.assign(7, 0);
    tree.index.blocks = {0};
    int32_t a = tree.file("/docs/a");
    int32_t b = tree.file("/docs/b");
    int32_t c = tree.file("/misc/c");
    int32_t d = tree.file("/docs/d");
    int32_t e = tree.file("/docs/sub/e");
    int32_t f = tree.file("/docs/sub/deeper/f");
    int32_t g = tree.file("/docs/g");
    int32_t h = tree.file("/misc/sub/h");
    indexlib::Image im = indexlib::lay_out(tree.index);
    ASSERT_EQ(im.error, "");
    write_index(dir.path, im.bytes);
    InDir in(dir.path);
    open_index();

    EXPECT_STREQ(resolve_filename(im.file_record[a]), "/docs/a");
    // The directory's record changes under the walk: a file of the same
    // directory still gets the kept path, so that record was not read again.
    rename_dir_record(dir.path, im.dir_record[tree.dirs["/docs"]], "DOCS");
    drop_windows();
    EXPECT_STREQ(resolve_filename(im.file_record[b]), "/docs/b");
    EXPECT_STREQ(resolve_filename(im.file_record[c]), "/misc/c");
    // Another directory came between: the walk reads the records again.
    EXPECT_STREQ(resolve_filename(im.file_record[d]), "/DOCS/d");

    // A subdirectory of the kept path costs its own record only: the
    // directories above it are taken as kept.
    rename_dir_record(dir.path, im.dir_record[tree.dirs["/docs"]], "dOcS");
    drop_windows();
    EXPECT_STREQ(resolve_filename(im.file_record[e]), "/DOCS/sub/e");
    EXPECT_STREQ(resolve_filename(im.file_record[f]), "/DOCS/sub/deeper/f");
    EXPECT_STREQ(resolve_filename(im.file_record[g]), "/DOCS/g");
    EXPECT_STREQ(resolve_filename(im.file_record[a]), "/DOCS/a");
    // A directory off the kept path is walked to the root again.
    rename_dir_record(dir.path, im.dir_record[tree.dirs["/misc"]], "MISC");
    drop_windows();
    EXPECT_STREQ(resolve_filename(im.file_record[h]), "/MISC/sub/h");
    close(fd);
    open_index();
    EXPECT_STREQ(resolve_filename(im.file_record[b]), "/dOcS/b");
    close(fd);
    fd = -1;
}

}  // namespace
