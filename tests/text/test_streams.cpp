#include "text/Errors.h"
#include "text/Streams.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class FileStreams : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() /
              ("ortavix-streams-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string put(const char* name, const std::string& bytes) const
    {
        const std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    fs::path dir;
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
