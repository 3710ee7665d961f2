// Byte streams of the framework: an abstract stream with position, read and
// write, a growable memory stream and a file stream. The document writer, the
// text list, the XML checker and the desktop program all speak through them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class SeekOrigin { Begin, Current, End };

class TStream {
public:
    virtual ~TStream() = default;
    TStream() = default;
    TStream(const TStream&) = delete;
    TStream& operator=(const TStream&) = delete;

    // Reads up to count bytes; returns how many were read (0 at the end).
    virtual int64_t read(void* buffer, int64_t count) = 0;
    // Writes up to count bytes; returns how many were written.
    virtual int64_t write(const void* buffer, int64_t count) = 0;
    // Moves the position; returns the new position.
    virtual int64_t seek(int64_t offset, SeekOrigin origin) = 0;
    virtual int64_t size();
    virtual void setSize(int64_t newSize) = 0;

    int64_t position() { return seek(0, SeekOrigin::Current); }
    void setPosition(int64_t pos) { seek(pos, SeekOrigin::Begin); }

    // Whole-buffer forms: raise EReadError / EWriteError when short.
    void readBuffer(void* buffer, int64_t count);
    void writeBuffer(const void* buffer, int64_t count);
    // Copies count bytes from source (its whole content from the start when
    // count is 0); returns the number copied.
    int64_t copyFrom(TStream& source, int64_t count);
};

class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;

    int64_t read(void* buffer, int64_t count) override;
    int64_t write(const void* buffer, int64_t count) override;
    int64_t seek(int64_t offset, SeekOrigin origin) override;
    int64_t size() override { return static_cast<int64_t>(data_.size()); }
    void setSize(int64_t newSize) override;

    void clear();
    // Replaces the content with the file's bytes; EFOpenError when it cannot
    // be opened.
    void loadFromFile(const std::string& fileName);
    void loadFromStream(TStream& source);
    void saveToFile(const std::string& fileName);
    void saveToStream(TStream& target);

    const char* memory() const { return data_.data(); }
    const std::string& bytes() const { return data_; }

private:
    std::string data_;
    int64_t pos_ = 0;
};

// Reads a file through a descriptor that stays its owner's: from the start,
// at a position of its own (the descriptor's is left alone), up to the size
// the file had when the stream was made. Writing is refused.
class THandleStream : public TStream {
public:
    // EReadError when the descriptor cannot be asked for its size.
    explicit THandleStream(int handle);

    int64_t read(void* buffer, int64_t count) override;
    int64_t write(const void* buffer, int64_t count) override;
    int64_t seek(int64_t offset, SeekOrigin origin) override;
    int64_t size() override { return size_; }
    void setSize(int64_t newSize) override;

private:
    int fd_;
    int64_t size_ = 0;
    int64_t pos_ = 0;
};

// Open modes of a file stream.
enum FileMode : unsigned {
    fmOpenRead = 0x0000,
    fmOpenWrite = 0x0001,
    fmOpenReadWrite = 0x0002,
    // Added to fmOpenRead: the open does not wait for a FIFO's writer, so
    // that the caller can ask what the file is before reading it.
    fmNoWait = 0x0010,
    fmCreate = 0xFF00, // create or truncate, then read and write
};

class TFileStream : public TStream {
public:
    // Opens or creates the file; EFOpenError or EFCreateError on failure.
    TFileStream(const std::string& fileName, unsigned mode);
    ~TFileStream() override;

    int64_t read(void* buffer, int64_t count) override;
    int64_t write(const void* buffer, int64_t count) override;
    int64_t seek(int64_t offset, SeekOrigin origin) override;
    // One call for a regular file instead of three seeks.
    int64_t size() override;
    void setSize(int64_t newSize) override;

    int handle() const { return fd_; }
    // Opened for reading only, and a regular file.
    bool regularForReading() const { return snapshot_; }

private:
    int fd_ = -1;
    // A regular file opened only for reading: its size is taken when it is
    // opened and its position kept here, so reading a small file costs its
    // open, one fstat, the reads and the close.
    bool snapshot_ = false;
    int64_t size_ = 0;
    int64_t pos_ = 0;
};
