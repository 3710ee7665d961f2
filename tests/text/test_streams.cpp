#include "text/Errors.h"
#include "text/Streams.h"
#include "text/TempFiles.h"
#include "FileSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

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
        struct stat st;
        ASSERT_EQ(f.tempName().empty() ? ::fstat(f.readHandle(), &st) : ::stat(f.tempName().c_str(), &st), 0);
        EXPECT_EQ(static_cast<std::uint64_t>(st.st_ino), inode);
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

// A file waits without a name: nothing shows in the folder until it is in
// place, complete, and what it holds can be read meanwhile. A file at the
// place is replaced as a named one would be, and a place that is gone is an
// error, leaving nothing.
TEST_F(FileStreams, FilesWaitWithoutANameUntilInPlace)
{
    auto entries = [this] {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir))
            names.push_back(e.path().filename().string());
        return names;
    };
    {
        TReplacingFile f((dir / "a.XML").string());
        if (!f.tempName().empty())
            GTEST_SKIP() << "this file system names every file";
        EXPECT_EQ(f.readHandle(), -1); // not complete yet
        f.write("<a>", 3);
        f.write("</a>", 4);
        f.finish();
        EXPECT_TRUE(entries().empty());
        ASSERT_GE(f.readHandle(), 0);
        THandleStream bytes(f.readHandle());
        EXPECT_EQ(readSome(bytes, 100), "<a></a>");
        f.commit();
        EXPECT_EQ(f.readHandle(), -1);
    }
    EXPECT_EQ(entries(), std::vector<std::string>{"a.XML"});
    EXPECT_EQ(content(dir / "a.XML"), "<a></a>");

    {
        TReplacingFile f((dir / "b.XML").string());
        f.write("new", 3);
        f.finish();
        put("b.XML", "old");
        ::chmod((dir / "b.XML").c_str(), 0600);
        f.commit();
    }
    EXPECT_EQ(content(dir / "b.XML"), "new");
    struct stat st;
    ASSERT_EQ(::stat((dir / "b.XML").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(entries().size(), 2u);

    fs::create_directory(dir / "sub");
    {
        TReplacingFile f((dir / "sub/c.XML").string());
        f.write("c", 1);
        fs::remove(dir / "sub");
        EXPECT_THROW(f.commit(), EFCreateError);
    }
    EXPECT_EQ(entries().size(), 2u);

    // A file in place is replaced at commit, keeping its permission bits;
    // putting the new one in place only where nothing is changes nothing.
    ::chmod((dir / "a.XML").c_str(), 0640);
    {
        TReplacingFile f((dir / "a.XML").string());
        f.write("again", 5);
        f.finish();
        EXPECT_GE(f.readHandle(), 0);
        EXPECT_FALSE(f.commitIfNew());
        EXPECT_EQ(content(dir / "a.XML"), "<a></a>");
        f.commit();
    }
    EXPECT_EQ(content(dir / "a.XML"), "again");
    ASSERT_EQ(::stat((dir / "a.XML").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    {
        TReplacingFile f((dir / "d.XML").string());
        f.write("d", 1);
        EXPECT_TRUE(f.commitIfNew());
    }
    EXPECT_EQ(content(dir / "d.XML"), "d");
    EXPECT_EQ(entries().size(), 3u);

    // A link to a file on another file system: the file it names is
    // replaced there.
    const fs::path far = "/dev/shm/ortavix-far-" + std::to_string(::getpid()) + ".XML";
    struct stat shm;
    if (::stat("/dev/shm", &shm) == 0 && ::stat(dir.c_str(), &st) == 0 && shm.st_dev != st.st_dev) {
        std::ofstream(far) << "old";
        ::chmod(far.c_str(), 0600);
        fs::create_symlink(far, dir / "far.XML");
        {
            TReplacingFile f((dir / "far.XML").string());
            f.write("far", 3);
            f.commit();
        }
        EXPECT_TRUE(fs::is_symlink(dir / "far.XML"));
        EXPECT_EQ(content(far), "far");
        ASSERT_EQ(::stat(far.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        std::size_t beside = 0;
        for (const auto& e : fs::directory_iterator("/dev/shm"))
            beside += e.path().filename().string().rfind("ortavix-far-" + std::to_string(::getpid()), 0) == 0;
        EXPECT_EQ(beside, 1u);
        fs::remove(far);
    }
}

// Without the privilege to name a file by its descriptor, a file without a
// name is named all the same, and nothing is left behind.
TEST_F(FileStreams, FilesWithoutANameAreNamedWithoutPrivilege)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "runs without the privilege already";
    ::chmod(dir.c_str(), 0777);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(2);
        try {
            for (const char* name : {"a.XML", "b.XML"}) {
                TReplacingFile f((dir / name).string());
                f.write("new", 3);
                f.finish();
                f.commit();
            }
        } catch (...) {
            ::_exit(3);
        }
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2)
        GTEST_SKIP() << "no unprivileged user to run as";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(content(dir / "a.XML"), "new");
    EXPECT_EQ(content(dir / "b.XML"), "new");
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir))
        ++entries;
    EXPECT_EQ(entries, 2u);
}

// A stream over a descriptor it does not own reads from the start at a
// position of its own, up to the size the file had when it was made.
TEST_F(FileStreams, HandleStreamsReadAtTheirOwnPosition)
{
    const std::string path = put("h.txt", "0123456789");
    const int fd = ::open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::lseek(fd, 7, SEEK_SET), 7);
    {
        THandleStream s(fd);
        EXPECT_EQ(s.size(), 10);
        EXPECT_EQ(readSome(s, 4), "0123");
        EXPECT_EQ(s.seek(-2, SeekOrigin::End), 8);
        EXPECT_EQ(readSome(s, 4), "89");
        EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 7); // the descriptor's own position
        ASSERT_EQ(::pwrite(fd, "abc", 3, 10), 3); // grows the file past the stream's end
        EXPECT_EQ(readSome(s, 4), "");
        s.setPosition(9);
        EXPECT_EQ(readSome(s, 4), "9");
        EXPECT_EQ(s.seek(-1, SeekOrigin::Begin), -1);
        EXPECT_THROW(s.writeBuffer("x", 1), EWriteError);
    }
    ::close(fd);
    EXPECT_THROW(THandleStream(-1), EReadError);
}
