#include "text/TempFiles.h"

#include "text/Errors.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Fixed storage: the handler may read it at any moment, so nothing here is
// allocated or freed. A slot's path is written before the slot is marked in
// use and the mark is cleared before the path can change.
constexpr int slotCount = 64;
constexpr std::size_t pathMax = 4096;

struct Slot {
    std::atomic<int> used{0};
    char path[pathMax];
};

Slot slots[slotCount];

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free flags");

extern "C" void onTerminatingSignal(int sig)
{
    for (Slot& s : slots)
        if (s.used.load() == 1)
            ::unlink(s.path);
    std::signal(sig, SIG_DFL);
    ::raise(sig);
}

} // namespace

int RegisterTempFile(const std::string& path)
{
    if (path.empty() || path.size() >= pathMax)
        return -1;
    for (int i = 0; i < slotCount; ++i) {
        int expected = 0;
        // 2 = being filled in: the handler skips it.
        if (slots[i].used.compare_exchange_strong(expected, 2)) {
            std::memcpy(slots[i].path, path.c_str(), path.size() + 1);
            slots[i].used.store(1);
            return i;
        }
    }
    return -1;
}

void UnregisterTempFile(int slot)
{
    if (slot >= 0 && slot < slotCount)
        slots[slot].used.store(0);
}

void InstallTempFileCleanup()
{
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        struct sigaction sa {};
        sa.sa_handler = onTerminatingSignal;
        sigemptyset(&sa.sa_mask);
        // Hold the other two back while one is being handled.
        sigaddset(&sa.sa_mask, SIGINT);
        sigaddset(&sa.sa_mask, SIGTERM);
        sigaddset(&sa.sa_mask, SIGHUP);
        sa.sa_flags = SA_RESETHAND;
        ::sigaction(sig, &sa, nullptr);
    }
}

TCleanupSignalsBlocked::TCleanupSignalsBlocked()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    ::pthread_sigmask(SIG_BLOCK, &set, &old_);
}

