#include "text/Errors.h"
#include "text/Streams.h"
#include "text/TempFiles.h"
#include "FileSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class FileStreams : public texttest::TFileFolder {
protected:
    std::string put(const char* name, const std::string& bytes) const
    {
        writeFile(path(name), bytes);
        return path(name);
    }
    static std::string content(const fs::path& p) { return readFile(p.string()); }
    static bool sameAs(const fs::path& p, std::uint64_t device, std::uint64_t inode)
    {
        struct stat st;
        return ::stat(p.c_str(), &st) == 0 && static_cast<std::uint64_t>(st.st_dev) == device &&
               static_cast<std::uint64_t>(st.st_ino) == inode;
    }
};

std::string readSome(TStream& s, int64_t count)
{
    std::string bytes(static_cast<std::size_t>(count), '\0');
    bytes.resize(static_cast<std::size_t>(s.read(bytes.data(), count)));
    return bytes;
}

} // namespace

// A file opened for reading keeps its size and position itself; every way
// of moving about must still agree with the file.
TEST_F(FileStreams, PositionAndSizeFollowEveryReadAndSeek)
{
    const std::string path = put("a.txt", "0123456789abcdef");
    TFileStream s(path, fmOpenRead);
    EXPECT_EQ(s.size(), 16);
    EXPECT_EQ(s.position(), 0);
    EXPECT_EQ(readSome(s, 4), "0123");
    EXPECT_EQ(s.position(), 4);
    EXPECT_EQ(s.seek(2, SeekOrigin::Current), 6);
    EXPECT_EQ(readSome(s, 3), "678");
    EXPECT_EQ(s.seek(-2, SeekOrigin::End), 14);
    EXPECT_EQ(readSome(s, 10), "ef");
    EXPECT_EQ(s.position(), 16);
    EXPECT_EQ(readSome(s, 10), "");
    s.setPosition(0);
    EXPECT_EQ(readSome(s, 2), "01");
    s.setPosition(9);
    EXPECT_EQ(readSome(s, 1), "9");
    // A seek that fails leaves the position where it was.
    EXPECT_EQ(s.seek(-100, SeekOrigin::Begin), -1);
    EXPECT_EQ(s.position(), 10);
    EXPECT_EQ(readSome(s, 1), "a");
}

// A short read of a regular file is its end; a whole read still gets
// everything, however large.
TEST_F(FileStreams, ReadsWholeFilesAndStopsAtTheirEnd)
{
    std::string big(3 * 1024 * 1024 + 7, 'x');
    big[big.size() - 1] = 'z';
    const std::string path = put("big.bin", big);
    TFileStream s(path, fmOpenRead);
    std::string all(big.size() + 100, '\0');
    EXPECT_EQ(s.read(all.data(), static_cast<int64_t>(all.size())), static_cast<int64_t>(big.size()));
    all.resize(big.size());
    EXPECT_EQ(all, big);
    EXPECT_EQ(s.position(), static_cast<int64_t>(big.size()));
}

// Streams that write, or read what is not a regular file, ask the system
// every time: their size changes as they are written.
TEST_F(FileStreams, WrittenFilesReportTheirGrowingSize)
{
    const std::string path = (dir / "w.txt").string();
    TFileStream w(path, fmCreate);
    EXPECT_EQ(w.size(), 0);
    w.writeBuffer("abc", 3);
    EXPECT_EQ(w.size(), 3);
    EXPECT_EQ(w.position(), 3);
    TFileStream rw(path, fmOpenReadWrite);
    rw.seek(0, SeekOrigin::End);
    rw.writeBuffer("de", 2);
    EXPECT_EQ(rw.size(), 5);
    EXPECT_FALSE(rw.regularForReading());
}

// Opening without waiting lets a caller learn that a name is a FIFO
// instead of blocking until someone writes to it.
TEST_F(FileStreams, OpeningAFifoWithoutWaitingTellsWhatItIs)
{
    const std::string fifo = (dir / "pipe").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    TFileStream s(fifo, fmOpenRead | fmNoWait);
    EXPECT_FALSE(s.regularForReading());
    TFileStream f(put("plain.txt", "x"), fmOpenRead | fmNoWait);
    EXPECT_TRUE(f.regularForReading());
    EXPECT_EQ(readSome(f, 5), "x");
    EXPECT_THROW(TFileStream((dir / "missing").string(), fmOpenRead | fmNoWait), EFOpenError);
    EXPECT_THROW(TFileStream(dir.string(), fmOpenRead | fmNoWait), EFOpenError);
}

// A file closed ahead of its commit is the file in place afterwards: its
// identity, noted when it was closed, is the output's, also where the
// output's name is a link; uncommitted, it leaves nothing behind.
TEST_F(FileStreams, FinishedReplacingFilesKeepTheirIdentityInPlace)
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
