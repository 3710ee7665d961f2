#include "text/TempFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class ReplacingFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() /
              ("ortavix-tempfiles-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    static std::string content(const fs::path& p)
    {
        std::ifstream in(p, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static bool sameAs(const fs::path& p, std::uint64_t device, std::uint64_t inode)
    {
        struct stat st;
        return ::stat(p.c_str(), &st) == 0 && static_cast<std::uint64_t>(st.st_dev) == device &&
               static_cast<std::uint64_t>(st.st_ino) == inode;
    }
    fs::path dir;
};

} // namespace

// A file closed ahead of its commit is the file in place afterwards: its
// identity, noted when it was closed, is the output's, also where the
// output's name is a link; uncommitted, it leaves nothing behind.
TEST_F(ReplacingFiles, FinishedFilesKeepTheirIdentityInPlace)
{
    std::uint64_t device = 0, inode = 0;
    {
        TReplacingFile f((dir / "a.XML").string());
        EXPECT_FALSE(f.identity(device, inode));
        f.write("abc", 3);
        f.finish();
        ASSERT_TRUE(f.identity(device, inode));
        EXPECT_TRUE(sameAs(f.tempName(), device, inode));
        f.finish(); // once is enough
        f.commit();
    }
    EXPECT_TRUE(sameAs(dir / "a.XML", device, inode));
    EXPECT_EQ(content(dir / "a.XML"), "abc");

    std::ofstream(dir / "target.XML") << "old";
    fs::create_symlink("target.XML", dir / "link.XML");
    {
        TReplacingFile f((dir / "link.XML").string());
        f.write("new", 3);
        f.finish();
        ASSERT_TRUE(f.identity(device, inode));
        f.commit();
    }
    EXPECT_TRUE(fs::is_symlink(dir / "link.XML"));
    EXPECT_TRUE(sameAs(dir / "link.XML", device, inode));
    EXPECT_EQ(content(dir / "target.XML"), "new");

    {
        TReplacingFile f((dir / "never.XML").string());
        f.write("x", 1);
        f.finish();
    }
    EXPECT_FALSE(fs::exists(dir / "never.XML"));
    std::size_t left = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir))
        ++left;
    EXPECT_EQ(left, 3u); // a.XML, target.XML, link.XML
}