TCleanupSignalsBlocked::~TCleanupSignalsBlocked()
{
    ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

// ---------------------------------------------------------------------------
// TReplacingFile

namespace {

std::atomic<unsigned> tempCounter{0};

// Temporary names: TARGET + kTempMark + STEM + N, or, where that is too
// long, kLongLead + STEM + N + kTempMark beside the target.
constexpr std::string_view kTempMark = ".tmp";
constexpr std::string_view kLongLead = ".ortavix";

// The part of a temporary name that tells this process's files apart
// (asked once: the program never forks).
const std::string& tempNameStem()
{
    static const std::string stem = std::to_string(::getpid()) + "_";
    return stem;
}

bool allDigits(std::string_view s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

bool IsOwnTempFileName(std::string_view name)
{
    const std::string& stem = tempNameStem();
    // "TARGET.tmpPID_N"
    const std::size_t tmp = name.rfind(kTempMark);
    if (tmp != std::string_view::npos && name.substr(tmp + kTempMark.size(), stem.size()) == stem &&
        allDigits(name.substr(tmp + kTempMark.size() + stem.size())))
        return true;
    // ".ortavixPID_N.tmp", when the target's name is too long for the first form
    const std::size_t head = kLongLead.size() + stem.size();
    if (name.size() > head + kTempMark.size() && name.substr(0, kLongLead.size()) == kLongLead &&
        name.substr(kLongLead.size(), stem.size()) == stem && name.substr(name.size() - kTempMark.size()) == kTempMark)
        return allDigits(name.substr(head, name.size() - kTempMark.size() - head));
    return false;
}

namespace {

// Off once a file system refused a file without a name, or once one could
// not be named where a named file could be made.
std::atomic<bool> namelessFiles{true};
// Naming a file by its descriptor alone takes a privilege; without it the
// name goes through /proc.
std::atomic<bool> namesByDescriptor{true};

// Finished files without a name, each holding a descriptor until it is put
// in place.
std::atomic<int> heldNameless{0};

// How many may wait so: a quarter of the descriptors the process may have
// open (at most 256), so that a run under a low limit names its files
// instead of running out of descriptors.
int namelessHoldLimit()
{
    static const int limit = [] {
        struct rlimit rl;
        if (::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY)
            return 256;
        return static_cast<int>(std::min<rlim_t>(rl.rlim_cur / 4, 256));
    }();
    return limit;
}

std::string folderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Makes a fresh temporary name beside target through make (true when the
// name was made, else false with errno set), registering it in guard before
// it exists, so that no signal finds it made and unregistered; a signal
// before it is made removes nothing, as the name is this process's own and
// used once. EFCreateError (for fileName) when no name can be made.
template <class Make>
std::string makeTempName(const std::string& fileName, const std::string& target, TTempFileGuard& guard,
                         const Make& make)
{
    for (int attempt = 0;; ++attempt) {
        const std::string unique = tempNameStem() + std::to_string(tempCounter++);
        std::string name = target + std::string(kTempMark) + unique;
        guard.reset(name);
        bool made = make(name);
        if (!made && errno == ENAMETOOLONG) {
            name = folderOf(target) + std::string(kLongLead) + unique + std::string(kTempMark);
            guard.reset(name);
            made = make(name);
        }
        if (made)
            return name;
        const int code = errno;
        guard.release();
        if (code != EEXIST || attempt >= 100)
            throw EFCreateError(fileName, code);
    }
}

} // namespace

void UseNamelessTempFiles(bool on)
{
    namelessFiles.store(on, std::memory_order_relaxed);
}

TReplacingFile::TReplacingFile(const std::string& fileName) : fileName_(fileName), target_(fileName)
{
    if (namelessFiles.load(std::memory_order_relaxed)) {
        std::string folder = folderOf(fileName);
        if (folder.empty())
            folder = ".";
        fd_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        if (fd_ >= 0)
            return;
        if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)
            namelessFiles.store(false, std::memory_order_relaxed);
        // Any other failure is the folder's: the named way reports it.
    }
    openNamedBeside();
}

bool TReplacingFile::resolveTarget(struct stat& old)
{
    // Replace what a symbolic link points to, as writing through it would.
    const bool exists = ::lstat(fileName_.c_str(), &old) == 0;
    if (exists && S_ISLNK(old.st_mode)) {
        if (char* resolved = ::realpath(fileName_.c_str(), nullptr)) {
            target_ = resolved;
            std::free(resolved);
        }
    }
    // Not a link: what lstat saw is the file itself.
    return exists && (S_ISLNK(old.st_mode) ? ::stat(target_.c_str(), &old) == 0 : true) && S_ISREG(old.st_mode);
}

void TReplacingFile::openNamedBeside()
{
    struct stat old;
    const bool hadOld = resolveTarget(old);
    openNamed();
    if (hadOld)
        ::fchmod(fd_, old.st_mode & 0777);
}

bool TReplacingFile::nameBeside()
{
    struct stat old;
    if (resolveTarget(old)) {
        struct stat own;
        if (::fstat(fd_, &own) == 0 && own.st_dev != old.st_dev)
            return false;
        ::fchmod(fd_, old.st_mode & 0777);
    }
    tempName_ = makeTempName(fileName_, target_, onSignal_,
                             [this](const std::string& name) { return linkNameless(name); });
    return true;
}

void TReplacingFile::openNamed()
{
    // Beside the target, so that the rename stays on one file system;
    // created exclusively under a fresh name.
    int fd = -1;
    tempName_ = makeTempName(fileName_, target_, onSignal_, [&fd](const std::string& name) {
        fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        return fd >= 0;
    });
    fd_ = fd;
}

bool TReplacingFile::linkNameless(const std::string& name)
{
    if (namesByDescriptor.load(std::memory_order_relaxed)) {
        if (::linkat(fd_, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0)
            return true;
        // ENOENT: no privilege, or no folder; the way through /proc tells.
        if (errno != ENOENT && errno != EPERM)
            return false;
    }
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd_);
    if (::linkat(AT_FDCWD, path, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) != 0)
        return false;
    namesByDescriptor.store(false, std::memory_order_relaxed);
    return true;
}

void TReplacingFile::releaseHold()
{
    if (held_) {
        held_ = false;
        heldNameless.fetch_sub(1, std::memory_order_relaxed);
    }
}

void TReplacingFile::closePlaced()
{
    releaseHold();
    const int fd = fd_;
    fd_ = -1;
    committed_ = true;
    if (::close(fd) != 0) {
        // Never half a file: none.
        ::unlink(target_.c_str());
        throw EWriteError();
    }
}

bool TReplacingFile::commitIfNew()
{
    if (!tempName_.empty() || fd_ < 0 || placeTaken_)
        return false;
    if (!linkNameless(target_)) {
        placeTaken_ = errno == EEXIST;
        return false;
    }
    closePlaced();
    return true;
}

bool TReplacingFile::placeNameless()
{
    if (!placeTaken_) {
        if (linkNameless(target_)) {
            closePlaced();
            return true;
        }
        placeTaken_ = errno == EEXIST;
    }
    // Something is at the place: the file is named beside what it replaces
    // and renamed over it. Across file systems (a link to another) its
    // bytes go to a named file there, and so they do where the file system
    // made the file but will not name it.
    if (!placeTaken_ || !nameBeside())
        copyToNamed();
    releaseHold();
    finished_ = false; // finish() closes the named file and notes what it is
    return false;
}

void TReplacingFile::copyToNamed()
{
    const int nameless = fd_;
    fd_ = -1;
    struct TCloser {
        int fd;
        ~TCloser() { ::close(fd); }
    } closer{nameless};
    openNamedBeside();
    // A file system that will not name such files: every later file of
    // the run is named from the start.
    if (!placeTaken_)
        namelessFiles.store(false, std::memory_order_relaxed);
    char buffer[65536];
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(nameless, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw EWriteError();
        if (n == 0)
            break;
        write(buffer, static_cast<std::size_t>(n));
        at += n;
    }
}

TReplacingFile::~TReplacingFile()
{
    releaseHold();
    if (fd_ >= 0)
        ::close(fd_);
    if (!committed_ && !tempName_.empty())
        ::unlink(tempName_.c_str());
}

void TReplacingFile::write(const void* data, std::size_t count)
{
    auto* p = static_cast<const char*>(data);
    while (count > 0) {
        ssize_t n = ::write(fd_, p, std::min<std::size_t>(count, std::size_t(1) << 30));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            throw EWriteError();
        }
        p += n;
        count -= static_cast<std::size_t>(n);
    }
}

void TReplacingFile::finish()
{
    if (fd_ < 0 || finished_)
        return;
    struct stat st;
    const bool known = ::fstat(fd_, &st) == 0;
    if (known) {
        device_ = static_cast<std::uint64_t>(st.st_dev);
        inode_ = static_cast<std::uint64_t>(st.st_ino);
    }
    // A file without a name stays open: closing it would be its end. When
    // too many wait so, it takes a name beside its place instead.
    if (tempName_.empty()) {
        held_ = true;
        if (heldNameless.fetch_add(1, std::memory_order_relaxed) >= namelessHoldLimit()) {
            try {
                nameBeside(); // where it cannot, it is kept open after all
            } catch (const EFCreateError&) {
            }
        }
        if (tempName_.empty()) {
            finished_ = known;
            return;
        }
        releaseHold();
    }
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0)
        throw EWriteError();
    finished_ = known;
}

void TReplacingFile::commit()
{
    if (tempName_.empty() && fd_ >= 0 && placeNameless())
        return;
    finish();
    if (::rename(tempName_.c_str(), target_.c_str()) != 0)
        throw EFCreateError(fileName_, errno);
    committed_ = true;
    onSignal_.release();
}

void ReplaceFileContent(const std::string& fileName, std::string_view content)
{
    TReplacingFile file(fileName);
    file.write(content.data(), content.size());
    file.commit();
}
