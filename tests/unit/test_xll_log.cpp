// The diagnostic log: exact bytes on disk, appending, silence when the file
// cannot be opened or is not the user's own, and the cut file name under a
// very long temp folder.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "xll_log.h"

namespace {

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

class XllLog : public ::testing::Test {
protected:
    std::string dir;  // this case's temp folder, with a trailing slash

    void SetUp() override {
        char tmpl[] = "/tmp/tindral_log_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = std::string(tmpl) + "/";
        setenv("TMPDIR", tmpl, 1);
    }
    void TearDown() override {
        plat_reset();
        std::string cmd = "rm -rf '" + dir + "'";
        (void)!system(cmd.c_str());
    }
    std::string log_path() const { return dir + "tindralxl.log"; }
};

TEST_F(XllLog, three_letters_add_exactly_those_bytes_and_one_line_end) {
    xll_log("abc");
    EXPECT_EQ(read_file(log_path()), "abc\n");
}

TEST_F(XllLog, empty_message_adds_an_empty_line_not_nothing) {
    xll_log("a");
    xll_log("");
    xll_log("b");
    EXPECT_EQ(read_file(log_path()), "a\n\nb\n");
}

TEST_F(XllLog, appends_after_existing_lines_instead_of_truncating) {
    std::ofstream(log_path()) << "earlier run\n";
    xll_log("xlAutoOpen: TindralXL loaded");
    xll_log("xlAutoOpen: complete");
    EXPECT_EQ(read_file(log_path()), "earlier run\nxlAutoOpen: TindralXL loaded\nxlAutoOpen: complete\n");
}

TEST_F(XllLog, message_bytes_are_written_unchanged_without_format_expansion) {
    // Messages carry paths and Python texts; a '%' must not be taken as a format.
    xll_log("100% \xE2\x80\x94 %s %n");
    EXPECT_EQ(read_file(log_path()), "100% \xE2\x80\x94 %s %n\n");
}

TEST_F(XllLog, unopenable_log_drops_the_message_and_returns) {
    // A directory in the file's place cannot be opened for appending, not even
    // by root (who may write read-only files).
    ASSERT_EQ(mkdir(log_path().c_str(), 0700), 0);
    xll_log("lost");
    struct stat st;
    ASSERT_EQ(stat(log_path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    // The next message tries again: nothing about the failure was remembered.
    ASSERT_EQ(rmdir(log_path().c_str()), 0);
    xll_log("kept");
    EXPECT_EQ(read_file(log_path()), "kept\n");
}

TEST_F(XllLog, read_only_log_file_is_left_unchanged) {
    std::ofstream(log_path()) << "kept\n";
    ASSERT_EQ(chmod(log_path().c_str(), 0444), 0);
    // Root writes through a missing write bit; the immutable flag stops it too.
    std::string immutable = "chattr +i '" + log_path() + "' 2>/dev/null";
    if (geteuid() == 0 && system(immutable.c_str()) != 0) GTEST_SKIP() << "no way to make a file read-only for root here";
    xll_log("lost");
    std::string undo = "chattr -i '" + log_path() + "' 2>/dev/null";
    if (geteuid() == 0) (void)!system(undo.c_str());
    EXPECT_EQ(read_file(log_path()), "kept\n");
}

TEST_F(XllLog, folder_where_no_file_can_be_made_drops_the_message) {
    setenv("TMPDIR", "/proc", 1);
    xll_log("lost");
    EXPECT_FALSE(exists("/proc/tindralxl.log"));
}

TEST_F(XllLog, temp_folder_of_250_characters_cuts_the_file_name_to_9) {
    // Build a folder whose path, with its trailing slash, is 250 characters.
    std::string deep = dir.substr(0, dir.size() - 1);
    while (deep.size() + 1 < 250) {
        size_t part = std::min<size_t>(100, 250 - 1 - deep.size() - 1);
        deep += "/" + std::string(part, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0700), 0) << deep;
    }
    ASSERT_EQ(deep.size() + 1, 250u);
    setenv("TMPDIR", deep.c_str(), 1);
    xll_log("cut");
    EXPECT_EQ(read_file(deep + "/tindralxl"), "cut\n");
    EXPECT_FALSE(exists(deep + "/tindralxl.log"));
}

unsigned temp_path_unknown(char *, unsigned) { return 0; }
unsigned temp_path_too_long(char *, unsigned cap) { return cap + 40; }

TEST_F(XllLog, unknown_or_oversized_temp_folder_writes_nowhere_and_returns) {
    plat.temp_path = temp_path_unknown;
    xll_log("lost");
    plat.temp_path = temp_path_too_long;
    xll_log("lost");
    plat_reset();
    xll_log("kept");
    // Only the message after the failures reached the file.
    EXPECT_EQ(read_file(log_path()), "kept\n");
}

}  // namespace

// The log sits in a shared temp folder: another user must not read it, and a
// link planted under its name must not redirect the writes.
TEST_F(XllLog, log_is_private_and_never_written_through_a_symbolic_link) {
    umask(022);
    xll_log("first");
    struct stat st;
    ASSERT_EQ(stat(log_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(unlink(log_path().c_str()), 0);
    std::string target = dir + "elsewhere";
    std::ofstream(target) << "keep\n";
    ASSERT_EQ(symlink(target.c_str(), log_path().c_str()), 0);
    xll_log("redirected?");
    EXPECT_EQ(read_file(target), "keep\n");
}

namespace {

std::string appended_path;
FILE *append_refused(const char *path) {
    appended_path = path;
    return nullptr;
}

}  // namespace

TEST_F(XllLog, refused_append_open_drops_the_message_and_the_next_one_is_written) {
    plat.open_append = append_refused;
    xll_log("lost");
    xll_log_raw("lost too\n");
    EXPECT_EQ(appended_path, log_path());
    EXPECT_FALSE(exists(log_path()));
    plat_reset();
    xll_log("kept");
    EXPECT_EQ(read_file(log_path()), "kept\n");
}

// What may lie at the log path of a shared temp folder before the add-in
// writes there. Each is refused without waiting, nothing is written into it,
// and the log says why logging is off.
namespace {

// Logs one line on a thread of its own; false when that did not return
// within 5 s (the FIFO is then opened for reading to let the thread go).
bool log_returns(const std::string &fifo) {
    std::atomic<int> done{0};
    std::thread writer([&] {
        xll_log("cell argument");
        done = 1;
    });
    for (int i = 0; i < 500 && !done; i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    bool returned = done != 0;
    if (!returned) {
        int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        writer.join();
        if (fd >= 0) close(fd);
    } else {
        writer.join();
    }
    return returned;
}

std::string off_reason() {
    char text[512];
    return xll_log_off_reason(text, sizeof text) ? std::string(text) : std::string("<on>");
}

}  // namespace

TEST_F(XllLog, fifo_at_the_log_path_is_refused_at_once_never_waited_on) {
    ASSERT_EQ(mkfifo(log_path().c_str(), 0600), 0);
    EXPECT_TRUE(log_returns(log_path())) << "the open waited for a reader of the FIFO";
    EXPECT_EQ(off_reason(), "logging is off: " + log_path() + " is not a regular file");
    // Removed again, logging resumes and the reason is gone.
    ASSERT_EQ(unlink(log_path().c_str()), 0);
    xll_log("kept");
    EXPECT_EQ(read_file(log_path()), "kept\n");
    EXPECT_EQ(off_reason(), "<on>");
}

TEST_F(XllLog, log_that_others_may_write_or_that_has_another_name_is_left_alone) {
    std::ofstream(log_path()) << "planted\n";
    ASSERT_EQ(chmod(log_path().c_str(), 0666), 0);
    xll_log("cell argument");
    EXPECT_EQ(read_file(log_path()), "planted\n");
    EXPECT_EQ(off_reason(), "logging is off: " + log_path() + " may be written by other users or has other names");
    ASSERT_EQ(chmod(log_path().c_str(), 0600), 0);
    std::string other = dir + "other-name";
    ASSERT_EQ(link(log_path().c_str(), other.c_str()), 0);
    xll_log("cell argument");
    EXPECT_EQ(read_file(other), "planted\n");
    ASSERT_EQ(unlink(other.c_str()), 0);
    // Ours and readable by others only: narrowed to the user, then used.
    ASSERT_EQ(chmod(log_path().c_str(), 0644), 0);
    xll_log("kept");
    EXPECT_EQ(read_file(log_path()), "planted\nkept\n");
    struct stat st;
    ASSERT_EQ(stat(log_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(XllLog, log_of_another_user_is_not_appended_to) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can make a file that belongs to another user here";
    std::ofstream(log_path()) << "planted\n";
    ASSERT_EQ(chmod(log_path().c_str(), 0600), 0);
    ASSERT_EQ(chown(log_path().c_str(), 65534, 65534), 0);
    xll_log("cell argument");
    EXPECT_EQ(read_file(log_path()), "planted\n");
    EXPECT_EQ(off_reason(), "logging is off: " + log_path() + " belongs to another user");
}

TEST_F(XllLog, symbolic_link_at_the_log_path_says_why_logging_is_off) {
    std::string target = dir + "elsewhere";
    std::ofstream(target) << "keep\n";
    ASSERT_EQ(symlink(target.c_str(), log_path().c_str()), 0);
    xll_log("redirected?");
    EXPECT_EQ(read_file(target), "keep\n");
    EXPECT_EQ(off_reason(), "logging is off: " + log_path() + " is a symbolic link");
}

// A held log keeps one handle for the pass, and still puts each line on disk
// as it is written: a crash in the middle of a pass loses none of them.
TEST_F(XllLog, held_log_opens_once_and_each_line_is_on_disk_before_the_hold_ends) {
    static int opens;
    static FILE *(*real_open)(const char *);
    opens = 0;
    real_open = plat.open_append;
    plat.open_append = [](const char *path) {
        opens++;
        return real_open(path);
    };
    {
        xll_log_hold hold;
        xll_log("one");
        EXPECT_EQ(read_file(log_path()), "one\n");
        {
            xll_log_hold inner;
            xll_log("two");
        }
        xll_log_raw("three\n");
        EXPECT_EQ(read_file(log_path()), "one\ntwo\nthree\n") << "the inner hold's end left the file open";
        // Another thread opens the file for itself, as without a hold.
        std::thread([] { xll_log("other"); }).join();
        xll_log("four");
    }
    EXPECT_EQ(opens, 2);
    xll_log("five");
    EXPECT_EQ(opens, 3) << "after the hold, each line opens the file again";
    EXPECT_EQ(read_file(log_path()), "one\ntwo\nthree\nother\nfour\nfive\n");
}

// A hold whose first open fails keeps trying at each line, and the refusal is
// remembered as without a hold.
TEST_F(XllLog, held_log_that_cannot_be_opened_drops_lines_and_opens_at_the_next) {
    static int refuse;
    static FILE *(*real_open)(const char *);
    refuse = 1;
    real_open = plat.open_append;
    plat.open_append = [](const char *path) -> FILE * {
        if (refuse) return nullptr;
        return real_open(path);
    };
    xll_log_hold hold;
    xll_log("lost");
    char why[256];
    EXPECT_EQ(xll_log_off_reason(why, sizeof why), 1);
    refuse = 0;
    xll_log("kept");
    EXPECT_EQ(read_file(log_path()), "kept\n");
    EXPECT_EQ(xll_log_off_reason(why, sizeof why), 0);
}
