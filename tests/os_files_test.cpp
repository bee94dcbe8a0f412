// The operating-system services of platform/os.h: whether two paths name one
// file, and files written and read as bytes, whatever the platform.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/os.h"

namespace {

namespace fs = std::filesystem;

class OsFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() / ("varnel-os-" + std::string(info->name()) + "-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Path(const std::string& name) const { return (dir_ / name).generic_string(); }
    static void Write(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    fs::path dir_;
};

// Two files of one folder are two files (on Windows st_ino is 0 for every
// file, so comparing it would call them the same).
TEST_F(OsFilesTest, SameFileTellsFilesApart) {
    Write(Path("a.txt"), "a");
    Write(Path("b.txt"), "b");
    struct {
        std::string a, b;
        bool same;
    } cases[] = {
        {Path("a.txt"), Path("b.txt"), false},
        {Path("a.txt"), Path("a.txt"), true},
        {Path("a.txt"), Path(".") + "/a.txt", true},
        {Path("a.txt"), Path("missing.txt"), false},
        {Path("missing.txt"), Path("missing.txt"), false},
    };
    for (const auto& c : cases) EXPECT_EQ(os::SameFile(c.a, c.b), c.same) << c.a << " vs " << c.b;
}

// Bytes go out as they are: no LF becomes CRLF, and an append adds to the end.
TEST_F(OsFilesTest, AppendWritesBytesAsTheyAre) {
    const std::string path = Path("out.txt");
    for (bool clear : {true, false}) {
        const int fd = os::OpenForAppend(path, clear, /*blocking=*/true);
        ASSERT_GE(fd, 0) << errno;
        EXPECT_EQ(os::WriteParts(fd, std::string("one\ntwo\x1a\0", 9), "\r\n"), 0);
        ::close(fd);
    }
    const std::string line("one\ntwo\x1a\0\r\n", 11);
    EXPECT_EQ(Read(path), line + line);
    const int fd = os::OpenForAppend(path, /*clear=*/true, /*blocking=*/true);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(Read(path), "");
}

TEST_F(OsFilesTest, ReadingGivesEveryByte) {
    const std::string bytes("a\r\nb\nc\x1a" "d", 8);
    Write(Path("in.txt"), bytes);
    const int fd = os::OpenForReading(Path("in.txt"));
    ASSERT_GE(fd, 0);
    char buffer[64];
    const auto got = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    EXPECT_EQ(std::string(buffer, got > 0 ? static_cast<size_t>(got) : 0), bytes);
    EXPECT_LT(os::OpenForReading(Path("missing.txt")), 0);
    EXPECT_EQ(errno, ENOENT);
}

TEST(OsPathTest, ExecutablePathNamesThisProgram) {
    const std::string path = os::ExecutablePath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.find('\\'), std::string::npos);
    EXPECT_NE(path.find("os_files_test"), std::string::npos) << path;
    EXPECT_TRUE(fs::exists(path));
}

}  // namespace
