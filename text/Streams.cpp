#include "text/Streams.h"

#include "text/Errors.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int64_t TStream::size()
{
    int64_t pos = seek(0, SeekOrigin::Current);
    int64_t end = seek(0, SeekOrigin::End);
    seek(pos, SeekOrigin::Begin);
    return end;
}

void TStream::readBuffer(void* buffer, int64_t count)
{
    if (count != 0 && read(buffer, count) != count)
        throw EReadError();
}

void TStream::writeBuffer(const void* buffer, int64_t count)
{
    if (count != 0 && write(buffer, count) != count)
        throw EWriteError();
}

int64_t TStream::copyFrom(TStream& source, int64_t count)
{
    if (count == 0) {
        source.setPosition(0);
        count = source.size();
    }
    int64_t done = 0;
    std::vector<char> buf(static_cast<size_t>(std::min<int64_t>(count, 1 << 16)) + 1);
    while (done < count) {
        int64_t n = std::min<int64_t>(count - done, static_cast<int64_t>(buf.size()));
        source.readBuffer(buf.data(), n);
        writeBuffer(buf.data(), n);
        done += n;
    }
    return done;
}

// ---- memory stream ----

int64_t TMemoryStream::read(void* buffer, int64_t count)
{
    if (count <= 0 || pos_ >= size())
        return 0;
    int64_t n = std::min<int64_t>(count, size() - pos_);
    std::memcpy(buffer, data_.data() + pos_, static_cast<size_t>(n));
    pos_ += n;
    return n;
}

int64_t TMemoryStream::write(const void* buffer, int64_t count)
{
    if (count <= 0)
        return 0;
    if (pos_ + count > size())
        data_.resize(static_cast<size_t>(pos_ + count));
    std::memcpy(data_.data() + pos_, buffer, static_cast<size_t>(count));
    pos_ += count;
    return count;
}

int64_t TMemoryStream::seek(int64_t offset, SeekOrigin origin)
{
    int64_t base = origin == SeekOrigin::Begin ? 0 : origin == SeekOrigin::Current ? pos_ : size();
    int64_t np = base + offset;
    if (np < 0)
        np = 0;
    pos_ = np;
    return pos_;
}

void TMemoryStream::setSize(int64_t newSize)
{
    if (newSize < 0)
        newSize = 0;
    data_.resize(static_cast<size_t>(newSize));
    if (pos_ > newSize)
        pos_ = newSize;
}

void TMemoryStream::clear()
{
    data_.clear();
    data_.shrink_to_fit();
    pos_ = 0;
}

void TMemoryStream::loadFromFile(const std::string& fileName)
{
    TFileStream f(fileName, fmOpenRead);
    loadFromStream(f);
}

void TMemoryStream::loadFromStream(TStream& source)
{
    source.setPosition(0);
    int64_t n = source.size();
    std::string data(static_cast<size_t>(n), '\0');
    source.readBuffer(data.data(), n);
    data_ = std::move(data);
    pos_ = 0;
}

void TMemoryStream::saveToFile(const std::string& fileName)
{
    TFileStream f(fileName, fmCreate);
    saveToStream(f);
}

void TMemoryStream::saveToStream(TStream& target)
{
    target.writeBuffer(data_.data(), size());
}

// ---- file stream ----

TFileStream::TFileStream(const std::string& fileName, unsigned mode)
{
    if (mode == fmCreate) {
        fd_ = ::open(fileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd_ < 0)
            throw EFCreateError(fileName, errno);
        return;
    }
    int flags = (mode & 3) == fmOpenWrite ? O_WRONLY : (mode & 3) == fmOpenReadWrite ? O_RDWR : O_RDONLY;
    if (mode & fmNoWait)
        flags |= O_NONBLOCK;
    fd_ = ::open(fileName.c_str(), flags | O_CLOEXEC);
    if (fd_ >= 0) {
        struct stat st;
        const bool known = ::fstat(fd_, &st) == 0;
        if (known && S_ISDIR(st.st_mode)) {
            ::close(fd_);
            fd_ = -1;
            errno = EISDIR;
        } else if (known && S_ISREG(st.st_mode) && (mode & 3) == fmOpenRead) {
            snapshot_ = true;
            size_ = static_cast<int64_t>(st.st_size);
        }
    }
    if (fd_ < 0)
        throw EFOpenError(fileName, errno);
}

TFileStream::~TFileStream()
{
    if (fd_ >= 0)
        ::close(fd_);
}

int64_t TFileStream::read(void* buffer, int64_t count)
{
    int64_t done = 0;
    char* p = static_cast<char*>(buffer);
    while (done < count) {
        ssize_t n = ::read(fd_, p + done, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
        // At the size the file had when it was opened, asking again would
        // most likely only be told that it ends (a short read before that,
        // as network file systems give, goes on reading).
        if (snapshot_ && pos_ + done >= size_)
            break;
    }
    pos_ += done;
    return done;
}

int64_t TFileStream::write(const void* buffer, int64_t count)
{
    int64_t done = 0;
    const char* p = static_cast<const char*>(buffer);
    while (done < count) {
        ssize_t n = ::write(fd_, p + done, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    return done;
}

int64_t TFileStream::seek(int64_t offset, SeekOrigin origin)
{
    if (snapshot_ && ((origin == SeekOrigin::Current && offset == 0) ||
                      (origin == SeekOrigin::Begin && offset == pos_)))
        return pos_;
    int whence = origin == SeekOrigin::Begin ? SEEK_SET : origin == SeekOrigin::Current ? SEEK_CUR : SEEK_END;
    off_t r = ::lseek(fd_, static_cast<off_t>(offset), whence);
    if (r >= 0)
        pos_ = static_cast<int64_t>(r);
    return r < 0 ? -1 : static_cast<int64_t>(r);
}

int64_t TFileStream::size()
{
    if (snapshot_)
        return size_;
    struct stat st;
    if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode))
        return static_cast<int64_t>(st.st_size);
    return TStream::size();
}

void TFileStream::setSize(int64_t newSize)
{
    if (::ftruncate(fd_, static_cast<off_t>(newSize)) != 0)
        throw EWriteError();
}

// ---------------------------------------------------------------------------
// THandleStream

THandleStream::THandleStream(int handle) : fd_(handle)
{
    struct stat st;
    if (::fstat(fd_, &st) != 0)
        throw EReadError();
    size_ = S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : 0;
}

int64_t THandleStream::read(void* buffer, int64_t count)
{
    count = std::min(count, size_ - pos_);
    int64_t done = 0;
    char* p = static_cast<char*>(buffer);
    while (done < count) {
        ssize_t n = ::pread(fd_, p + done, static_cast<size_t>(count - done), static_cast<off_t>(pos_ + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    pos_ += done;
    return done;
}

int64_t THandleStream::write(const void*, int64_t)
{
    throw EWriteError();
}

int64_t THandleStream::seek(int64_t offset, SeekOrigin origin)
{
    const int64_t from = origin == SeekOrigin::Begin ? 0 : origin == SeekOrigin::Current ? pos_ : size_;
    if (from + offset < 0)
        return -1;
    pos_ = from + offset;
    return pos_;
}

void THandleStream::setSize(int64_t)
{
    throw EWriteError();
}
