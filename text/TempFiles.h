// Temporary files that must not outlive an interrupted program.
//
// A file being written (a download, an output before its rename) is
// registered here; on SIGINT, SIGTERM or SIGHUP the handler installed by
// InstallTempFileCleanup removes every registered file and then ends the
// process with the same signal, so the exit status stays the usual one.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/stat.h>

// Registers path; returns a slot to hand to UnregisterTempFile, or -1 when
// every slot is taken or the path is too long (the file is then only removed
// by its owner, as before).
int RegisterTempFile(const std::string& path);
void UnregisterTempFile(int slot);

// Installs the handlers for SIGINT, SIGTERM and SIGHUP (signals that were
// ignored when the program started stay ignored).
void InstallTempFileCleanup();

// Holds SIGINT, SIGTERM and SIGHUP back for its life, so that a file is
// never created without being registered yet.
class TCleanupSignalsBlocked {
public:
    TCleanupSignalsBlocked();
    ~TCleanupSignalsBlocked();
    TCleanupSignalsBlocked(const TCleanupSignalsBlocked&) = delete;
    TCleanupSignalsBlocked& operator=(const TCleanupSignalsBlocked&) = delete;

private:
    sigset_t old_;
};

// Holds one registration for the life of a scope.
class TTempFileGuard {
public:
    TTempFileGuard() = default;
    explicit TTempFileGuard(const std::string& path) : slot_(RegisterTempFile(path)) {}
    TTempFileGuard(const TTempFileGuard&) = delete;
    TTempFileGuard& operator=(const TTempFileGuard&) = delete;
    ~TTempFileGuard() { release(); }
    void reset(const std::string& path)
    {
        release();
        slot_ = RegisterTempFile(path);
    }
    void release()
    {
        UnregisterTempFile(slot_);
        slot_ = -1;
    }

private:
    int slot_ = -1;
};

// Writes a file through a temporary file, put in place once complete, so
// that a failure leaves the old file (or none), never half of one. A
// symbolic link is followed: the file it names is replaced. The new file
// keeps the permission bits of the file it replaces; a new one gets 0666
// less the umask.
//
// Where the file system can, the temporary file has no name: it cannot
// outlive the process, and where nothing is at the place yet it is linked
// there, which costs the file system less than a name made and renamed.
// Otherwise it is named beside the file it replaces and renamed over it;
// until then the name is registered for removal when a signal ends the
// program. A finished file without a name holds a descriptor until it is
// put in place; past a quarter of the process's descriptors, finished files
// take a name instead. Destroying the object without commit leaves nothing.
class TReplacingFile {
public:
    // EFCreateError (for fileName) when the temporary file cannot be made.
    explicit TReplacingFile(const std::string& fileName);
    ~TReplacingFile();
    TReplacingFile(const TReplacingFile&) = delete;
    TReplacingFile& operator=(const TReplacingFile&) = delete;

    // EWriteError when the data cannot be written.
    void write(const void* data, std::size_t count);
    // Puts the file in place: EWriteError when closing fails, EFCreateError
    // (for the target) when the file cannot be put there.
    void commit();
    // Puts a file without a name in place when nothing is there; false,
    // changing nothing, otherwise (commit then replaces what is there).
    bool commitIfNew();
    // Marks the file complete ahead of commit (EWriteError when closing a
    // named one fails), noting its identity, which commit keeps.
    void finish();
    // Device and inode of a finished file; false before finish().
    bool identity(std::uint64_t& device, std::uint64_t& inode) const noexcept
    {
        device = device_;
        inode = inode_;
        return finished_;
    }
    // The temporary file's path: beside the target (the file a link names);
    // "" while it has no name.
    const std::string& tempName() const noexcept { return tempName_; }
    // A descriptor from which a finished file without a name reads from
    // its start until commit; -1 otherwise.
    int readHandle() const noexcept { return finished_ && tempName_.empty() ? fd_ : -1; }

private:
    // Follows a link at the place to the file it names (target_); true when
    // that is a regular file, whose status old then holds.
    bool resolveTarget(struct stat& old);
    // Opens a fresh named temporary file beside the target (fd_, tempName_).
    void openNamed();
    // The same beside the file it will replace (links followed), with that
    // file's permission bits.
    void openNamedBeside();
    // Gives the file without a name a temporary name beside the file it will
    // replace (links followed), with that file's permission bits; false,
    // naming nothing, when that file is on another file system.
    // EFCreateError when no name can be made.
    bool nameBeside();
    // Gives the nameless file the name; false with errno set when it cannot.
    bool linkNameless(const std::string& name);
    // Puts the file without a name in place: true when it was linked there;
    // otherwise it now has a name (or its bytes went to a named file), and
    // commit renames it.
    bool placeNameless();
    // Moves the bytes of the file without a name to a named file beside the
    // file it will replace, which then stands for it.
    void copyToNamed();
    // Closes a file just linked into place.
    void closePlaced();
    // Counts this file no more among those that wait open.
    void releaseHold();

    std::string fileName_; // as given, for messages
    std::string target_;   // what the file replaces
    std::string tempName_;
    int fd_ = -1;
    bool committed_ = false;
    bool finished_ = false;
    bool placeTaken_ = false; // linking found something at the place
    bool held_ = false;       // finished, waiting open without a name
    std::uint64_t device_ = 0;
    std::uint64_t inode_ = 0;
    TTempFileGuard onSignal_;
};

// Whether TReplacingFile makes its files without a name where it can (on
// from the start; it turns itself off where a file system refuses them).
void UseNamelessTempFiles(bool on);

// True when name (a last path component) is one this process gives the
// temporary files of TReplacingFile.
bool IsOwnTempFileName(std::string_view name);

// The whole content in one go, through a TReplacingFile.
void ReplaceFileContent(const std::string& fileName, std::string_view content);
