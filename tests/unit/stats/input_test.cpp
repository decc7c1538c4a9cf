#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fixtures/scratch.h"
#include "stats/input.h"

namespace mirebox::stats {
namespace {

class InputTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(scratch_.path().empty());
        path_ = scratch_.file("mirebox.log");
    }
    void TearDown() override { close_input(input_); }
    static void take(void* context, std::string_view line) {
        static_cast<std::vector<std::string>*>(context)->emplace_back(line);
    }
    LineSink sink() { return {take, &lines_}; }
    void append(const std::string& path, const std::string& text, int flags = O_APPEND) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | flags, 0644);
        ASSERT_NE(fd, -1);
        ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        ::close(fd);
    }
    void read_all() {
        while (read_input(input_, sink()) == ReadResult::data) {
        }
    }

    test_support::ScratchDirectory scratch_;
    std::string path_;
    Input input_;
    std::vector<std::string> lines_;
};

TEST_F(InputTest, ALineWrittenInPiecesIsOneLine) {
    append(path_, "one\ntw");
    ASSERT_TRUE(open_input(input_, path_));
    read_all();
    EXPECT_EQ(lines_, std::vector<std::string>{"one"});
    append(path_, "o\nthree");
    read_all();
    EXPECT_EQ(lines_, (std::vector<std::string>{"one", "two"}));
    flush_input(input_, sink());  // at the very end, the unfinished one too
    EXPECT_EQ(lines_, (std::vector<std::string>{"one", "two", "three"}));
}

TEST_F(InputTest, RotationReadsTheOldFileToItsEndThenTheNewOne) {
    append(path_, "1\n2\n");
    ASSERT_TRUE(open_input(input_, path_));
    read_all();
    append(path_, "3\n4");  // written after the last read, before the move
    ASSERT_EQ(rename(path_.c_str(), (path_ + ".0").c_str()), 0);
    EXPECT_FALSE(check_rotation(input_, sink()));  // no file by that name: the old one stays
    append(path_ + ".0", "\n");
    append(path_, "5\n6\n");
    EXPECT_TRUE(check_rotation(input_, sink()));
    read_all();
    EXPECT_EQ(lines_, (std::vector<std::string>{"1", "2", "3", "4", "5", "6"}));
}

TEST_F(InputTest, ATruncatedFileIsReadAgainFromItsStart) {
    append(path_, "1\n2\n3\n");
    ASSERT_TRUE(open_input(input_, path_));
    read_all();
    append(path_, "4\n", O_TRUNC);
    EXPECT_TRUE(check_rotation(input_, sink()));
    read_all();
    EXPECT_EQ(lines_, (std::vector<std::string>{"1", "2", "3", "4"}));
}

TEST_F(InputTest, AFileTruncatedAndRefilledPastTheOffsetReadIsReadAgainFromItsStart) {
    append(path_, "1\n2\n3\n");
    ASSERT_TRUE(open_input(input_, path_));
    read_all();
    // Copied away and truncated, then written again beyond the old size
    // before the next read: the size alone does not tell.
    append(path_, "4444\n5555\n", O_TRUNC);
    read_all();
    EXPECT_EQ(lines_, (std::vector<std::string>{"1", "2", "3", "4444", "5555"}));
}

TEST_F(InputTest, NulBytesAreDroppedAndTheLineAfterThemCounts) {
    // A log written through > and truncated under the daemon: it goes on at
    // its old offset, and the file starts with a hole of NULs.
    append(path_, "before\n" + std::string(1 << 20, '\0') + "after\n" + std::string(10, '\0') +
                      "\nlast\n");
    ASSERT_TRUE(open_input(input_, path_));
    read_all();
    EXPECT_EQ(lines_, (std::vector<std::string>{"before", "after", "last"}));
}

TEST_F(InputTest, AFollowedFifoIsNeverTakenForATruncatedFile) {
    ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
    // Held open for writing first, so that opening it to read does not block.
    const int writer = open(path_.c_str(), O_RDWR);
    ASSERT_NE(writer, -1);
    ASSERT_TRUE(open_input(input_, path_));
    EXPECT_FALSE(input_.regular);
    ASSERT_EQ(write(writer, "one\ntw", 6), 6);
    EXPECT_EQ(read_input(input_, sink()), ReadResult::data);
    EXPECT_TRUE(check_rotation(input_, sink()));
    ASSERT_EQ(write(writer, "o\n", 2), 2);
    EXPECT_EQ(read_input(input_, sink()), ReadResult::data);
    ::close(writer);
    EXPECT_EQ(lines_, (std::vector<std::string>{"one", "two"}));
}

TEST_F(InputTest, AFileThatComesLaterIsOpenedThen) {
    EXPECT_FALSE(open_input(input_, path_));
    EXPECT_EQ(read_input(input_, sink()), ReadResult::idle);
    EXPECT_FALSE(check_rotation(input_, sink()));
    append(path_, "first\n");
    EXPECT_TRUE(check_rotation(input_, sink()));
    read_all();
    EXPECT_EQ(lines_, std::vector<std::string>{"first"});
}

TEST_F(InputTest, AnOverlongLineIsCutAndTheNextOneIsWhole) {
    const std::string text = std::string(3 * MAX_LINE, 'x') + "\nnext\n";
    // Past the limit before its end is written: the rest is dropped as it comes.
    append(path_, text.substr(0, 2 * MAX_LINE));
    ASSERT_TRUE(open_input(input_, path_));
    read_all();
    append(path_, text.substr(2 * MAX_LINE));
    read_all();
    EXPECT_EQ(lines_, (std::vector<std::string>{std::string(MAX_LINE, 'x'), "next"}));
}

TEST_F(InputTest, StandardInputReadPartlyAlreadyIsReadFromWhereItStands) {
    // { head -n 1 >/dev/null; mirebox-stats; } <log: the file starts before
    // what is standard input's to read, and is no truncated one.
    append(path_, "one\ntwo\nthree\n");
    const int fd = open(path_.c_str(), O_RDONLY);
    ASSERT_NE(fd, -1);
    char first[4];
    ASSERT_EQ(read(fd, first, sizeof first), 4);
    const int saved = dup(STDIN_FILENO);
    ASSERT_NE(dup2(fd, STDIN_FILENO), -1);
    ::close(fd);
    ASSERT_TRUE(open_input(input_, ""));
    read_all();
    read_all();
    dup2(saved, STDIN_FILENO);
    ::close(saved);
    EXPECT_EQ(lines_, (std::vector<std::string>{"two", "three"}));
}

TEST_F(InputTest, APipeEndsWhenItsWriterGoesAway) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(dup2(ends[0], STDIN_FILENO) != -1, true);
    ::close(ends[0]);
    ASSERT_TRUE(open_input(input_, ""));
    EXPECT_FALSE(input_.regular);
    ASSERT_EQ(write(ends[1], "a\nb", 3), 3);
    ::close(ends[1]);
    EXPECT_EQ(read_input(input_, sink()), ReadResult::data);
    EXPECT_EQ(read_input(input_, sink()), ReadResult::end);
    flush_input(input_, sink());
    EXPECT_EQ(lines_, (std::vector<std::string>{"a", "b"}));
}

}  // namespace
}  // namespace mirebox::stats
